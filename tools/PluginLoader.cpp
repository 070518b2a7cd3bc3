#include "tools/PluginLoader.h"

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>
#include <cstring>

using hostlib::Status;

namespace snapagent {

namespace {

// The ELF note the plug-in carries its version in.
const char kVersionNoteName[] = "snapclient";
const ElfW(Word) kVersionNoteType = 1;

struct NoteSearch {
    ElfW(Addr) base;
    std::string version;
};

size_t Aligned4(size_t n) { return (n + 3) & ~size_t(3); }

int FindVersionNote(struct dl_phdr_info* info, size_t, void* data) {
    NoteSearch& search = *static_cast<NoteSearch*>(data);
    if (info->dlpi_addr != search.base) return 0;
    for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& segment = info->dlpi_phdr[i];
        if (segment.p_type != PT_NOTE) continue;
        const char* at = reinterpret_cast<const char*>(info->dlpi_addr + segment.p_vaddr);
        const char* end = at + segment.p_memsz;
        while (end - at >= static_cast<ptrdiff_t>(sizeof(ElfW(Nhdr)))) {
            const ElfW(Nhdr)* note = reinterpret_cast<const ElfW(Nhdr)*>(at);
            const char* name = at + sizeof(ElfW(Nhdr));
            const char* desc = name + Aligned4(note->n_namesz);
            if (desc + note->n_descsz > end) break;
            if (note->n_type == kVersionNoteType && note->n_namesz == sizeof(kVersionNoteName) &&
                memcmp(name, kVersionNoteName, sizeof(kVersionNoteName)) == 0) {
                search.version.assign(desc, strnlen(desc, note->n_descsz));
                return 1;
            }
            at = desc + Aligned4(note->n_descsz);
        }
    }
    return 1;
}

}  // namespace

PluginLoader::~PluginLoader() {
    if (m_pHandle) dlclose(m_pHandle);
}

std::string PluginLoader::DefaultPath() {
    char self[4096];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length > 0) {
        std::string folder(self, static_cast<size_t>(length));
        folder.erase(folder.rfind('/') + 1);
        const std::string installed = folder + SNAPCLIENT_INSTALLED_PLUGIN;
        if (access(installed.c_str(), R_OK) == 0) return installed;
    }
    return SNAPCLIENT_PLUGIN_PATH;
}

Status PluginLoader::Load(const std::string& path) {
    if (m_pHandle) return Status::InvalidArgument("a plug-in is already loaded");
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* why = dlerror();
        return Status::IOError("cannot load plug-in [" + path +
                               "]: " + (why ? why : "unknown error"));
    }
    dlerror();
    void* symbol = dlsym(handle, "GetSnapClient");
    if (!symbol) {
        const char* why = dlerror();
        const Status refused = Status::InvalidArgument(
            "plug-in [" + path + "] does not export GetSnapClient: " + (why ? why : "null symbol"));
        dlclose(handle);
        return refused;
    }
    m_pHandle = handle;
    m_pFactory = reinterpret_cast<GetSnapClientFn>(symbol);
    return Status::OK();
}

std::string PluginLoader::Version() const {
    struct link_map* map = nullptr;
    if (!m_pHandle || dlinfo(m_pHandle, RTLD_DI_LINKMAP, &map) != 0 || !map) return "unknown";
    NoteSearch search{map->l_addr, std::string()};
    dl_iterate_phdr(FindVersionNote, &search);
    return search.version.empty() ? "unknown" : search.version;
}

Status PluginLoader::NewClient(ClientPtr& client) const {
    client.reset();
    if (!m_pFactory) return Status::InvalidArgument("no plug-in loaded");
    client.reset(m_pFactory());
    return client ? Status::OK() : Status::IOError("GetSnapClient returned no client");
}

}  // namespace snapagent
