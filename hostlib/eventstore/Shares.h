// The shares of one change event store and the routing of a path to its
// share: the share of the longest prefix that begins the path, else share 0
// (the empty prefix, made first), which holds the events of no share. A
// path's share is found with one probe of a flat hash table per distinct
// prefix length (a volume's shares mostly have prefixes of one or two
// lengths), so that routing costs the same for a volume of a thousand
// shares as for one of three. Memory only: the shares table of the file is
// written by the connection (Connection.h).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace eventstore {

class Shares {
public:
    size_t Count() const { return m_prefixes.size(); }
    const std::string& Prefix(size_t id) const { return m_prefixes[id]; }
    const std::vector<std::string>& Prefixes() const { return m_prefixes; }

    // Adds the next share; the first must have the empty prefix.
    void Add(const std::string& prefix);
    size_t ShareOf(const std::string& path) const;
    // The shares a read of prefix looks at, each list in id order: under,
    // those whose prefix begins with prefix; above, those whose shorter
    // prefix begins prefix. A read costs the shares it touches, not every
    // share of the store.
    void Related(const std::string& prefix, std::vector<size_t>& under,
                 std::vector<size_t>& above) const;

private:
    // A prefix's bytes sit in m_prefixBytes, next to the others, so that a
    // look-up touches a few cache lines whatever the number of shares.
    struct Slot {
        uint32_t hash;
        uint32_t id;  // 0: free (share 0, the empty prefix, is what no look-up finds)
        uint32_t at;  // of its prefix in m_prefixBytes
        uint32_t length;
    };
    size_t SlotOf(std::string_view prefix, uint32_t hash) const;
    void Place(size_t id, uint32_t at);
    void Grow();

    std::vector<std::string> m_prefixes;
    std::string m_prefixBytes;
    std::vector<Slot> m_slots;             // a power of two, at most half full; a prefix
                                           // made twice routes to its last share
    std::vector<size_t> m_prefixLengths;   // longest first
    mutable std::vector<size_t> m_sorted;  // ids by prefix, sorted on the first read
};

}  // namespace eventstore
