// The btrfs send stream parser on any bytes, fed in chunks of every size the
// input's first byte picks: it hands out commands or refuses the input, and
// never reads past what it was given.
#include "array/local/BtrfsSendStream.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const size_t chunk = data[0] % 64 + 1;
    btrfssend::SendStreamParser parser([](const btrfssend::SendCommand& command) {
        uint64_t inode = 0;
        command.U64(btrfssend::kInode, inode);
        return command.Text(btrfssend::kPath).size() > 4096 ? hostlib::Status::IOError("long")
                                                            : hostlib::Status::OK();
    });
    hostlib::Status status;
    for (size_t at = 1; status.ok() && at < size; at += chunk)
        status = parser.Feed(reinterpret_cast<const char*>(data) + at,
                             chunk < size - at ? chunk : size - at);
    if (status.ok()) parser.Finish();
    return 0;
}
