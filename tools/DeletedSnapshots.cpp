#include "tools/DeletedSnapshots.h"

#include "tools/FileOps.h"
#include "tools/StateFolder.h"

#include <fstream>
#include <nlohmann/json.hpp>

namespace snapagent {
namespace {

std::string DeletionsPath(const std::string& stateDir, ULONG clientId) {
    return HistoryFolder(stateDir, clientId) + "/deleted-snapshots.jsonl";
}

// A field of a line another program may have written: anything but the
// expected type reads as absent.
std::string TextOf(const nlohmann::json& line, const char* key) {
    const auto found = line.find(key);
    return found != line.end() && found->is_string() ? found->get<std::string>() : std::string();
}

long long NumberOf(const nlohmann::json& line, const char* key) {
    const auto found = line.find(key);
    return found != line.end() && found->is_number_integer() ? found->get<long long>() : -1;
}

}  // namespace

hostlib::Status RecordDeletedSnapshot(const std::string& stateDir, ULONG clientId,
                                      const DeletedSnapshot& deleted) {
    const hostlib::Status folder = MakePrivateFolder(HistoryFolder(stateDir, clientId));
    if (!folder.ok()) return folder;
    nlohmann::ordered_json line;
    line["volume"] = deleted.strVolume;
    line["name"] = deleted.strName;
    line["application"] = deleted.ulApp;
    line["job"] = deleted.ullJob;
    line["deleted"] = deleted.llDeleted;
    return WriteBytes(DeletionsPath(stateDir, clientId),
                      line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n",
                      true, 0600);
}

std::string DeletedBaseReason(const std::string& stateDir, const JobRecord& base,
                              const std::string& share) {
    std::string volume;
    for (const ShareRecord& record : base.shares)
        if (record.strShare == share) volume = record.strVolume;
    if (volume.empty()) return std::string();
    std::ifstream in(DeletionsPath(stateDir, base.ulClientId));
    for (std::string text; std::getline(in, text);) {
        const nlohmann::json line = nlohmann::json::parse(text, nullptr, false);
        if (!line.is_object() || TextOf(line, "volume") != volume ||
            NumberOf(line, "application") != static_cast<long long>(base.ulAppId2) ||
            NumberOf(line, "job") != static_cast<long long>(base.llJobId) ||
            NumberOf(line, "deleted") < base.llEnded)
            continue;
        return "its base, snapshot " + TextOf(line, "name") + " of job " +
               std::to_string(base.llJobId) + ", was deleted from volume " + volume +
               " (snapagent snapshots --delete)";
    }
    return std::string();
}

}  // namespace snapagent
