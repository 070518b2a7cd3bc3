// The one model of scripted array answers: what a scripted array holds and
// how it answers. Unit tests build it in memory; the scripted back end
// loads it from a JSON document; recordings write it. A SnapDiff answer may
// be given as a generator so that runs of millions of changes stay out of
// memory.
#pragma once

#include "records/SnapRecords.h"

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

struct ScriptedBatch {
    bool bFail = false;  // true: SnapDiffNext fails with uiCode/strMessage
    uint32_t uiCode = 0;
    std::string strMessage;
    std::vector<SnapDiffFileInfo> vecChanges;
    bool bEnd = false;
};

struct ScriptedSnapDiff {
    // Start result.
    bool bStartOk = true;
    uint32_t uiStartCode = 0;
    std::string strStartMessage;
    bool bEscapedNames = true;
    bool bEmptyBatchesAllowed = false;
    // Batches in order; after the last one SnapDiffNext answers an empty
    // batch with the end flag.
    std::vector<ScriptedBatch> vecBatches;
    // When set, used instead of vecBatches: fills batch number index (from
    // 0) with at most maxItems changes; returns false to fail that call.
    std::function<bool(size_t index, unsigned long maxItems, ScriptedBatch& batch)> generator;
};

// Fail the Nth call (1-based) of an operation, counting only calls whose
// volume argument names strVolume when that is set.
struct ScriptedFault {
    std::string strOperation;  // ManageONTAP operation name, e.g. "SnapDiffNext"
    uint64_t ullNth = 1;
    std::string strVolume;
    uint32_t uiCode = 13999;
    std::string strMessage = "injected fault";
    bool bDropConnection = false;  // also fail every later call as not connected
};

struct ArrayScript {
    bool bCluster = true;
    bool bClusterInterface = false;
    unsigned uiVersion[3] = {9, 8, 0};
    std::string strArrayName = "filer1";
    std::string strClientName = "client1";
    bool bOpenConnectionOk = true;
    // Export path -> volume path.
    std::map<std::string, std::string> mapExports;
    // Volume name -> snapshot names.
    std::map<std::string, std::set<std::string>> mapSnapshots;
    // (volume name, base, incremental) -> answer.
    std::map<std::tuple<std::string, std::string, std::string>, ScriptedSnapDiff> mapSnapDiffs;
    std::vector<ScriptedFault> vecFaults;
};
