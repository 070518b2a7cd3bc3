#include "array/ScriptJson.h"

#include "host/FXFile.h"
#include "hostlib/TextBytes.h"

#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <nlohmann/json.hpp>
#include <sstream>

using hostlib::Status;
using nlohmann::json;

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Reads one JSON document into an ArrayScript; the first fault ends it with
// an error that names where in the document it is.
class ScriptReader {
public:
    // The first fault of the document, or ok.
    const Status& Result() const { return m_status; }

    bool Read(const json& doc, ArrayScript& script) {
        if (!Object(doc, "document",
                    {"cluster", "cluster_interface", "version", "array_name", "client_name",
                     "open_connection_ok", "exports", "snapshots", "snapdiffs", "faults"}))
            return false;
        if (!Bool(doc, "document", "cluster", script.bCluster) ||
            !Bool(doc, "document", "cluster_interface", script.bClusterInterface) ||
            !Bool(doc, "document", "open_connection_ok", script.bOpenConnectionOk) ||
            !Bytes(doc, "document", "array_name", false, script.strArrayName) ||
            !Bytes(doc, "document", "client_name", false, script.strClientName) ||
            !Version(doc, script) || !Exports(doc, script) || !Snapshots(doc, script) ||
            !SnapDiffs(doc, script) || !Faults(doc, script))
            return false;
        return true;
    }

private:
    bool Fail(const std::string& where, const std::string& what) {
        m_status = Status::InvalidArgument(where + ": " + what);
        return false;
    }

    bool Object(const json& value, const std::string& where,
                std::initializer_list<const char*> allowed) {
        if (!value.is_object()) return Fail(where, "expected an object");
        for (auto it = value.begin(); it != value.end(); ++it) {
            bool known = false;
            for (const char* key : allowed) known = known || it.key() == key;
            // Quoted as JSON, with every control and non-ASCII byte escaped:
            // a key may hold a newline, and the error is one line.
            if (!known)
                return Fail(where,
                            "unknown key " +
                                json(it.key()).dump(-1, ' ', true, json::error_handler_t::replace));
        }
        return true;
    }

    // The array under key, or an empty one when the key is absent.
    bool Array(const json& obj, const std::string& where, const char* key, const json*& items) {
        static const json kEmpty = json::array();
        items = &kEmpty;
        auto it = obj.find(key);
        if (it == obj.end()) return true;
        if (!it->is_array()) return Fail(where + "." + key, "expected an array");
        items = &*it;
        return true;
    }

    bool Bool(const json& obj, const std::string& where, const char* key, bool& out) {
        auto it = obj.find(key);
        if (it == obj.end()) return true;
        if (!it->is_boolean()) return Fail(where + "." + key, "expected true or false");
        out = it->get<bool>();
        return true;
    }

    template <typename T>
    bool Unsigned(const json& obj, const std::string& where, const char* key, T& out) {
        auto it = obj.find(key);
        if (it == obj.end()) return true;
        if (!it->is_number_unsigned())
            return Fail(where + "." + key, "expected a whole number from 0");
        const uint64_t value = it->get<uint64_t>();
        if (value > std::numeric_limits<T>::max())
            return Fail(where + "." + key, "number too large: " + std::to_string(value));
        out = static_cast<T>(value);
        return true;
    }

    bool Signed(const json& obj, const std::string& where, const char* key, int64_t& out) {
        auto it = obj.find(key);
        if (it == obj.end()) return true;
        if (!it->is_number_integer() ||
            (it->is_number_unsigned() && it->get<uint64_t>() > INT64_MAX))
            return Fail(where + "." + key, "expected a whole number");
        out = it->get<int64_t>();
        return true;
    }

    bool Bytes(const json& obj, const std::string& where, const char* key, bool required,
               std::string& out) {
        auto it = obj.find(key);
        if (it == obj.end())
            return !required || Fail(where, std::string("\"") + key + "\" is missing");
        return BytesValue(*it, where + "." + key, out);
    }

    bool BytesValue(const json& value, const std::string& where, std::string& out) {
        if (!BytesFromJson(value, out))
            return Fail(where, "expected a string or {\"hex\": \"<even number of hex digits>\"}");
        return true;
    }

    bool Version(const json& doc, ArrayScript& script) {
        auto it = doc.find("version");
        if (it == doc.end()) return true;
        if (!it->is_array() || it->size() != 3)
            return Fail("version", "expected [major, minor, third]");
        for (size_t i = 0; i < 3; ++i) {
            const json& part = (*it)[i];
            if (!part.is_number_unsigned() || part.get<uint64_t>() > UINT32_MAX)
                return Fail("version[" + std::to_string(i) + "]", "expected a whole number from 0");
            script.uiVersion[i] = part.get<unsigned>();
        }
        return true;
    }

    bool Exports(const json& doc, ArrayScript& script) {
        const json* items;
        if (!Array(doc, "document", "exports", items)) return false;
        for (size_t i = 0; i < items->size(); ++i) {
            const std::string where = "exports[" + std::to_string(i) + "]";
            std::string exportPath, volumePath;
            if (!Object((*items)[i], where, {"export", "volume_path"}) ||
                !Bytes((*items)[i], where, "export", true, exportPath) ||
                !Bytes((*items)[i], where, "volume_path", true, volumePath))
                return false;
            if (!script.mapExports.emplace(exportPath, volumePath).second)
                return Fail(where, "export [" + exportPath + "] is listed twice");
        }
        return true;
    }

    bool Snapshots(const json& doc, ArrayScript& script) {
        const json* items;
        if (!Array(doc, "document", "snapshots", items)) return false;
        for (size_t i = 0; i < items->size(); ++i) {
            const std::string where = "snapshots[" + std::to_string(i) + "]";
            const json& entry = (*items)[i];
            std::string volume;
            const json* names;
            if (!Object(entry, where, {"volume", "names"}) ||
                !Bytes(entry, where, "volume", true, volume) ||
                !Array(entry, where, "names", names))
                return false;
            if (script.mapSnapshots.count(volume))
                return Fail(where, "volume [" + volume + "] is listed twice");
            std::set<std::string>& set = script.mapSnapshots[volume];
            for (size_t n = 0; n < names->size(); ++n) {
                std::string name;
                if (!BytesValue((*names)[n], where + ".names[" + std::to_string(n) + "]", name))
                    return false;
                set.insert(name);
            }
        }
        return true;
    }

    bool SnapDiffs(const json& doc, ArrayScript& script) {
        const json* items;
        if (!Array(doc, "document", "snapdiffs", items)) return false;
        for (size_t i = 0; i < items->size(); ++i) {
            const std::string where = "snapdiffs[" + std::to_string(i) + "]";
            const json& entry = (*items)[i];
            std::string volume, base, incremental;
            ScriptedSnapDiff diff;
            const json* batches;
            if (!Object(entry, where,
                        {"volume", "base", "incremental", "start_ok", "start_code", "start_message",
                         "escaped_names", "empty_batches_allowed", "batches"}) ||
                !Bytes(entry, where, "volume", true, volume) ||
                !Bytes(entry, where, "base", true, base) ||
                !Bytes(entry, where, "incremental", true, incremental) ||
                !Bool(entry, where, "start_ok", diff.bStartOk) ||
                !Unsigned(entry, where, "start_code", diff.uiStartCode) ||
                !Bytes(entry, where, "start_message", false, diff.strStartMessage) ||
                !Bool(entry, where, "escaped_names", diff.bEscapedNames) ||
                !Bool(entry, where, "empty_batches_allowed", diff.bEmptyBatchesAllowed) ||
                !Array(entry, where, "batches", batches))
                return false;
            for (size_t b = 0; b < batches->size(); ++b) {
                ScriptedBatch batch;
                if (!Batch((*batches)[b], where + ".batches[" + std::to_string(b) + "]", batch))
                    return false;
                diff.vecBatches.push_back(std::move(batch));
            }
            if (!script.mapSnapDiffs.emplace(std::make_tuple(volume, base, incremental), diff)
                     .second)
                return Fail(where, "a second answer for volume [" + volume + "] base [" + base +
                                       "] incremental [" + incremental + "]");
        }
        return true;
    }

    bool Batch(const json& entry, const std::string& where, ScriptedBatch& batch) {
        const json* changes;
        if (!Object(entry, where, {"fail", "code", "message", "changes", "end"}) ||
            !Bool(entry, where, "fail", batch.bFail) ||
            !Unsigned(entry, where, "code", batch.uiCode) ||
            !Bytes(entry, where, "message", false, batch.strMessage) ||
            !Bool(entry, where, "end", batch.bEnd) || !Array(entry, where, "changes", changes))
            return false;
        for (size_t c = 0; c < changes->size(); ++c) {
            const std::string at = where + ".changes[" + std::to_string(c) + "]";
            const json& item = (*changes)[c];
            SnapDiffFileInfo change;
            if (!Object(item, at,
                        {"inode", "file_type", "change_type", "name", "size", "attribute", "mtime",
                         "ctime", "atime"}) ||
                !Unsigned(item, at, "inode", change.ullInode) ||
                !Unsigned(item, at, "file_type", change.uiFileType) ||
                !Bytes(item, at, "change_type", false, change.strChangeType) ||
                !Bytes(item, at, "name", false, change.strFileName) ||
                !Unsigned(item, at, "size", change.ullFileSize) ||
                !Signed(item, at, "attribute", change.llAttribute) ||
                !Signed(item, at, "mtime", change.llMtime) ||
                !Signed(item, at, "ctime", change.llCtime) ||
                !Signed(item, at, "atime", change.llAtime))
                return false;
            batch.vecChanges.push_back(std::move(change));
        }
        return true;
    }

    bool Faults(const json& doc, ArrayScript& script) {
        const json* items;
        if (!Array(doc, "document", "faults", items)) return false;
        for (size_t i = 0; i < items->size(); ++i) {
            const std::string where = "faults[" + std::to_string(i) + "]";
            const json& entry = (*items)[i];
            ScriptedFault fault;
            if (!Object(entry, where,
                        {"operation", "nth", "volume", "code", "message", "drop_connection"}) ||
                !Bytes(entry, where, "operation", true, fault.strOperation) ||
                !Unsigned(entry, where, "nth", fault.ullNth) ||
                !Bytes(entry, where, "volume", false, fault.strVolume) ||
                !Unsigned(entry, where, "code", fault.uiCode) ||
                !Bytes(entry, where, "message", false, fault.strMessage) ||
                !Bool(entry, where, "drop_connection", fault.bDropConnection))
                return false;
            if (fault.ullNth == 0) return Fail(where + ".nth", "calls are counted from 1");
            script.vecFaults.push_back(std::move(fault));
        }
        return true;
    }

    Status m_status;
};

json ChangeToJson(const SnapDiffFileInfo& change) {
    return json{{"inode", change.ullInode},
                {"file_type", change.uiFileType},
                {"change_type", BytesToJson(change.strChangeType)},
                {"name", BytesToJson(change.strFileName)},
                {"size", change.ullFileSize},
                {"attribute", change.llAttribute},
                {"mtime", change.llMtime},
                {"ctime", change.llCtime},
                {"atime", change.llAtime}};
}

json BatchToJson(const ScriptedBatch& batch) {
    if (batch.bFail)
        return json{
            {"fail", true}, {"code", batch.uiCode}, {"message", BytesToJson(batch.strMessage)}};
    json changes = json::array();
    for (const SnapDiffFileInfo& change : batch.vecChanges) changes.push_back(ChangeToJson(change));
    return json{{"changes", std::move(changes)}, {"end", batch.bEnd}};
}

template <typename Json>
Json EncodeBytes(const std::string& bytes) {
    if (IsValidUtf8(bytes)) return bytes;
    return Json{{"hex", HexOfBytes(bytes, false)}};
}

}  // namespace

json BytesToJson(const std::string& bytes) { return EncodeBytes<json>(bytes); }

nlohmann::ordered_json BytesToOrderedJson(const std::string& bytes) {
    return EncodeBytes<nlohmann::ordered_json>(bytes);
}

bool BytesFromJson(const json& value, std::string& bytes) {
    if (value.is_string()) {
        bytes = value.get<std::string>();
        return true;
    }
    if (!value.is_object() || value.size() != 1 || !value.contains("hex") ||
        !value["hex"].is_string())
        return false;
    const std::string& hex = value["hex"].get_ref<const std::string&>();
    if (hex.size() % 2 != 0) return false;
    std::string decoded;
    for (size_t i = 0; i < hex.size(); i += 2) {
        const int high = HexValue(hex[i]), low = HexValue(hex[i + 1]);
        if (high < 0 || low < 0) return false;
        decoded += static_cast<char>(high * 16 + low);
    }
    bytes = std::move(decoded);
    return true;
}

Status ParseArrayScript(const std::string& text, ArrayScript& script) {
    // The document comes from whoever wrote the file: whatever the JSON
    // library throws on it (a number out of range, a nesting too deep, no
    // memory) becomes this one-line error, never the end of the agent.
    json doc;
    try {
        doc = json::parse(text);
    } catch (const std::exception& e) {
        return Status::InvalidArgument(std::string("not a JSON document: ") + e.what());
    }
    try {
        ArrayScript parsed;
        ScriptReader reader;
        if (!reader.Read(doc, parsed)) return reader.Result();
        script = std::move(parsed);
    } catch (const std::exception& e) {
        return Status::InvalidArgument(std::string("unreadable document: ") + e.what());
    }
    return Status::OK();
}

Status LoadArrayScript(const std::string& path, ArrayScript& script) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    if (!in || !(text << in.rdbuf()))
        return Status::IOError("array script [" + path + "]: cannot read: " + std::strerror(errno));
    const Status status = ParseArrayScript(text.str(), script);
    if (!status.ok())
        return Status::InvalidArgument("array script [" + path + "]: " + status.message());
    return status;
}

namespace {
Status ScriptToJson(const ArrayScript& script, std::string& text) {
    json exports = json::array();
    for (const auto& e : script.mapExports)
        exports.push_back(
            {{"export", BytesToJson(e.first)}, {"volume_path", BytesToJson(e.second)}});
    json snapshots = json::array();
    for (const auto& v : script.mapSnapshots) {
        json names = json::array();
        for (const std::string& name : v.second) names.push_back(BytesToJson(name));
        snapshots.push_back({{"volume", BytesToJson(v.first)}, {"names", std::move(names)}});
    }
    json snapdiffs = json::array();
    for (const auto& d : script.mapSnapDiffs) {
        const ScriptedSnapDiff& diff = d.second;
        if (diff.generator) {
            return Status::NotSupported("a generated SnapDiff answer for volume [" +
                                        std::get<0>(d.first) + "] cannot be written as a document");
        }
        json batches = json::array();
        for (const ScriptedBatch& batch : diff.vecBatches) batches.push_back(BatchToJson(batch));
        json entry = {{"volume", BytesToJson(std::get<0>(d.first))},
                      {"base", BytesToJson(std::get<1>(d.first))},
                      {"incremental", BytesToJson(std::get<2>(d.first))},
                      {"start_ok", diff.bStartOk}};
        if (!diff.bStartOk) {
            entry["start_code"] = diff.uiStartCode;
            entry["start_message"] = BytesToJson(diff.strStartMessage);
        }
        entry["escaped_names"] = diff.bEscapedNames;
        entry["empty_batches_allowed"] = diff.bEmptyBatchesAllowed;
        entry["batches"] = std::move(batches);
        snapdiffs.push_back(std::move(entry));
    }
    json faults = json::array();
    for (const ScriptedFault& f : script.vecFaults)
        faults.push_back({{"operation", f.strOperation},
                          {"nth", f.ullNth},
                          {"volume", BytesToJson(f.strVolume)},
                          {"code", f.uiCode},
                          {"message", BytesToJson(f.strMessage)},
                          {"drop_connection", f.bDropConnection}});
    json doc = {{"cluster", script.bCluster},
                {"cluster_interface", script.bClusterInterface},
                {"version", {script.uiVersion[0], script.uiVersion[1], script.uiVersion[2]}},
                {"array_name", BytesToJson(script.strArrayName)},
                {"client_name", BytesToJson(script.strClientName)},
                {"open_connection_ok", script.bOpenConnectionOk},
                {"exports", std::move(exports)},
                {"snapshots", std::move(snapshots)},
                {"snapdiffs", std::move(snapdiffs)},
                {"faults", std::move(faults)}};
    text = doc.dump(2) + "\n";
    return Status::OK();
}
}  // namespace

Status ArrayScriptToJson(const ArrayScript& script, std::string& text) {
    // Saving runs when the job is done with the array; a library exception
    // here must not end the agent either.
    try {
        return ScriptToJson(script, text);
    } catch (const std::exception& e) {
        return Status::IOError(std::string("cannot write the document: ") + e.what());
    }
}

Status SaveArrayScript(const std::string& path, const ArrayScript& script) {
    std::string text;
    Status status = ArrayScriptToJson(script, text);
    if (status.ok()) status = WriteFileAtomically(path, text);
    if (status.ok()) return status;
    const std::string message = "array script [" + path + "]: " + status.message();
    return status.code() == Status::kNotSupported ? Status::NotSupported(message)
                                                  : Status::IOError(message);
}

Status WriteFileAtomically(const std::string& path, const std::string& text) {
    const std::string temp = path + ".tmp." + std::to_string(getpid());
    // A recording names the job's volumes and snapshots: 0600, never
    // through a link planted at the temporary name.
    FILE* file = nullptr;
    const CRyError opened = FXFile::vkfopen(file, temp, "wb");
    if (!file) return Status::IOError(opened.Message());
    const bool written = fwrite(text.data(), 1, text.size(), file) == text.size() &&
                         fflush(file) == 0 && fsync(fileno(file)) == 0;
    const int writeErrno = errno;
    if (fclose(file) != 0 || !written) {
        const int err = written ? errno : writeErrno;
        unlink(temp.c_str());
        return Status::IOError("cannot write [" + temp + "]: " + std::strerror(err));
    }
    if (rename(temp.c_str(), path.c_str()) != 0) {
        const int err = errno;
        unlink(temp.c_str());
        return Status::IOError("cannot replace [" + path + "]: " + std::strerror(err));
    }
    return Status::OK();
}
