// The snapshot map file written from a fuzzed path map, then read back by
// the post-backup cleanup: every share path recorded must be found again,
// exactly and in order, unless it holds what the format cannot carry (":" in
// a share path, a line feed anywhere; a NUL byte ends the log line that
// shows the path). The client has no auto-mount map, so
// the cleanup names each path it read in one log line and goes on.
#include "array/ScriptedArray.h"
#include "fuzz/FuzzSupport.h"
#include "tests/support/ScanClient.h"

#include <fuzzer/FuzzedDataProvider.h>
#include <sys/stat.h>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::vector<std::string> lines;
    static const std::string results = [] {
        fuzzsupport::InstallQuietLog().kept = &lines;
        fuzzsupport::InstallConfig("[automount]\n");
        const std::string dir = fuzzsupport::ScratchDir() + "/results";
        mkdir(dir.c_str(), 0700);
        return dir;
    }();
    FuzzedDataProvider input(data, size);
    std::map<std::string, std::string> paths;
    bool carried = true;
    while (input.remaining_bytes() > 0) {
        const std::string key = input.ConsumeRandomLengthString(4096);
        const std::string value = input.ConsumeRandomLengthString(4096);
        carried &= key.find_first_of(std::string(":\n\0", 3)) == std::string::npos &&
                   value.find('\n') == std::string::npos;
        paths[key] = value;
    }
    ScriptedArray array{ArrayScript()};
    scantest::ScanClient client(results);
    client.UseArray(array);
    unlink((results + "/nativeSnapMapInfo.vkf").c_str());
    client.m_mapContentMapperPaths = paths;
    if (client.AddSnapDevInfo().IsError()) abort();
    lines.clear();
    client.CleanupSnapshotsPostBackup(true);
    std::vector<std::string> expected, found;
    for (const auto& entry : paths)
        expected.push_back("Couldn't get export path [" + entry.first + "], for snapshot cleanup");
    for (const std::string& line : lines)
        if (line.compare(0, 26, "Couldn't get export path [") == 0) found.push_back(line);
    if (carried && found != expected) abort();
    return 0;
}
