// The proxy's mount table: a fuzzed file named by [host] mount_table, read
// with VkMntTab::getAll as share resolution reads it. Every entry returned
// must name a mount directory; odd lines (no fields, NUL bytes, octal
// escapes, megabyte lines) are dropped or decoded, never crash.
#include "fuzz/FuzzSupport.h"
#include "host/VkMntTab.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string table = [] {
        fuzzsupport::InstallQuietLog();
        const std::string path = fuzzsupport::ScratchDir() + "/mounttab";
        fuzzsupport::InstallConfig("[host]\nmount_table = " + path + "\n");
        return path;
    }();
    fuzzsupport::WriteFile(table, std::string(reinterpret_cast<const char*>(data), size));
    std::list<VkMntTab::Entry> entries;
    CRyError err = VkMntTab::getAll(entries);
    if (err.IsError() && !entries.empty()) abort();
    for (const VkMntTab::Entry& entry : entries)
        if (entry.strDirectory.empty()) abort();
    return 0;
}
