// Names that may mean more than one file. A backslash in a decoded name may
// be part of the file's name or stand for a "/" that share matching turns
// it into; a name the second decoding pass changed may be the first pass's
// result (a file really named "\41") or the second's ("A"); and the array
// may not have escaped the name at all. Handing the agent the wrong one
// backs up another file in its place, deletes an existing one from the
// backup, or, where the "/" of a converted name collapses, the share's root.
//
// So the client looks at the snapshot the change belongs to, through the
// share's .snapshot folder (the current snapshot for a created or modified
// name, the previous one for a deleted name), and delivers the one form
// that exists there. When none exists, when forms that exist are different
// files, or when the snapshot cannot be looked at, the share that may hold
// the name fails its comparison (995), so the agent scans it in full. A name
// without a backslash that no second pass changed costs one search.
#pragma once

#include "records/SnapRecords.h"

#include <string>
#include <string_view>

class ShareMatcher;
class ShareVerdicts;

// A name as the array sent it and as decoded, for one change.
struct ReceivedName {
    const std::string& strRaw;      // as sent
    const std::string& strOnePass;  // one decoding pass, when a second one ran
    std::string_view strDecoded;    // both passes, snapshot folder cut away
    const std::string& strChangeType;
    bool bCluster;
};

enum class NamePlacement { kOrdinary, kPlaced, kLeftOut };

// kOrdinary: a name without a backslash that no second pass changed, for
// the usual share matching. Otherwise placed holds the backup path of the
// one form that exists in the change's snapshot (kPlaced), or the change is
// left out (kLeftOut) and, when a share of the run (matcher) may hold it,
// that share is marked undeliverable. Logs its lines under the operation in
// progress.
NamePlacement PlaceNameOfSeveralForms(const FileServerExportInfo& runShare,
                                      const ShareMatcher& matcher, const ReceivedName& name,
                                      ShareVerdicts& verdicts, std::string& placed);
