#include "tools/PluginLoader.h"

#include <dlfcn.h>

namespace snapagent {

PluginLoader::~PluginLoader() {
    if (m_pHandle) dlclose(m_pHandle);
}

std::string PluginLoader::DefaultPath() { return SNAPCLIENT_PLUGIN_PATH; }

bool PluginLoader::Load(const std::string& path, std::string& error) {
    if (m_pHandle) {
        error = "a plug-in is already loaded";
        return false;
    }
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* why = dlerror();
        error = "cannot load plug-in [" + path + "]: " + (why ? why : "unknown error");
        return false;
    }
    dlerror();
    void* symbol = dlsym(handle, "GetSnapClient");
    if (!symbol) {
        const char* why = dlerror();
        error = "plug-in [" + path + "] does not export GetSnapClient: " +
                (why ? why : "null symbol");
        dlclose(handle);
        return false;
    }
    m_pHandle = handle;
    m_pFactory = reinterpret_cast<GetSnapClientFn>(symbol);
    return true;
}

ClientPtr PluginLoader::NewClient(std::string& error) const {
    if (!m_pFactory) {
        error = "no plug-in loaded";
        return ClientPtr();
    }
    ClientPtr client(m_pFactory());
    if (!client) error = "GetSnapClient returned no client";
    return client;
}

}  // namespace snapagent
