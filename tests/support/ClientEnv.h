// Fixtures of the tests that drive the client directly: a job's
// surroundings (share folders under a temporary "mnt", a mount table file,
// the auto-mount map in one config, a scripted array,
// a job results folder), a client subclass that shows the job state the
// agent cannot see, and for the change scan a client whose shares and array
// are set directly (ScanClient.h), with helpers that build changes and pull
// items.
#pragma once

#include "host/ContentMapper.h"
#include "host/FXErrorUtil.h"
#include "hostlib/RecordingEventSink.h"
#include "snapclient/NetAppSnapClient.h"
#include "tests/support/ScanClient.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>
#include <boost/make_shared.hpp>
#include <memory>

namespace lifecycle {

// Client id 2 and second application id 15: snapshots are VKOP_2_15_<job>.
const ULONG kClientId = 2;
const ULONG kAppId1 = 7;
const ULONG kAppId2 = 15;
const char kPrefix[] = "VKOP_2_15_";

inline std::string Snap(LONGLONG job) { return kPrefix + std::to_string(job); }

class TestClient : public CNetAppSnapClient {
public:
    using CNetAppSnapClient::m_lstExportInfo;
    using CNetAppSnapClient::m_pManageOntap;
};

using testsupport::MakeDirs;

class Env {
public:
    Env() : m_results(m_dir / "results"), m_mnt(m_dir / "mnt") {
        MakeDirs(m_results);
        MakeDirs(m_mnt);
        m_script.bCluster = false;
        CRecordingEventSink::Default().Clear();
    }

    ArrayScript& Script() { return m_script; }
    // Each job of the agent writes into a results folder of its own.
    void NewResultsFolder(const std::string& name) {
        m_results = m_dir / name;
        MakeDirs(m_results);
    }
    const std::string& Results() const { return m_results; }
    std::string MapFile() const { return m_results + "/nativeSnapMapInfo.vkf"; }
    // A folder under the temporary mnt, created.
    std::string Dir(const std::string& relative) const {
        std::string path = m_mnt + "/" + relative;
        MakeDirs(path);
        return path;
    }

    // The array knows the export, with or without a trailing delimiter, as
    // ONTAP does.
    void Export(const std::string& exportPath, const std::string& volumePath) {
        m_script.mapExports[exportPath] = volumePath;
        m_script.mapExports[exportPath + "/"] = volumePath;
    }
    void Snapshots(const std::string& volume, const std::set<std::string>& names) {
        m_script.mapSnapshots[volume] = names;
    }
    // "source directory" pairs, in table order.
    void Mount(const std::string& source, const std::string& directory) {
        m_mountTable += source + " " + directory + " nfs rw 0 0\n";
    }
    void AutoMount(const std::string& prefix, const std::string& mountFormat) {
        m_autoMount += prefix + " = " + mountFormat + "\n";
    }
    // Makes the share readable through .snapshot/<name>, as the array does
    // when the snapshot is taken and .snapshot access is on.
    void SnapshotDir(const std::string& readRoot, const std::string& name) {
        MakeDirs(readRoot + "/.snapshot/" + name);
    }

    // Writes the mount table and config and puts the array behind every
    // ManageONTAP; call once the surroundings are described.
    void Install() {
        testsupport::WriteFile(m_dir / "mounttab", m_mountTable);
        m_config.reset(new testsupport::ScopedConfig(ConfigText()));
        m_array.reset(new testsupport::ScriptedArrayInstall(m_script));
    }
    testsupport::ScriptedArrayInstall& Array() { return *m_array; }
    std::set<std::string> OnArray(const std::string& volume) { return m_array->Snapshots(volume); }
    std::unique_ptr<TestClient> Client(LONGLONG job, LONGLONG prev) {
        std::unique_ptr<TestClient> client(new TestClient());
        CRyError err = client->Initialize(job, kClientId, kAppId1, kAppId2, m_results, "",
                                          MapFile(), prev, 0, 0, 0, ContentMapperAPIPtr());
        EXPECT_FALSE(err.IsError()) << err.AsString();
        return client;
    }
    void Fail(const std::string& op, uint64_t nth, uint32_t code = 13999,
              const std::string& message = "injected fault") {
        ScriptedFault fault;
        fault.strOperation = op;
        fault.ullNth = nth;
        fault.uiCode = code;
        fault.strMessage = message;
        m_array->Backend().AddFault(fault);
    }

private:
    std::string ConfigText() const {
        return testsupport::ClientConfig("[host]\nmount_table = " + (m_dir / "mounttab") +
                                         "\n\n[automount]\n" + m_autoMount + "\n");
    }

    testsupport::TempDir m_dir;
    std::string m_results;
    std::string m_mnt;
    ArrayScript m_script;
    std::string m_mountTable;
    std::string m_autoMount;
    std::unique_ptr<testsupport::ScopedConfig> m_config;
    std::unique_ptr<testsupport::ScriptedArrayInstall> m_array;
};

inline ContentMapperAPIPtr NewMapper(const std::map<std::string, std::string>& paths = {}) {
    boost::shared_ptr<CContentMapper> mapper = boost::make_shared<CContentMapper>();
    mapper->SetPathMap(paths);
    return mapper;
}

}  // namespace lifecycle

namespace scantest {

inline SnapDiffFileInfo Change(uint64_t inode, const std::string& type, const std::string& name,
                               uint32_t fileType = 1) {
    SnapDiffFileInfo change;
    change.ullInode = inode;
    change.uiFileType = fileType;
    change.strChangeType = type;
    change.strFileName = name;
    change.llAtime = static_cast<int64_t>(inode) * 10 + 1;
    change.llCtime = static_cast<int64_t>(inode) * 10 + 2;
    change.llMtime = static_cast<int64_t>(inode) * 10 + 3;
    change.llAttribute = 0644;
    return change;
}

inline ScriptedBatch Batch(std::vector<SnapDiffFileInfo> changes, bool end = false) {
    ScriptedBatch batch;
    batch.vecChanges = std::move(changes);
    batch.bEnd = end;
    return batch;
}

inline std::tuple<std::string, std::string, std::string> DiffKey(const std::string& volume) {
    return std::make_tuple(volume, std::string(kPrevSnap), std::string(kCurrSnap));
}

// The paths of the items pulled until status 5, in order; a failure (6)
// shows as "failed" and ends the list.
inline std::vector<std::string> PulledPaths(
    const std::function<FileServerSnapshotCompareItem()>& source) {
    std::vector<std::string> paths;
    for (FileServerSnapshotCompareItem item = source(); item.uiStatus != kItemNoMore;
         item = source()) {
        paths.push_back(item.uiStatus == kItemFailure ? "failed" : item.strPath);
        if (item.uiStatus == kItemFailure) break;
    }
    return paths;
}

// Everything a comparison test needs: a results folder, an empty config (no
// batch size setting), a log recorder, the scripted array and the client.
struct ScanEnv {
    testsupport::TempDir dir;
    testsupport::ScopedConfig config{""};
    testsupport::RecordingLogWriter log{3};
    testsupport::ScriptedArrayInstall array;
    ScanClient client{dir.Path()};

    explicit ScanEnv(const ArrayScript& script) : array(script) {
        client.UseArray(array.Backend());
    }
};

}  // namespace scantest
