// Builds the array back end that the config names ([array] backend = local
// (default), scripted, record). A test may install an override that is used
// instead of the config; null removes it. A back end built from the config
// is wrapped in a FaultInjectingBackend with the faults of the config's
// [faults] section, and that in a CallLoggingBackend when [array] calls_log
// names a file (docs/scripted-array.md gives every setting). Each call
// builds a new back end: state, fault counts and recordings belong to it.
#pragma once

#include "array/ArrayBackend.h"
#include "array/ArrayScript.h"
#include "hostlib/Status.h"
#include "records/SnapRecords.h"

#include <boost/shared_ptr.hpp>
#include <functional>
#include <string>

typedef std::function<boost::shared_ptr<ArrayBackend>(const NASArrayInfo&)> ArrayBackendOverride;

// Fails, leaving backend as it was, when the config names no usable back end.
hostlib::Status CreateArrayBackend(const NASArrayInfo& info,
                                   boost::shared_ptr<ArrayBackend>& backend);
void SetArrayBackendOverride(ArrayBackendOverride factory);

// One [faults] setting: "<Operation> <Nth> <volume or *> [<code>] [drop]
// [message]". Fails (kInvalidArgument) naming what is wrong when the text
// is not one.
hostlib::Status ParseFaultSetting(const std::string& text, ScriptedFault& fault);
