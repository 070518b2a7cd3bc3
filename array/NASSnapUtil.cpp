#include "host/NASSnapUtil.h"

#include "array/ArrayBackendFactory.h"
#include "array/AttachArrayBackend.h"
#include "host/LogWriter.h"
#include "host/VKPlatformInfo.h"
#include "hostlib/IniFile.h"

#include <string>

namespace {
std::string ValueOr(const IniFile& config, const std::string& section, const std::string& key,
                    const std::string& fallback) {
    const std::string* value = config.Find(section, key);
    return value ? *value : fallback;
}
}  // namespace

bool NASSnapUtil::Initialize() { return true; }

bool NASSnapUtil::GetArrayNameAndCredentialsByClientId(const int& clientId, NASArrayInfo& info) {
    // One reading of the config, so that the names and the credentials come
    // from the same version of the file.
    IniFile config;
    if (!config.Load(VKPlatformInfo::ConfigPath())) return false;
    const std::string section = "client." + std::to_string(clientId);
    const std::string* array = config.Find(section, "array");
    if (!array || array->empty()) return false;

    // Start from a clean record: nothing of an earlier client's credentials
    // may stay behind when the object is refilled.
    NASArrayInfo filled;
    filled.strArrayName = *array;
    filled.strClientName = ValueOr(config, section, "client_name", *array);
    filled.strUserName = ValueOr(config, section, "user", std::string());
    filled.strPassword = ValueOr(config, section, "password", std::string());
    filled.strManagementAddress = ValueOr(config, section, "management_address", std::string());
    info = filled;
    return true;
}

bool NASSnapUtil::SetONTAPObject(const NASArrayInfo& info, ManageONTAP& ontap,
                                 const montapConnectType&, const bool&) {
    boost::shared_ptr<ArrayBackend> backend;
    const hostlib::Status created = CreateArrayBackend(info, backend);
    if (!created.ok()) {
        if (g_ptrLogWriter)
            g_ptrLogWriter->Log(-1, __PRETTY_FUNCTION__, __LINE__,
                                "Unable to set up the back end of array [%s]: %s",
                                info.strArrayName.c_str(), created.message().c_str());
        // A back end kept from an earlier set-up would answer for the wrong
        // array; without one the connection fails as it should.
        AttachArrayBackend(ontap, boost::shared_ptr<ArrayBackend>());
        return false;
    }
    AttachArrayBackend(ontap, backend);
    return true;
}
