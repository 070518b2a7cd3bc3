#include "tools/Verification.h"

#include "tools/ItemText.h"

#include <algorithm>
#include <functional>
#include <map>
#include <set>
#include <utility>

namespace snapagent {
namespace {

const uint32_t kDirectoryMode = 0x4000;

// Paths left out of the comparison: each one with everything below it.
class Exclusions {
public:
    void Add(const std::string& path) { m_paths.insert(path); }
    bool Covers(std::string path) const {
        for (;;) {
            if (m_paths.count(path)) return true;
            size_t slash = path.rfind('/');
            if (slash == std::string::npos) return false;
            path.resize(slash);
        }
    }

private:
    std::set<std::string> m_paths;
};

bool IsDirectoryItem(const FileServerSnapshotCompareItem& item) {
    return item.stItemInfo.uiMode == kDirectoryMode ||
           (!item.strPath.empty() && item.strPath.back() == '/');
}

// The delivered path relative to the share, without leading or trailing
// "/"; false when it lies outside the share.
bool RelativeToShare(const std::string& share, const std::string& path, std::string& relative) {
    if (path.compare(0, share.size(), share) != 0) return false;
    if (path.size() > share.size() && path[share.size()] != '/') return false;
    relative = path.substr(share.size());
    size_t begin = relative.find_first_not_of('/');
    if (begin == std::string::npos) {
        relative.clear();
        return true;
    }
    size_t end = relative.find_last_not_of('/');
    relative = relative.substr(begin, end - begin + 1);
    return true;
}

// Calls visit(path, entry) for every entry strictly below dir.
template <typename Visit>
void ForEachBelow(const TreeListing& listing, const std::string& dir, Visit visit) {
    const std::string prefix = dir + "/";
    for (auto it = listing.lower_bound(prefix);
         it != listing.end() && it->first.compare(0, prefix.size(), prefix) == 0; ++it)
        visit(it->first, it->second);
}

void EraseSubtree(TreeListing& listing, const std::string& dir) {
    const std::string prefix = dir + "/";
    auto it = listing.lower_bound(prefix);
    while (it != listing.end() && it->first.compare(0, prefix.size(), prefix) == 0)
        it = listing.erase(it);
}

bool SameContents(const TreeEntry& a, const TreeEntry& b) {
    return a.ullInode == b.ullInode && a.type == b.type && a.ullSize == b.ullSize &&
           a.llMtimeNs == b.llMtimeNs;
}

std::string JoinNames(const std::set<std::string>& names) {
    std::string text;
    for (const std::string& n : names)
        text += (text.empty() ? "[" : ", [") + PrintablePath(n) + "]";
    return text.empty() ? "none" : text;
}

// Per-share state while its verdict is built.
struct ShareWork {
    const ShareChanges* changes = nullptr;
    ShareVerdict verdict;
    Exclusions excluded;
    std::map<uint64_t, std::string> currentInodes;  // inode -> one current path
};

std::vector<std::string> DescribeItemsWhere(
    const std::vector<ShareWork>& work,
    const std::function<bool(const ShareWork&, const FileServerSnapshotCompareItem&)>& match) {
    std::vector<std::string> out;
    for (const ShareWork& w : work)
        for (const auto& item : w.changes->items)
            if (match(w, item)) out.push_back(DescribeItem(item));
    if (out.empty()) out.push_back("nothing");
    return out;
}

// (a) files with several names whose contents changed: the array reports
// the modification at one of the names the file kept, so each other kept
// name that no item delivers is left out. Names created or removed are
// delivered one by one and stay checked.
void FindChangedNamesNotReported(std::vector<ShareWork>& work, ShareWork& w) {
    const ShareChanges& s = *w.changes;
    struct Names {
        std::set<std::string> before, after;
        const TreeEntry* oneBefore = nullptr;
        const TreeEntry* oneAfter = nullptr;
    };
    std::map<uint64_t, Names> inodes;
    auto collect = [&inodes](const auto& listing, std::set<std::string> Names::*names,
                             const TreeEntry* Names::*one) {
        for (const auto& e : listing) {
            if (e.second.type == EntryType::kDirectory || e.second.ullLinks <= 1) continue;
            Names& n = inodes[e.second.ullInode];
            (n.*names).insert(e.first);
            n.*one = &e.second;
        }
    };
    collect(s.previous, &Names::before, &Names::oneBefore);
    collect(s.current, &Names::after, &Names::oneAfter);
    std::set<std::string> delivered;
    for (const auto& item : s.items) {
        std::string rel;
        if (item.uiStatus != kItemDeleted && RelativeToShare(s.strSharePath, item.strPath, rel))
            delivered.insert(rel);
    }
    for (const auto& entry : inodes) {
        const Names& n = entry.second;
        if (!n.oneBefore || !n.oneAfter || SameContents(*n.oneBefore, *n.oneAfter)) continue;
        std::set<std::string> unreported;
        for (const std::string& p : n.after)
            if (n.before.count(p) && !delivered.count(p) && !w.excluded.Covers(p))
                unreported.insert(p);
        if (unreported.empty()) continue;
        for (const std::string& p : unreported) w.excluded.Add(p);
        LimitCase limit{KnownLimit::kChangedNamesNotReported,
                        "inode " + std::to_string(entry.first) + " changed; names before " +
                            JoinNames(n.before) + ", after " + JoinNames(n.after) +
                            "; not reported: " + JoinNames(unreported),
                        {}};
        const uint64_t inode = entry.first;
        const ShareWork* self = &w;
        limit.vecDelivered = DescribeItemsWhere(
            work, [&](const ShareWork& owner, const FileServerSnapshotCompareItem& item) {
                return &owner == self && item.stItemInfo.ullInode == inode;
            });
        w.verdict.limits.push_back(limit);
    }
}

void ApplyAndCompare(ShareWork& w) {
    const ShareChanges& s = *w.changes;
    std::map<std::string, std::string> missing, unexpected;
    auto flag = [&](std::map<std::string, std::string>& into, const std::string& rel,
                    const std::string& reason) {
        if (!w.excluded.Covers(rel)) into.emplace(rel, reason);
    };

    TreeListing result = s.previous;
    for (const auto& item : s.items) {  // deletions first: the order of a share's items is free
        // A file renamed and changed comes as one item that names its old
        // path: the agent drops that path as it takes the new one.
        std::string old;
        if (item.uiStatus == kItemAllKinds && item.stItemInfo.bRenamed &&
            RelativeToShare(s.strSharePath, item.strOldPath, old) && !old.empty()) {
            result.erase(old);
            if (IsDirectoryItem(item)) EraseSubtree(result, old);
        }
        if (item.uiStatus != kItemDeleted) continue;
        std::string rel;
        if (!RelativeToShare(s.strSharePath, item.strPath, rel)) {
            unexpected.emplace(item.strPath, "deletion outside the share");
            continue;
        }
        if (rel.empty()) {
            unexpected.emplace("/", "deletion of the share itself");
            continue;
        }
        if (!s.previous.count(rel)) flag(unexpected, rel, "deleted, but was not there before");
        result.erase(rel);
        if (IsDirectoryItem(item)) EraseSubtree(result, rel);
    }

    std::set<std::string> delivered, wholeSubtrees;
    for (const auto& item : s.items) {
        if (item.uiStatus == kItemDeleted) continue;
        std::string rel;
        if (!RelativeToShare(s.strSharePath, item.strPath, rel)) {
            unexpected.emplace(item.strPath, "delivered outside the share");
            continue;
        }
        if (item.uiStatus != kItemCreated && item.uiStatus != kItemModified &&
            item.uiStatus != kItemAllKinds) {
            flag(unexpected, rel, "delivered with " + StatusName(item.uiStatus));
            continue;
        }
        if (rel.empty()) continue;  // the share's own directory is always there
        delivered.insert(rel);
        auto now = s.current.find(rel);
        if (now == s.current.end()) {
            flag(unexpected, rel, "delivered, but not there");
            continue;
        }
        const bool isDirectory = now->second.type == EntryType::kDirectory;
        if (IsDirectoryItem(item) != isDirectory)
            flag(unexpected, rel,
                 isDirectory ? "delivered as a file, but is a directory"
                             : "delivered as a directory, but is not one");
        result[rel] = now->second;
        if (isDirectory && item.uiStatus != kItemModified) {
            wholeSubtrees.insert(rel);
            ForEachBelow(s.current, rel,
                         [&](const std::string& p, const TreeEntry& e) { result[p] = e; });
        }
    }

    auto insideDeliveredDirectory = [&](std::string path) {
        for (size_t slash; (slash = path.rfind('/')) != std::string::npos;) {
            path.resize(slash);
            if (wholeSubtrees.count(path)) return true;
        }
        return false;
    };
    for (const auto& e : s.current) {
        const std::string& p = e.first;
        auto r = result.find(p);
        if (r == result.end()) {
            flag(missing, p,
                 s.previous.count(p) ? "removed by a delivered deletion, but still there"
                                     : "new, not delivered");
            continue;
        }
        if (delivered.count(p) || insideDeliveredDirectory(p)) continue;
        if (r->second.type != e.second.type) {
            flag(missing, p, "type changed, not delivered");
        } else if (e.second.type != EntryType::kDirectory && !SameContents(r->second, e.second)) {
            flag(missing, p, "changed, not delivered");
        }
    }
    for (const auto& r : result)
        if (!s.current.count(r.first))
            flag(unexpected, r.first,
                 s.previous.count(r.first) ? "deleted, not delivered" : "delivered, but not there");

    for (const auto& m : missing) w.verdict.missing.push_back(Finding{m.first, m.second});
    for (const auto& u : unexpected) w.verdict.unexpected.push_back(Finding{u.first, u.second});
}

}  // namespace

std::string LimitName(KnownLimit limit) {
    switch (limit) {
        case KnownLimit::kChangedNamesNotReported:
            return "(a) changed file with several names";
    }
    return "unknown limit";
}

std::vector<ShareVerdict> VerifyJob(const std::vector<ShareChanges>& shares) {
    std::vector<ShareWork> work(shares.size());
    for (size_t i = 0; i < shares.size(); ++i) {
        work[i].changes = &shares[i];
        work[i].verdict.strSharePath = shares[i].strSharePath;
        work[i].verdict.nDelivered = shares[i].items.size();
        for (const auto& e : shares[i].current)
            work[i].currentInodes.emplace(e.second.ullInode, e.first);
    }
    for (ShareWork& w : work) FindChangedNamesNotReported(work, w);
    std::vector<ShareVerdict> verdicts;
    for (ShareWork& w : work) {
        ApplyAndCompare(w);
        verdicts.push_back(std::move(w.verdict));
    }
    return verdicts;
}

}  // namespace snapagent
