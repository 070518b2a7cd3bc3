// The local array's snapshots on the file system below --work, as an
// agent's jobs meet them. The array is configured with `snapshots = auto`
// and its volume folder made as a user of that file system would make it (a
// subvolume on btrfs), so it takes the kind of snapshot it takes for a real
// volume there; the result names the file system and that kind.
//
//   bench_volumes --measure snapshots --files 1e5
//       the first snapshot of the volume, then an unchanged second one;
//   bench_volumes --measure sparse --gib 20
//       the snapshot of a volume holding one sparse file of --gib GiB with
//       4 KiB of data, and the bytes the file system allocated for it;
//   bench_volumes --measure incremental --files 1e6 --changes 1000
//       a base snapshot, --changes changes (70 % rewritten, 15 % created,
//       10 % deleted, 5 % renamed, ten to a folder in as many folders at
//       every --files), then an incremental job's array work timed apart:
//       the new snapshot, the SnapDiff from the base drained in batches of
//       1,024 (with the instructions and CPU seconds it took, user and
//       kernel apart), and the deletion of the base;
//   [--work DIR]
//
// Everything is made afresh in a scratch folder below --work and removed at
// the end. A snapshot or a SnapDiff that fails, or a SnapDiff that finds
// fewer changes than were made, stops the program: no figure from a broken
// run.
#include "array/local/LocalArray.h"
#include "bench/BenchSupport.h"
#include "bench/SmallFileVolume.h"
#include "records/SnapRecords.h"

#include <fcntl.h>
#include <linux/btrfs_tree.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/vfs.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>

namespace {

using namespace bench;

const char kVolume[] = "vola";

std::string FileSystemName(const std::string& path) {
    struct statfs fs;
    if (statfs(path.c_str(), &fs) != 0) Fail("cannot statfs " + path + ": " + strerror(errno));
    switch (fs.f_type) {
        case EXT4_SUPER_MAGIC:
            return "ext4";
        case XFS_SUPER_MAGIC:
            return "xfs";
        case BTRFS_SUPER_MAGIC:
            return "btrfs";
        case TMPFS_MAGIC:
            return "tmpfs";
        default:
            return "other";
    }
}

// Bytes in use on the file system, once everything written is on disk.
uint64_t UsedBytes(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY);
    struct statvfs fs;
    if (fd < 0 || syncfs(fd) != 0 || fstatvfs(fd, &fs) != 0)
        Fail("cannot measure the space used on " + path + ": " + strerror(errno));
    close(fd);
    return uint64_t(fs.f_blocks - fs.f_bfree) * fs.f_frsize;
}

// The array and its one volume, in a scratch folder of their own.
class World {
public:
    explicit World(const std::string& work) : m_scratch(work) {
        const std::string root = m_scratch.Path() + "/root";
        if (mkdir(root.c_str(), 0755) != 0) Fail("cannot create " + root);
        char resolved[PATH_MAX];
        if (!realpath(root.c_str(), resolved)) Fail("no array root " + root);
        InstallConfig(m_scratch.Path() + "/snapclient.conf",
                      std::string("[array]\nroot = ") + resolved + "\nsnapshots = auto\n");
        NASArrayInfo info;
        info.strArrayName = "filer1";
        info.strClientName = "client1";
        LocalArrayConfig config;
        const hostlib::Status loaded = LoadLocalArrayConfig(info, config);
        if (!loaded.ok()) Fail("array config: " + loaded.message());
        m_volume.reset(new SmallFileVolume(std::string(resolved) + "/" + kVolume));
        m_array.reset(new LocalArray(config));
    }

    const SmallFileVolume& Volume() const { return *m_volume; }
    LocalArray& Array() { return *m_array; }
    std::string FileSystem() const { return FileSystemName(m_volume->Path()); }

    double Create(const std::string& name) {
        const double start = NowSeconds();
        const ArrayStatus status = m_array->CreateSnapshot(kVolume, name);
        if (!status.bOk) Fail("snapshot " + name + ": " + status.strMessage);
        return NowSeconds() - start;
    }
    double Delete(const std::string& name) {
        const double start = NowSeconds();
        const ArrayStatus status = m_array->DeleteSnapshot(kVolume, name);
        if (!status.bOk) Fail("deletion of " + name + ": " + status.strMessage);
        return NowSeconds() - start;
    }
    // "btrfs" when the snapshot is a btrfs subvolume of its own (its root
    // folder is a subvolume's first inode), else "copy".
    std::string KindOf(const std::string& name) const {
        struct stat st;
        const std::string path = m_volume->Path() + "/.snapshot/" + name;
        if (stat(path.c_str(), &st) != 0) Fail("no snapshot folder " + path);
        return FileSystem() == "btrfs" && st.st_ino == BTRFS_FIRST_FREE_OBJECTID ? "btrfs" : "copy";
    }
    // Records of the SnapDiff from base to incremental, drained in full (the
    // session ends with its last batch).
    uint64_t DrainSnapDiff(const std::string& base, const std::string& incremental) {
        std::string handle;
        bool escaped = false, emptyBatches = false;
        ArrayStatus status = m_array->SnapDiffStart(kVolume, base, incremental, 1024, "nfs", handle,
                                                    escaped, emptyBatches);
        if (!status.bOk) Fail("SnapDiffStart: " + status.strMessage);
        uint64_t records = 0;
        std::vector<SnapDiffFileInfo> batch;
        for (bool end = false; !end; records += batch.size()) {
            batch.clear();
            status = m_array->SnapDiffNext(handle, batch, end);
            if (!status.bOk) Fail("SnapDiffNext: " + status.strMessage);
        }
        return records;
    }

private:
    ScratchDir m_scratch;
    std::unique_ptr<SmallFileVolume> m_volume;
    std::unique_ptr<LocalArray> m_array;
};

nlohmann::json MeasureSnapshots(World& world, uint64_t files) {
    world.Volume().Fill(files);
    const double first = world.Create("first");
    const double second = world.Create("second");
    return {{"files", files},
            {"first_s", first},
            {"second_s", second},
            {"second_files_per_s", files / second},
            {"snapshot_kind", world.KindOf("second")}};
}

const off_t kSparseData = 4096;

nlohmann::json MeasureSparse(World& world, uint64_t gib) {
    const std::string path = world.Volume().Path() + "/disk.img";
    const off_t size = off_t(gib) << 30, at = size / 2;
    const std::string data(kSparseData, 'z');
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    if (fd < 0 || ftruncate(fd, size) != 0 ||
        pwrite(fd, data.data(), data.size(), at) != ssize_t(data.size()) || close(fd) != 0)
        Fail("cannot write the sparse file " + path + ": " + strerror(errno));
    const uint64_t before = UsedBytes(world.Volume().Path());
    const double seconds = world.Create("sparse");
    const uint64_t after = UsedBytes(world.Volume().Path());

    // The snapshot must show the file as it is: its size and its data.
    const std::string shown = world.Volume().Path() + "/.snapshot/sparse/disk.img";
    std::string read(data.size(), '\0');
    struct stat st;
    const int in = open(shown.c_str(), O_RDONLY);
    if (in < 0 || fstat(in, &st) != 0 || st.st_size != size ||
        pread(in, &read[0], read.size(), at) != ssize_t(read.size()) || read != data)
        Fail("the snapshot's " + shown + " is not the live file");
    close(in);
    return {{"gib", gib},
            {"seconds", seconds},
            {"allocated_bytes", after > before ? after - before : 0},
            {"snapshot_kind", world.KindOf("sparse")}};
}

// Change k of the job: 14 in 20 rewrite a file, 3 create one beside it, 2
// delete one and 1 renames one. The changes fall ten to a folder (more when
// the volume has too few folders), in folders spread evenly over the
// volume, so that a job of as many changes over more files changes as many
// folders: the same work, with only the files around it grown.
void MakeChange(const SmallFileVolume& volume, uint64_t files, uint64_t changes, uint64_t k) {
    const uint64_t perFolderOfFiles = SmallFileVolume::kFilesPerFolder;
    const uint64_t folders = files / perFolderOfFiles;
    const uint64_t perFolder = std::max<uint64_t>(10, (changes + folders - 1) / folders);
    const uint64_t touched = (changes + perFolder - 1) / perFolder;
    const uint64_t spacing = perFolderOfFiles / perFolder;
    const uint64_t file = k / perFolder * (folders / touched) * perFolderOfFiles +
                          k % perFolder * spacing + spacing / 3;
    const std::string path = volume.Path() + "/" + SmallFileVolume::FileOf(file);
    const uint64_t kind = k % 20;
    if (kind < 14) {
        volume.Write(file, file + 1);
    } else if (kind < 17) {
        const int fd = open((path + ".new").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
        if (fd < 0 || close(fd) != 0) Fail("cannot create " + path + ".new");
    } else if (kind < 19) {
        if (unlink(path.c_str()) != 0) Fail("cannot delete " + path);
    } else if (rename(path.c_str(), (path + ".moved").c_str()) != 0) {
        Fail("cannot rename " + path);
    }
}

nlohmann::json MeasureIncremental(World& world, uint64_t files, uint64_t changes) {
    world.Volume().Fill(files);
    const double base = world.Create("base");
    for (uint64_t k = 0; k < changes; ++k) MakeChange(world.Volume(), files, changes, k);
    sync();
    const double creation = world.Create("incremental");
    InstructionCount instructions;
    double start = NowSeconds();
    instructions.Start();
    const uint64_t records = world.DrainSnapDiff("base", "incremental");
    instructions.Stop();
    const double snapDiff = NowSeconds() - start;
    const double deletion = world.Delete("base");
    if (records < changes)
        Fail("the SnapDiff found " + std::to_string(records) + " records for " +
             std::to_string(changes) + " changes");
    return {{"files", files},
            {"changes", changes},
            {"base_s", base},
            {"creation_s", creation},
            {"snapdiff_s", snapDiff},
            {"deletion_s", deletion},
            {"total_s", creation + snapDiff + deletion},
            {"snapdiff_records", records},
            {"snapdiff_user_instructions", instructions.User()},
            {"snapdiff_kernel_instructions", instructions.Kernel()},
            {"snapdiff_user_cpu_s", instructions.UserSeconds()},
            {"snapdiff_system_cpu_s", instructions.SystemSeconds()},
            {"snapshot_kind", world.KindOf("incremental")}};
}

}  // namespace

int main(int argc, char** argv) {
    const Options options(argc, argv);
    const std::string measure = options.Text("measure", "");
    const uint64_t files = options.Number("files", 100000);
    World world(options.Text("work", ""));
    DiscardingLogWriter log(0);

    nlohmann::json result;
    if (measure == "snapshots") {
        result = MeasureSnapshots(world, files);
    } else if (measure == "sparse") {
        const uint64_t gib = options.Number("gib", 20);
        if (gib < 1 || gib > 4096) Fail("--gib must be from 1 to 4096");
        result = MeasureSparse(world, gib);
    } else if (measure == "incremental") {
        const uint64_t changes = options.Number("changes", 1000);
        if (changes < 20 || files < 2 * changes || files % SmallFileVolume::kFilesPerFolder != 0)
            Fail(
                "--files must be a multiple of 1000 and at least twice --changes, "
                "and --changes at least 20");
        result = MeasureIncremental(world, files, changes);
    } else {
        Fail("--measure must be snapshots, sparse or incremental");
    }
    result["program"] = "bench_volumes";
    result["measure"] = measure;
    result["file_system"] = world.FileSystem();
    result["peak_rss_mib"] = PeakRssMiB();
    PrintResult(result);
    return 0;
}
