#include "hostlib/Status.h"

namespace hostlib {

const std::string& Status::message() const {
    static const std::string kNone;
    return m_rep ? m_rep->message : kNone;
}

}  // namespace hostlib
