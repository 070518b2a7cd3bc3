#include "hostlib/EventStorePrefixRange.h"

bool EventStorePrefixUpperBound(const std::string& prefix, std::string& bound) {
    bound = prefix;
    while (!bound.empty() && static_cast<unsigned char>(bound.back()) == 0xFF) bound.pop_back();
    if (bound.empty()) return false;
    bound.back() = static_cast<char>(static_cast<unsigned char>(bound.back()) + 1);
    return true;
}
