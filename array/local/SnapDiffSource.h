// What one SnapDiff session of the local array reads its changes from: the
// merge of two catalogs, or the file system's own comparison of two
// snapshots. Whatever lies behind it, a source hands out the same records
// in the same batches: at most the session's batch size each, end set on
// the last one, and only the last one may be empty. Not thread-safe.
#pragma once

#include "array/ArrayBackend.h"
#include "hostlib/Status.h"

#include <vector>

class SnapDiffSource {
public:
    virtual ~SnapDiffSource() = default;
    virtual hostlib::Status Next(std::vector<SnapDiffFileInfo>& batch, bool& end) = 0;
};
