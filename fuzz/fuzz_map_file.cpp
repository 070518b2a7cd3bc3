// The snapshot map file as the post-backup cleanup reads it: fuzzed bytes
// in nativeSnapMapInfo.vkf (garbage, cut records, huge lines, paths with
// "..", NUL or ":"), on a scripted array with two volumes, for a client
// that resolves through the mount table and one that auto-mounts, on a
// cluster and not. Whatever the file holds, the current job's snapshot and
// the snapshots of other owners stay on the array.
#include "array/ArrayBackendFactory.h"
#include "array/ScriptedArray.h"
#include "fuzz/FuzzSupport.h"
#include "host/ContentMapper.h"
#include "snapclient/NetAppSnapClient.h"

#include <sys/stat.h>
#include <boost/make_shared.hpp>
#include <cstdlib>

namespace {

const char kCurrent[] = "VKOP_2_15_812";
const std::set<std::string> kMustStay = {kCurrent, "VKOP_3_15_1", "hourly.0"};

boost::shared_ptr<ScriptedArray> g_array;

std::string Setup() {
    fuzzsupport::InstallQuietLog();
    const std::string& dir = fuzzsupport::ScratchDir();
    const std::string results = dir + "/results";
    mkdir(results.c_str(), 0755);
    fuzzsupport::WriteFile(dir + "/mounttab",
                           "filer1:/vol/projects /mnt/projects nfs rw 0 0\n"
                           "filer1:/vol/tools /mnt/tools nfs rw 0 0\n");
    fuzzsupport::InstallConfig(fuzzsupport::ClientCredentials() + "[host]\nmount_table = " + dir +
                               "/mounttab\n[automount]\n/mnt/projects = filer1:/vol/projects\n"
                               "/mnt/tools = filer1:/vol/tools\n");
    SetArrayBackendOverride(
        [](const NASArrayInfo&) { return boost::shared_ptr<ArrayBackend>(g_array); });
    return results;
}

ArrayScript Script(bool cluster) {
    ArrayScript script;
    script.bCluster = cluster;
    for (const char* exportPath : {"/vol/projects", "/vol/projects/a", "/vol/tools"})
        script.mapExports[exportPath] = exportPath;
    script.mapSnapshots["projects"] = {"VKOP_2_15_810", "VKOP_2_15_811", kCurrent, "VKOP_3_15_1",
                                       "hourly.0"};
    script.mapSnapshots["tools"] = {"VKOP_2_15_811", kCurrent, "VKOP_3_15_1", "hourly.0"};
    return script;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string results = Setup();
    if (size == 0) return 0;
    const bool autoMount = data[0] & 1;
    g_array = boost::make_shared<ScriptedArray>(Script(data[0] & 2));
    fuzzsupport::WriteFile(results + "/nativeSnapMapInfo.vkf",
                           std::string(reinterpret_cast<const char*>(data + 1), size - 1));

    CNetAppSnapClient client;
    ContentMapperAPIPtr mapper;
    if (autoMount) mapper = boost::make_shared<CContentMapper>();
    if (client
            .Initialize(812, 2, 7, 15, results, "", results + "/nativeSnapMapInfo.vkf", 811, 0, 0,
                        0, mapper)
            .IsError())
        abort();
    client.CleanupSnapshotsPostBackup(autoMount);
    for (const char* volume : {"projects", "tools"})
        for (const std::string& name : kMustStay)
            if (!g_array->Script().mapSnapshots.at(volume).count(name)) abort();
    g_array.reset();
    return 0;
}
