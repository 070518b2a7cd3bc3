// A job's surroundings for the snapshot lifecycle tests: share folders under
// a temporary "mnt", a mount table file, the auto-mount map and the registry
// settings in one config, a scripted array, a job results folder, and a
// client subclass that shows the job state the agent cannot see.
#pragma once

#include "host/ContentMapper.h"
#include "host/SendEvent.h"
#include "snapclient/NetAppSnapClient.h"
#include "tests/support/TestSupport.h"

#include <boost/make_shared.hpp>
#include <gtest/gtest.h>
#include <memory>
#include <sys/stat.h>

namespace lifecycle {

// Client id 2 and second application id 15: snapshots are VKOP_2_15_<job>.
const ULONG kClientId = 2;
const ULONG kAppId1 = 7;
const ULONG kAppId2 = 15;
const char kPrefix[] = "VKOP_2_15_";

inline std::string Snap(LONGLONG job) { return kPrefix + std::to_string(job); }

class TestClient : public CNetAppSnapClient {
public:
    using CNetAppSnapClient::m_bAutoMountClient;
    using CNetAppSnapClient::m_lstExportInfo;
    using CNetAppSnapClient::m_mapContentMapperPaths;
    using CNetAppSnapClient::m_pManageOntap;
    using CNetAppSnapClient::m_strSnapMapInfoFile;

    const FileServerExportInfo* Share(const std::string& backupPath) const {
        for (const FileServerExportInfo& share : m_lstExportInfo)
            if (share.strBackupPath == backupPath) return &share;
        return nullptr;
    }
};

inline void MakeDirs(const std::string& path) {
    std::string partial;
    for (size_t pos = 1; pos <= path.size(); ++pos) {
        if (pos == path.size() || path[pos] == '/') {
            partial = path.substr(0, pos);
            mkdir(partial.c_str(), 0755);
        }
    }
}

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
    void Setting(const std::string& key, int value) {
        m_registry += key + " = " + std::to_string(value) + "\n";
        if (m_config) m_config->Rewrite(ConfigText());
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
    std::vector<FaultInjectingBackend::Call> Calls(const std::string& op) {
        return m_array->CallsOf(op);
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

    // A client of job `job` whose previous job was `prev`, initialised as
    // the agent does; a content mapper makes it an auto-mount client.
    std::unique_ptr<TestClient> Client(LONGLONG job, LONGLONG prev,
                                       const ContentMapperAPIPtr& mapper = ContentMapperAPIPtr()) {
        std::unique_ptr<TestClient> client(new TestClient());
        CRyError err = client->Initialize(job, kClientId, kAppId1, kAppId2, m_results, "",
                                          MapFile(), prev, 0, 0, 0, mapper);
        EXPECT_FALSE(err.IsError()) << err.AsString();
        return client;
    }

private:
    std::string ConfigText() const {
        return testsupport::ClientConfig("[host]\nmount_table = " + (m_dir / "mounttab") +
                                         "\n\n[automount]\n" + m_autoMount +
                                         "\n[~FileSystemAgent]\n" + m_registry);
    }

    testsupport::TempDir m_dir;
    std::string m_results;
    std::string m_mnt;
    ArrayScript m_script;
    std::string m_mountTable;
    std::string m_autoMount;
    std::string m_registry;
    std::unique_ptr<testsupport::ScopedConfig> m_config;
    std::unique_ptr<testsupport::ScriptedArrayInstall> m_array;
};

inline std::vector<CRecordingEventSink::Sent> SentEvents() {
    return CRecordingEventSink::Default().Events();
}

inline ContentMapperAPIPtr NewMapper(const std::map<std::string, std::string>& paths = {}) {
    boost::shared_ptr<CContentMapper> mapper = boost::make_shared<CContentMapper>();
    mapper->SetPathMap(paths);
    return mapper;
}

}  // namespace lifecycle
