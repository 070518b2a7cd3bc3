// The local array's catalog reader on any file: rows come out or the file is
// refused as corrupt. A file read to its end must be one the catalog writer
// could have written: its rows written again read back the same, and make a
// file of the same size when the input was of the current format.
#include "array/local/LocalArrayCatalog.h"
#include "fuzz/FuzzSupport.h"

#include <sys/stat.h>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <tuple>

namespace {
bool ReadAll(const std::string& path, std::vector<CatalogRow>& rows,
             std::vector<CatalogLeftOut>& leftOut) {
    CatalogReader reader;
    if (!reader.Open(path).ok()) return false;
    leftOut = reader.LeftOut();
    for (;;) {
        CatalogRow row;
        bool done = false;
        if (!reader.Next(row, done).ok()) return false;
        if (done) return true;
        rows.push_back(row);
    }
}

auto Fields(const CatalogRow& r) {
    return std::tie(r.ullInode, r.strPath, r.ullParentInode, r.uiFileType, r.uiMode, r.ullSize,
                    r.llAtime, r.llCtime, r.llMtime, r.uiAtimeNs, r.uiCtimeNs, r.uiMtimeNs,
                    r.ullLinks, r.uiOwner, r.uiGroup, r.bHasDigest, r.ullDigest, r.ullDevice,
                    r.ullGeneration, r.ullParentGeneration, r.bHasAttributes, r.ullAttributes);
}

off_t SizeOf(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string in = fuzzsupport::ScratchDir() + "/in.cat";
    static const std::string out = fuzzsupport::ScratchDir() + "/out.cat";
    fuzzsupport::WriteFile(in, fuzzsupport::Bytes(data, size));
    std::vector<CatalogRow> rows, again;
    std::vector<CatalogLeftOut> leftOut, leftOutAgain;
    if (!ReadAll(in, rows, leftOut)) return 0;
    {
        CatalogWriter writer(out, 512);  // a small budget: the spill path too
        for (const CatalogLeftOut& item : leftOut) writer.LeaveOut(item);
        for (const CatalogRow& row : rows)
            if (!writer.Add(row).ok()) abort();
        if (!writer.Finish().ok()) abort();
    }
    const bool current = size >= 8 && memcmp(data, "LACATLG3", 8) == 0;
    if (!ReadAll(out, again, leftOutAgain) || again.size() != rows.size() ||
        leftOutAgain.size() != leftOut.size() || (current && SizeOf(out) != SizeOf(in)))
        abort();
    std::sort(rows.begin(), rows.end(), CatalogRowLess);
    for (size_t i = 0; i < rows.size(); ++i)
        if (Fields(rows[i]) != Fields(again[i])) abort();
    for (size_t i = 0; i < leftOut.size(); ++i)
        if (std::tie(leftOut[i].reason, leftOut[i].strPath) !=
            std::tie(leftOutAgain[i].reason, leftOutAgain[i].strPath))
            abort();
    return 0;
}
