// The plug-in's version, carried in an ELF note ("snapclient", type 1) so
// that an agent can read it from the loaded library without the plug-in
// exporting anything but GetSnapClient.
#include <cstddef>
#include <cstdint>

namespace {

struct VersionNote {
    uint32_t nameSize;
    uint32_t descSize;
    uint32_t type;
    char name[12];
    char desc[(sizeof(SNAPCLIENT_VERSION) + 3) & ~std::size_t(3)];
};

__attribute__((section(".note.snapclient.version"), used, aligned(4)))
const VersionNote kVersionNote = {sizeof("snapclient"), sizeof(SNAPCLIENT_VERSION), 1, "snapclient",
                                  SNAPCLIENT_VERSION};

}  // namespace
