#include "snapclient/snapshots/SnapshotJobId.h"

#include <charconv>

bool SnapshotJobId(const std::string& name, const std::string& prefix, unsigned long long& job) {
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) return false;
    const char* const first = name.data() + prefix.size();
    const char* const last = name.data() + name.size();
    // from_chars takes no sign and no blank; a leading "-" is refused too.
    if (last - first > 20 || *first < '0' || *first > '9') return false;
    const std::from_chars_result read = std::from_chars(first, last, job);
    return read.ec == std::errc() && read.ptr == last;
}
