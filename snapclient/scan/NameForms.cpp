#include "snapclient/scan/NameForms.h"

#include "snapclient/ClientLog.h"
#include "snapclient/scan/ShareVerdicts.h"
#include "snapclient/scan/SnapDiffName.h"
#include "snapclient/shares/ShareMatcher.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace {

enum class Presence { kAbsent, kPresent, kUnreadable };

// One form a name may have, placed in the share that would hold it.
struct Form {
    std::string strVolumePath;  // the form, relative to the volume
    const FileServerExportInfo* pShare = nullptr;
    std::string strRelative;  // below the share's root: "/..." (never empty)
    struct stat st;
};

// True when turning the backslashes of name into "/" leaves an empty
// component: a backslash that ends the name, or stands next to "/" or to
// another backslash. Such a converted name would collapse onto the folder
// that holds it, or onto the share root.
bool ConversionEmptiesComponent(std::string_view name) {
    for (size_t i = name.find('\\'); i != std::string::npos; i = name.find('\\', i + 1)) {
        if (i == 0 || name[i - 1] == '/' || i + 1 == name.size() || name[i + 1] == '\\' ||
            name[i + 1] == '/')
            return true;
    }
    return false;
}

// The folder through which the share shows the snapshot a change belongs
// to: a deleted name is a name of the previous snapshot, every other one of
// the current. The share's snapshot path ends with the current snapshot's
// name; false when it does not (the share is read live).
bool SnapshotFolder(const FileServerExportInfo& share, bool previous, std::string& folder) {
    folder = share.strSnapshotPath;
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    const std::string& current = share.strCurrSnapName;
    const size_t at = folder.size() - std::min(folder.size(), current.size());
    if (current.empty() || at == 0 || folder[at - 1] != '/' ||
        folder.compare(at, std::string::npos, current) != 0)
        return false;
    if (previous) {
        if (share.strPrevSnapName.empty()) return false;
        folder.replace(at, std::string::npos, share.strPrevSnapName);
    }
    return true;
}

Presence LookUp(const std::string& folder, const std::string& relative, struct stat& st,
                std::string& why) {
    // The folder itself may be a link into the array's copy of the snapshot,
    // as the agent reads it; below it, a name is looked at as it is.
    struct stat root;
    const bool listed = stat(folder.c_str(), &root) == 0;
    if (!listed || !S_ISDIR(root.st_mode)) {
        why = "the snapshot folder [" + folder + "] cannot be looked at: " +
              (listed ? std::string("not a folder") : std::string(strerror(errno)));
        return Presence::kUnreadable;
    }
    std::string path = folder + relative;
    while (path.size() > folder.size() + 1 && path.back() == '/') path.pop_back();
    if (lstat(path.c_str(), &st) == 0) return Presence::kPresent;
    if (errno == ENOENT || errno == ENOTDIR) return Presence::kAbsent;
    why = "[" + path + "] cannot be looked at: " + strerror(errno);
    return Presence::kUnreadable;
}

// The forms a name may have, the name as decoded first: where several are
// one file the first of them is delivered.
std::vector<Form> FormsOf(const FileServerExportInfo& runShare, const ReceivedName& name) {
    const std::string_view decoded = name.strDecoded;
    std::vector<Form> forms;
    auto add = [&](std::string form, bool cut) {
        if (cut && !name.bCluster &&
            !CutSnapshotPrefix(form, runShare.strCurrSnapName, runShare.strPrevSnapName))
            return;
        if (form.empty()) return;
        for (const Form& known : forms)
            if (known.strVolumePath == form) return;
        if (HasDotComponent(form)) return;  // would name a path outside the file's folder
        forms.emplace_back();
        forms.back().strVolumePath = std::move(form);
    };
    add(std::string(decoded), false);
    if (!name.strOnePass.empty()) add(name.strOnePass, true);
    add(name.strRaw, true);
    if (!ConversionEmptiesComponent(decoded)) {
        std::string converted(decoded);
        for (char& c : converted)
            if (c == '\\') c = '/';
        add(converted, false);
    }
    return forms;
}

}  // namespace

NamePlacement PlaceNameOfSeveralForms(const FileServerExportInfo& runShare,
                                      const ShareMatcher& matcher, const ReceivedName& name,
                                      ShareVerdicts& verdicts, std::string& placed) {
    const std::string_view decoded = name.strDecoded;
    if (name.strOnePass.empty() && decoded.find('\\') == std::string::npos)
        return NamePlacement::kOrdinary;

    std::vector<Form> forms = FormsOf(runShare, name);
    const bool previous = name.strChangeType == kChangeTextDeleted;
    std::string why, folder, listed;
    bool outsideShares = false, inShares = false, different = false;
    const Form* found = nullptr;
    for (Form& form : forms) {
        size_t inVolume = 0;
        form.pShare = matcher.Holding(form.strVolumePath, inVolume);
        if (!form.pShare) {
            outsideShares = true;
            continue;
        }
        form.strRelative = form.strVolumePath.substr(inVolume);
        if (form.strRelative.find_first_not_of('/') == std::string::npos) {
            // Only a conversion reaches a share's root from a name of a file in it.
            form.pShare = nullptr;
            continue;
        }
        inShares = true;
        listed +=
            (listed.empty() ? "[" : ", [") + form.pShare->strBackupPath + form.strRelative + "]";
        if (!why.empty()) continue;  // a share cannot be looked at: nothing to decide
        if (!SnapshotFolder(*form.pShare, previous, folder))
            why =
                "the share [" + form.pShare->strBackupPath + "] is read without a snapshot folder";
        else if (LookUp(folder, form.strRelative, form.st, why) == Presence::kPresent) {
            different = different || (found && (found->st.st_dev != form.st.st_dev ||
                                                found->st.st_ino != form.st.st_ino));
            if (!found) found = &form;
        }
    }
    if (!inShares) return NamePlacement::kLeftOut;  // no share backs up any of its forms
    if (why.empty() && different)
        why = "the files it may name, " + listed + ", are different files in the snapshot";
    if (why.empty() && !found)
        why = "none of the files it may name, " + listed + ", exists in the snapshot";
    if (why.empty() && outsideShares)
        why = "it may also name a file outside the shares, which cannot be looked at";
    if (why.empty()) {
        placed = found->pShare->strBackupPath + found->strRelative;
        SC_LOG(3, "Converted to file[%s]", placed.c_str());
        return NamePlacement::kPlaced;
    }
    SC_LOG_ALWAYS(-1, "Skipping SnapDiff change for file:[%s]: %s", name.strRaw.c_str(),
                  why.c_str());
    for (const Form& form : forms)
        if (form.pShare)
            verdicts.MarkChangeUndeliverable(form.pShare->strBackupPath, name.strRaw, why);
    return NamePlacement::kLeftOut;
}
