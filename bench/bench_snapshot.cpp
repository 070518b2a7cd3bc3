// The local array's materialised snapshot of a volume of --files small files
// (100 bytes each, 1,000 to a folder): the first snapshot, which copies every
// file, then 1 % of the files rewritten and a second snapshot, which copies
// those and shares the rest with the first copy. Prints seconds and files
// per second of each, and the bytes each adds to the file system: the
// blocks of its copy's files and folders that no earlier copy holds (a file
// shared with the first copy costs nothing again), and of its catalog.
//
//   bench_snapshot --files 200000 [--work DIR]
//
// The volume is made afresh in a scratch folder below --work (or $TMPDIR)
// and removed at the end, so each run pays the same cold start.
#include "array/local/LocalArray.h"
#include "bench/BenchSupport.h"
#include "bench/SmallFileVolume.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <climits>
#include <cstring>
#include <unordered_set>

namespace {

using namespace bench;

// The allocated bytes of path and everything below it whose inodes are not
// in counted yet; each is then counted.
uint64_t NewBytes(const std::string& path, std::unordered_set<ino_t>& counted) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) Fail("cannot stat " + path + ": " + strerror(errno));
    uint64_t bytes = counted.insert(st.st_ino).second ? uint64_t(st.st_blocks) * 512 : 0;
    if (!S_ISDIR(st.st_mode)) return bytes;
    DIR* dir = opendir(path.c_str());
    if (!dir) Fail("cannot read " + path + ": " + strerror(errno));
    while (struct dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") bytes += NewBytes(path + "/" + name, counted);
    }
    closedir(dir);
    return bytes;
}

double TimedSnapshot(LocalArray& array, const char* name) {
    const double start = NowSeconds();
    const ArrayStatus status = array.CreateSnapshot("vola", name);
    if (!status.bOk) Fail(std::string("snapshot ") + name + ": " + status.strMessage);
    return NowSeconds() - start;
}

}  // namespace

int main(int argc, char** argv) {
    const Options options(argc, argv);
    const uint64_t files = options.Number("files", 200000);
    if (files < 100) Fail("--files must be at least 100");
    ScratchDir scratch(options.Text("work", ""));
    InstallConfig(scratch.Path() + "/snapclient.conf", "");
    DiscardingLogWriter log(0);

    if (mkdir((scratch.Path() + "/root").c_str(), 0755) != 0) Fail("cannot create the root");
    const SmallFileVolume volume(scratch.Path() + "/root/vola");
    volume.Fill(files);

    char resolved[PATH_MAX];
    if (!realpath((scratch.Path() + "/root").c_str(), resolved)) Fail("no array root");
    LocalArrayConfig config;
    config.strRoot = resolved;
    config.strArrayName = "filer1";
    LocalArray array(config);
    const double first = TimedSnapshot(array, "first");
    const uint64_t changed = files / 100;
    for (uint64_t k = 0; k < changed; ++k) volume.Write(k * 100 + 37, k + 1);
    const double second = TimedSnapshot(array, "second");
    std::unordered_set<ino_t> counted;
    uint64_t bytes[2] = {0, 0};
    const char* const names[2] = {"first", "second"};
    for (int copy = 0; copy < 2; ++copy)
        bytes[copy] =
            NewBytes(volume.Path() + "/.snapshot/" + names[copy], counted) +
            NewBytes(resolved + std::string("/.snapcatalog/vola/") + names[copy] + ".cat", counted);

    PrintResult({{"program", "bench_snapshot"},
                 {"files", files},
                 {"changed", changed},
                 {"first_s", first},
                 {"first_files_per_s", files / first},
                 {"second_s", second},
                 {"second_files_per_s", files / second},
                 {"first_bytes", bytes[0]},
                 {"second_bytes", bytes[1]},
                 {"peak_rss_mib", PeakRssMiB()}});
    return 0;
}
