// The shares of this job that were not backed up while their volume's
// current snapshot stayed for other shares (a share dropped at creation, a
// share the agent could not mount). The post-backup cleanup deletes that
// snapshot, or the next job would compare those shares from it and never
// deliver their changes made before this job. One object per client.
#pragma once

#include <map>
#include <string>
#include <vector>

class UnbackedShares {
public:
    struct Volume {
        std::string strVolumeKey;  // the key of the first share remembered
        std::vector<std::string> vecBackupPaths;
    };

    void Remember(const std::string& volumeKey, const std::string& volume,
                  const std::string& backupPath) {
        Volume& unbacked = m_volumes[volume];
        if (unbacked.vecBackupPaths.empty()) unbacked.strVolumeKey = volumeKey;
        unbacked.vecBackupPaths.push_back(backupPath);
    }
    // By volume name.
    const std::map<std::string, Volume>& Volumes() const { return m_volumes; }

private:
    std::map<std::string, Volume> m_volumes;
};
