#include "tools/DemoWorld.h"

#include "array/local/BtrfsSubvolume.h"

#include "tools/FileOps.h"

using hostlib::Status;

namespace snapagent {
namespace {

// A volume's folder: on btrfs, as root, a subvolume, so that the demo's
// snapshots are the file system's own (root alone may delete them).
Status MakeVolumeFolder(const std::string& dir) {
    if (!IsOnBtrfs(dir.substr(0, dir.rfind('/'))) || !MayDeleteBtrfsSnapshots())
        return MakeDirectories(dir);
    return MakeBtrfsSubvolume(dir);
}

// A mount table field: space, tab, newline and backslash are written as
// octal escapes, as the system's mount table reader expects.
std::string MountField(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case ' ':
                out += "\\040";
                break;
            case '\t':
                out += "\\011";
                break;
            case '\n':
                out += "\\012";
                break;
            case '\\':
                out += "\\134";
                break;
            default:
                out += c;
        }
    }
    return out;
}

}  // namespace

DemoWorld::~DemoWorld() {
    if (!m_bKeep && !m_strBase.empty()) RemoveTree(m_strBase);
}

WorldSpec DemoWorld::DemoSpec(bool cluster) {
    WorldSpec plan;
    plan.bCluster = cluster;
    plan.shares = {{"projects", "alpha"}, {"projects", "beta"}, {"home", ""}};
    plan.strFolderPrefix = "snapagent-demo-";
    return plan;
}

std::vector<std::string> DemoWorld::Volumes() const {
    std::vector<std::string> volumes;
    for (const WorldShare& s : m_spec.shares) {
        bool seen = false;
        for (const std::string& v : volumes) seen = seen || v == s.strVolume;
        if (!seen) volumes.push_back(s.strVolume);
    }
    return volumes;
}

Status DemoWorld::Build(const WorldSpec& plan) {
    if (!m_strBase.empty()) return Status::InvalidArgument("the world is built already");
    for (const WorldShare& s : plan.shares)
        if (s.strVolume.empty() || s.strVolume.find('/') != std::string::npos ||
            s.strVolume[0] == '.')
            return Status::InvalidArgument("unusable volume name [" + s.strVolume + "]");
    m_spec = plan;
    Status step = MakeTempFolder(plan.strFolderPrefix, m_strBase);
    for (const char* folder : {"/mnt", "/jobs", "/array"})
        if (step.ok()) step = MakeDirectories(m_strBase + folder);
    if (!step.ok()) return step;

    std::string mounts, exports;
    for (const std::string& volume : Volumes()) {
        step = MakeVolumeFolder(m_strBase + "/array/" + volume);
        if (step.ok()) step = SymbolicLink("../array/" + volume, m_strBase + "/mnt/" + volume);
        if (!step.ok()) return step;
        mounts += "filer1:/vol/" + volume + " " + MountField(m_strBase + "/mnt/" + volume) +
                  " nfs rw 0 0\n";
    }
    for (const WorldShare& s : plan.shares) {
        BuiltShare built;
        built.strVolume = s.strVolume;
        built.strSharePath = m_strBase + "/mnt/" + s.strVolume;
        built.strLiveDir = m_strBase + "/array/" + s.strVolume;
        if (!s.strDirectory.empty()) {
            built.strSharePath += "/" + s.strDirectory;
            built.strLiveDir += "/" + s.strDirectory;
            exports +=
                (exports.empty() ? "" : ",") + ("/vol/" + s.strVolume + "/" + s.strDirectory);
        }
        if (Status made = MakeDirectories(built.strLiveDir); !made.ok()) return made;
        m_shares.push_back(built);
    }

    const std::string id = std::to_string(plan.ulClientId);
    // The config the README shows: a reader finds each setting explained.
    std::string config =
        "# Credentials of client id " + id + " (snapagent job --client " + id +
        ").\n"
        "[client." +
        id +
        "]\n"
        "array = filer1\n"
        "client_name = proxy" +
        id +
        "\n"
        "user = admin\n"
        "password = local\n"
        "\n"
        "# The embedded local array: one folder per volume below root; cluster = 0\n"
        "# for an array that is not a cluster; materialize = 1 keeps the read-only\n"
        "# snapshot copies under .snapshot; exports lists the exported directories\n"
        "# besides every /vol/<volume>.\n"
        "[array]\n"
        "backend = local\n"
        "root = " +
        m_strBase +
        "/array\n"
        "cluster = " +
        (plan.bCluster ? "1" : "0") +
        "\n"
        "array_name = filer1\n"
        "client_name = proxy" +
        id +
        "\n"
        "materialize = 1\n"
        "exports = " +
        exports +
        "\n"
        "\n"
        "# The proxy's mount table, instead of /proc/self/mounts.\n"
        "[host]\n"
        "mount_table = " +
        m_strBase +
        "/mounts\n"
        "\n"
        "# Optional: the plug-in's log for snapagent job (default: snapagent.log in\n"
        "# the state folder, level 0; the demo chooses its own).\n"
        "[log]\n"
        "level = 0\n"
        "file = " +
        m_strBase + "/plugin.log\n";
    if (Status written = WriteBytes(m_strBase + "/mounts", mounts, false); !written.ok())
        return written;
    // The config holds the array password: for this user's eyes only.
    return WriteBytes(ConfigPath(), config, false, 0600);
}

Status DemoWorld::ResultsDir(LONGLONG jobId, std::string& path) const {
    path = m_strBase + "/jobs/job" + std::to_string(static_cast<unsigned long long>(jobId));
    return MakeDirectories(path);
}

}  // namespace snapagent
