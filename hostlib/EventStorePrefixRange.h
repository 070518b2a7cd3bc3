// "Path begins with prefix" as a byte range, so that the store can answer it
// with plain comparisons of BLOBs (memcmp order) instead of a pattern match
// in which '%', '_' or bytes >= 0x80 would mean something else.
//
// The paths that begin with prefix are exactly those p with
// prefix <= p < bound, where bound is prefix without its trailing 0xFF bytes
// and with its last byte incremented. An empty prefix, or one made only of
// 0xFF bytes, has no such bound: every path >= prefix begins with it.
#pragma once

#include <string>

// Sets bound and returns true, or returns false when there is no upper bound.
bool EventStorePrefixUpperBound(const std::string& prefix, std::string& bound);
