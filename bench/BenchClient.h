// The tests' scan client (shares and array connection set directly:
// snapshot creation is not what the scan benchmarks measure), and the
// agent's side of the change scan: CompareSnapshots for each share, then
// pulls until status 5.
#pragma once

#include "array/ArrayBackend.h"
#include "snapclient/NetAppSnapClient.h"
#include "tests/support/ScanClient.h"

#include <array>
#include <string>
#include <vector>

namespace bench {

using scantest::kCurrSnap;
using scantest::kPrevSnap;

class BenchClient : public scantest::ScanClient {
public:
    using ScanClient::ScanClient;
    void AddShare(const std::string& backupPath, const std::string& volumePath,
                  const std::string& volume) {
        Shares().push_back(scantest::Share(backupPath, volumePath, volume));
    }
};

// Items the agent received, by status (index 0 to 6).
struct DeliveredItems {
    std::array<uint64_t, 7> byStatus{};
    uint64_t Changes() const { return byStatus[1] + byStatus[2] + byStatus[3] + byStatus[4]; }
};

// Compares and drains every share of the client in list order; fails the
// program on an error or a status 6 item.
DeliveredItems CompareAndPullAllShares(BenchClient& client);

}  // namespace bench
