// A self-contained world for jobs on the embedded local array, built in a
// fresh temporary folder:
//
//   <base>/array/<volume>/...          the local array's root and volumes
//   <base>/mnt/<volume> -> ../array/<volume>   where the proxy "mounts" each volume
//   <base>/mounts                      mount table: filer1:/vol/<volume> on <base>/mnt/<volume>
//   <base>/snapclient.conf             config: client credentials, the array, the mount table
//   <base>/jobs/job<N>/                job results folders
//
// A share is a volume, or a directory of a volume exported on its own. The
// folder is removed with everything in it when the world is destroyed,
// unless Keep() was called.
#pragma once

#include "hostlib/Status.h"
#include "records/SnapRecords.h"

#include <string>
#include <vector>

namespace snapagent {

struct WorldShare {
    std::string strVolume;
    std::string strDirectory;  // inside the volume; empty for the whole volume
};

struct WorldSpec {
    bool bCluster = true;
    ULONG ulClientId = 1;
    std::vector<WorldShare> shares;
    std::string strFolderPrefix = "snapagent-";
};

struct BuiltShare {
    std::string strSharePath;  // the backup path the agent names
    std::string strLiveDir;    // the same tree in the array's volume directory
    std::string strVolume;
};

class DemoWorld {
public:
    DemoWorld() = default;
    ~DemoWorld();
    DemoWorld(const DemoWorld&) = delete;
    DemoWorld& operator=(const DemoWorld&) = delete;

    // An invalid argument for a plan it cannot build (or when built
    // already), else the failure of the file operation that failed.
    hostlib::Status Build(const WorldSpec& plan);
    void Keep() { m_bKeep = true; }

    const std::string& Base() const { return m_strBase; }
    std::string ConfigPath() const { return m_strBase + "/snapclient.conf"; }
    std::string PluginLogPath() const { return m_strBase + "/plugin.log"; }
    const WorldSpec& Settings() const { return m_spec; }
    const std::vector<BuiltShare>& Shares() const { return m_shares; }
    std::vector<std::string> Volumes() const;
    // Creates (if needed) and returns the results folder of a job.
    hostlib::Status ResultsDir(LONGLONG jobId, std::string& path) const;

    // The demo's three shares: projects/alpha and projects/beta on one
    // volume, and the whole volume home.
    static WorldSpec DemoSpec(bool cluster);

private:
    WorldSpec m_spec;
    std::string m_strBase;
    std::vector<BuiltShare> m_shares;
    bool m_bKeep = false;
};

}  // namespace snapagent
