// NAS snap utility: the array's names and credentials per client id, and the
// set-up of a ManageONTAP object for that array. Our host reads the section
// [client.<id>] of the config: array, client_name, user, password,
// management_address. SetONTAPObject builds the array back end the config
// names ([array] backend) and attaches it to the ManageONTAP object.
#pragma once

#include "host/ManageONTAP.h"
#include "records/SnapRecords.h"

class NASSnapUtil {
public:
    NASSnapUtil() = default;
    bool Initialize();
    // False when the config has no array for the client id.
    bool GetArrayNameAndCredentialsByClientId(const int& clientId, NASArrayInfo& info);
    bool SetONTAPObject(const NASArrayInfo& info, ManageONTAP& ontap,
                        const montapConnectType& connectType, const bool& flag);
};
