#include "hostlib/eventstore/Shares.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <numeric>

namespace eventstore {

namespace {
uint32_t HashOf(std::string_view text) {
    return static_cast<uint32_t>(std::hash<std::string_view>()(text));
}
}  // namespace

void Shares::Add(const std::string& prefix) {
    const size_t id = m_prefixes.size();
    m_prefixes.push_back(prefix);
    if (!id) return;
    if ((m_prefixes.size() + 1) * 2 > m_slots.size()) Grow();
    Place(id, static_cast<uint32_t>(m_prefixBytes.size()));
    m_prefixBytes += prefix;
    if (std::find(m_prefixLengths.begin(), m_prefixLengths.end(), prefix.size()) ==
        m_prefixLengths.end())
        m_prefixLengths.insert(std::upper_bound(m_prefixLengths.begin(), m_prefixLengths.end(),
                                                prefix.size(), std::greater<size_t>()),
                               prefix.size());
}

void Shares::Place(size_t id, uint32_t at) {
    const std::string& prefix = m_prefixes[id];
    const uint32_t hash = HashOf(prefix);
    m_slots[SlotOf(prefix, hash)] = {hash, static_cast<uint32_t>(id), at,
                                     static_cast<uint32_t>(prefix.size())};
}

void Shares::Grow() {
    m_slots.assign(std::max<size_t>(16, m_slots.size() * 2), Slot{0, 0, 0, 0});
    uint32_t at = 0;
    for (size_t id = 1; id + 1 < m_prefixes.size(); ++id) {
        Place(id, at);
        at += static_cast<uint32_t>(m_prefixes[id].size());
    }
}

size_t Shares::SlotOf(std::string_view prefix, uint32_t hash) const {
    const size_t mask = m_slots.size() - 1;
    for (size_t at = hash & mask;; at = (at + 1) & mask) {
        const Slot& slot = m_slots[at];
        if (!slot.id || (slot.hash == hash && slot.length == prefix.size() &&
                         memcmp(m_prefixBytes.data() + slot.at, prefix.data(), prefix.size()) == 0))
            return at;
    }
}

size_t Shares::ShareOf(const std::string& path) const {
    for (size_t length : m_prefixLengths) {
        if (length > path.size()) continue;
        const std::string_view prefix(path.data(), length);
        const Slot& slot = m_slots[SlotOf(prefix, HashOf(prefix))];
        if (slot.id) return slot.id;
    }
    return 0;
}

void Shares::Related(const std::string& prefix, std::vector<size_t>& under,
                     std::vector<size_t>& above) const {
    const auto prefixOf = [this](size_t id) -> const std::string& { return m_prefixes[id]; };
    if (m_sorted.size() != m_prefixes.size()) {
        m_sorted.resize(m_prefixes.size());
        std::iota(m_sorted.begin(), m_sorted.end(), size_t(0));
        std::sort(m_sorted.begin(), m_sorted.end(),
                  [&](size_t a, size_t b) { return prefixOf(a) < prefixOf(b); });
    }
    under.clear();
    auto at =
        std::lower_bound(m_sorted.begin(), m_sorted.end(), prefix,
                         [&](size_t id, const std::string& text) { return prefixOf(id) < text; });
    for (; at != m_sorted.end() && prefixOf(*at).compare(0, prefix.size(), prefix) == 0; ++at)
        under.push_back(*at);
    std::sort(under.begin(), under.end());
    above.clear();
    if (prefix.empty()) return;
    above.push_back(0);
    for (size_t length : m_prefixLengths) {
        if (length >= prefix.size()) continue;
        const std::string_view part(prefix.data(), length);
        const Slot& slot = m_slots[SlotOf(part, HashOf(part))];
        if (slot.id) above.push_back(slot.id);
    }
    std::sort(above.begin(), above.end());
}

}  // namespace eventstore
