// The change scan against a tree walk, on a local-array volume of --files
// empty files of which 1 % changed between two snapshots:
//
//   array_snapdiff_s  the local array computing its SnapDiff from the two
//                     catalogs (recorded here, in memory);
//   client_s          CompareSnapshots and every pull of the volume's share
//                     with that recording replayed by the scripted array:
//                     what the client costs when a real array answers;
//   walk_s            a plain walk of the live tree with lstat of every
//                     entry, the work a scanning backup does (after one
//                     untimed walk, so that it too runs from a warm cache).
//
//   bench_walk --files 1e6 --cache DIR [--work DIR]
//
// The volume and its two snapshots take minutes to make at 10^6 files, so
// they are made once under --cache (a "complete" mark is written last) and
// reused by later runs.
#include "array/ScriptedArray.h"
#include "array/local/LocalArray.h"
#include "bench/BenchClient.h"
#include "bench/BenchSupport.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace {

using namespace bench;

const uint64_t kFilesPerFolder = 1000;
const uint64_t kFoldersPerTop = 32;

std::string FolderOf(uint64_t file) {
    const uint64_t folder = file / kFilesPerFolder;
    return "t" + std::to_string(folder / kFoldersPerTop) + "/d" +
           std::to_string(folder % kFoldersPerTop);
}

std::string FileOf(uint64_t file) { return FolderOf(file) + "/f" + std::to_string(file); }

void MakeFile(const std::string& path, const char* contents) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, 0644);
    if (fd < 0) Fail("cannot create " + path + ": " + strerror(errno));
    const size_t length = strlen(contents);
    if ((length && write(fd, contents, length) != static_cast<ssize_t>(length)) || close(fd) != 0)
        Fail("cannot write " + path + ": " + strerror(errno));
}

LocalArrayConfig ArrayConfig(const std::string& root) {
    char resolved[PATH_MAX];
    if (!realpath(root.c_str(), resolved)) Fail("no array root " + root);
    LocalArrayConfig config;
    config.strRoot = resolved;
    config.bMaterialize = false;
    config.strArrayName = "filer1";
    config.strClientName = "client1";
    return config;
}

void Snapshot(LocalArray& array, const char* name) {
    const ArrayStatus status = array.CreateSnapshot("vola", name);
    if (!status.bOk) Fail(std::string("snapshot ") + name + ": " + status.strMessage);
}

// Files, the base snapshot, 1 % of the files changed (70 % modified, 15 %
// created beside them, 10 % deleted, 5 % renamed), the incremental snapshot.
void BuildWorld(const std::string& world, uint64_t files, uint64_t changed) {
    std::error_code error;
    std::filesystem::remove_all(world, error);
    const std::string volume = world + "/root/vola";
    for (uint64_t file = 0; file < files; file += kFilesPerFolder)
        std::filesystem::create_directories(volume + "/" + FolderOf(file), error);
    if (error) Fail("cannot create folders in " + volume + ": " + error.message());
    for (uint64_t file = 0; file < files; ++file) MakeFile(volume + "/" + FileOf(file), "");

    LocalArray array(ArrayConfig(world + "/root"));
    Snapshot(array, kPrevSnap);
    const uint64_t stride = files / changed;
    for (uint64_t k = 0; k < changed; ++k) {
        const std::string path = volume + "/" + FileOf(k * stride + stride / 3);
        const uint64_t kind = k % 20;
        if (kind < 14) {
            MakeFile(path, "x");
        } else if (kind < 17) {
            MakeFile(path + ".new", "");
        } else if (kind < 19) {
            if (unlink(path.c_str()) != 0) Fail("cannot delete " + path);
        } else if (rename(path.c_str(), (path + ".moved").c_str()) != 0) {
            Fail("cannot rename " + path);
        }
    }
    Snapshot(array, kCurrSnap);
    std::ofstream(world + "/complete") << files << " files, " << changed << " changed\n";
}

// The local array's SnapDiff between the two snapshots, as batches a
// scripted array can replay.
ScriptedSnapDiff RecordSnapDiff(LocalArray& array, uint64_t& changes) {
    ScriptedSnapDiff diff;
    std::string handle;
    ArrayStatus status = array.SnapDiffStart("vola", kPrevSnap, kCurrSnap, 1024, "nfs", handle,
                                             diff.bEscapedNames, diff.bEmptyBatchesAllowed);
    if (!status.bOk) Fail("SnapDiffStart: " + status.strMessage);
    changes = 0;
    for (bool end = false; !end;) {
        ScriptedBatch batch;
        status = array.SnapDiffNext(handle, batch.vecChanges, end);
        if (!status.bOk) Fail("SnapDiffNext: " + status.strMessage);
        batch.bEnd = end;
        changes += batch.vecChanges.size();
        diff.vecBatches.push_back(std::move(batch));
    }
    return diff;
}

// Every entry below the folder, each one lstat-ed (fstatat without
// following links); returns the entries seen.
uint64_t WalkTree(int folder) {
    DIR* dir = fdopendir(folder);
    if (!dir) Fail(std::string("fdopendir: ") + strerror(errno));
    uint64_t entries = 0;
    while (const dirent* entry = readdir(dir)) {
        const char* name = entry->d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
        struct stat st;
        if (fstatat(dirfd(dir), name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            Fail(std::string("lstat ") + name + ": " + strerror(errno));
        ++entries;
        if (S_ISDIR(st.st_mode)) {
            const int child = openat(dirfd(dir), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
            if (child < 0) Fail(std::string("open ") + name + ": " + strerror(errno));
            entries += WalkTree(child);
        }
    }
    closedir(dir);
    return entries;
}

uint64_t WalkVolume(const std::string& volume) {
    const int fd = open(volume.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0) Fail("cannot open " + volume);
    return WalkTree(fd);
}

}  // namespace

int main(int argc, char** argv) {
    const Options options(argc, argv);
    const uint64_t files = options.Number("files", 100000);
    const std::string cache = options.Text("cache", "");
    if (files < 100 * 20) Fail("--files must be at least 2000");
    if (cache.empty()) Fail("--cache names the folder that keeps the volume between runs");
    const uint64_t changed = files / 100;
    const std::string world = cache + "/walk-" + std::to_string(files);

    double buildSeconds = 0;
    if (!std::filesystem::exists(world + "/complete")) {
        const double start = NowSeconds();
        BuildWorld(world, files, changed);
        buildSeconds = NowSeconds() - start;
    }

    ScratchDir scratch(options.Text("work", ""));
    InstallConfig(scratch.Path() + "/snapclient.conf", "");
    DiscardingLogWriter log(0);

    LocalArray localArray(ArrayConfig(world + "/root"));
    uint64_t changes = 0;
    double start = NowSeconds();
    ArrayScript script;
    script.mapSnapDiffs[std::make_tuple(std::string("vola"), std::string(kPrevSnap),
                                        std::string(kCurrSnap))] =
        RecordSnapDiff(localArray, changes);
    const double snapDiffSeconds = NowSeconds() - start;

    ScriptedArray replay(script);
    const std::string results = scratch.Path() + "/results";
    if (mkdir(results.c_str(), 0700) != 0) Fail("cannot create " + results);
    BenchClient client(results);
    client.UseArray(replay);
    client.AddShare("/mnt/vola", "/vol/vola", "vola");
    start = NowSeconds();
    const DeliveredItems delivered = CompareAndPullAllShares(client);
    const double clientSeconds = NowSeconds() - start;
    if (delivered.Changes() != changes)
        Fail("the agent received " + std::to_string(delivered.Changes()) + " items for " +
             std::to_string(changes) + " changes");

    const std::string volume = world + "/root/vola";
    WalkVolume(volume);
    start = NowSeconds();
    const uint64_t entries = WalkVolume(volume);
    const double walkSeconds = NowSeconds() - start;
    if (entries < files) Fail("the walk saw " + std::to_string(entries) + " entries");

    PrintResult({{"files", files},
                 {"changed", changed},
                 {"snapdiff_changes", changes},
                 {"items", delivered.Changes()},
                 {"walk_entries", entries},
                 {"client_s", clientSeconds},
                 {"walk_s", walkSeconds},
                 {"array_snapdiff_s", snapDiffSeconds},
                 {"build_s", buildSeconds}});
    return 0;
}
