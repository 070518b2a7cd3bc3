// The ArrayStatus that ManageONTAP keeps as its last error for a failed
// step of our own back end code, keyed on the step's Status code:
// kNotFound gives kArrayErrNotFound, kInvalidArgument
// kArrayErrInvalidArgument, kAborted kArrayErrStopped, kIncomplete
// kArrayErrLeftOut, and every other failure kArrayErrInternal (the back
// end's own storage failed). The message is prefix + the Status's message.
#pragma once

#include "array/ArrayBackend.h"
#include "hostlib/Status.h"

#include <string>

ArrayStatus ArrayStatusOf(const hostlib::Status& status, const std::string& prefix = "");
