#include "array/ArrayStatusOf.h"

using hostlib::Status;

ArrayStatus ArrayStatusOf(const Status& status, const std::string& prefix) {
    if (status.ok()) return ArrayStatus::Ok();
    uint32_t code = kArrayErrInternal;
    switch (status.code()) {
        case Status::kNotFound:
            code = kArrayErrNotFound;
            break;
        case Status::kInvalidArgument:
            code = kArrayErrInvalidArgument;
            break;
        case Status::kAborted:
            code = kArrayErrStopped;
            break;
        case Status::kIncomplete:
            code = kArrayErrLeftOut;
            break;
        default:
            break;
    }
    return ArrayStatus::Fail(code, prefix + status.message());
}
