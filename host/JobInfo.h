// Job information of the agent: how many SnapDiff changes to ask for per
// batch. Our host uses [snapdiff] max_items from the config when it is a
// positive integer, else 1024 for ONTAP 9.2 and later, else leaves the
// caller's default. A configured value that is not a positive integer is an
// error (1627) and leaves maxItems unchanged.
#pragma once

#include "host/CRyError.h"

#include <cstdint>

enum VKAppType : int {
    VKAPP_NAS_FILESYSTEM = 33,
};

class CJobInfoIndexNasFs {
public:
    CRyError DetermineSnapDiffMax(bool ontap92OrLater, VKAppType appType, uint64_t appId1,
                                  uint64_t appId2, int& maxItems);
};
