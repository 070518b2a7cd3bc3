#include "array/local/LocalArrayCatalog.h"

#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <queue>

using hostlib::Status;

namespace {

// The last byte of the magic is the format's number.
const char kMagic[8] = {'L', 'A', 'C', 'A', 'T', 'L', 'G', '3'};
const int kFormat = 3;
const char kRowTag = 'R';
const char kEndTag = 'E';
const char kLeftOutTag = 'L';
// A path longer than this is garbage, not a name a file system can hold.
const uint32_t kMaxPathLength = 1u << 20;
const size_t kIoBufferSize = 1u << 20;

std::string ErrnoText(int error) { return std::string(strerror(error)); }

void PutU64(std::string& out, uint64_t v) {
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}
void PutU32(std::string& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}
uint64_t GetU64(const unsigned char* p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}
uint32_t GetU32(const unsigned char* p) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

// Fixed part of a row after its tag, and the parts after its path: the one
// formats from the second on have, and the one of the third.
const size_t kRowFixedSize = 8 + 8 + 1 + 4 + 8 + 8 + 8 + 8 + 4;
const size_t kRowTailSize = 4 + 4 + 4 + 8 + 4 + 4 + 1 + 8;
const size_t kRowKeyTailSize = 8 + 8 + 8 + 1 + 8;
const uint32_t kNanosecondsPerSecond = 1000000000;

// One catalog or sorted run being written front to back.
class RowFileOutput {
public:
    ~RowFileOutput() {
        if (m_file) fclose(m_file);
    }
    Status Open(const std::string& path, const std::vector<CatalogLeftOut>& leftOut = {}) {
        m_path = path;
        m_file = fopen(path.c_str(), "wb");
        if (!m_file) return Failed("cannot create");
        setvbuf(m_file, nullptr, _IOFBF, kIoBufferSize);
        std::string head(kMagic, sizeof(kMagic));
        for (const CatalogLeftOut& item : leftOut) {
            head.push_back(kLeftOutTag);
            head.push_back(static_cast<char>(item.reason));
            PutU32(head, static_cast<uint32_t>(item.strPath.size()));
            head += item.strPath;
        }
        return Put(head);
    }
    Status Write(const CatalogRow& row) {
        m_buffer.clear();
        m_buffer.push_back(kRowTag);
        PutU64(m_buffer, row.ullInode);
        PutU64(m_buffer, row.ullParentInode);
        m_buffer.push_back(static_cast<char>(row.uiFileType));
        PutU32(m_buffer, row.uiMode);
        PutU64(m_buffer, row.ullSize);
        PutU64(m_buffer, static_cast<uint64_t>(row.llAtime));
        PutU64(m_buffer, static_cast<uint64_t>(row.llCtime));
        PutU64(m_buffer, static_cast<uint64_t>(row.llMtime));
        PutU32(m_buffer, static_cast<uint32_t>(row.strPath.size()));
        m_buffer += row.strPath;
        PutU32(m_buffer, row.uiAtimeNs);
        PutU32(m_buffer, row.uiCtimeNs);
        PutU32(m_buffer, row.uiMtimeNs);
        PutU64(m_buffer, row.ullLinks);
        PutU32(m_buffer, row.uiOwner);
        PutU32(m_buffer, row.uiGroup);
        m_buffer.push_back(row.bHasDigest ? 1 : 0);
        PutU64(m_buffer, row.ullDigest);
        PutU64(m_buffer, row.ullDevice);
        PutU64(m_buffer, row.ullGeneration);
        PutU64(m_buffer, row.ullParentGeneration);
        m_buffer.push_back(row.bHasAttributes ? 1 : 0);
        PutU64(m_buffer, row.ullAttributes);
        ++m_ullRows;
        return Put(m_buffer);
    }
    // Writes the end mark and makes the file durable before it is trusted.
    Status Close() {
        std::string end(1, kEndTag);
        PutU64(end, m_ullRows);
        Status status = Put(end);
        if (!status.ok()) return status;
        if (fflush(m_file) != 0) return Failed("cannot write");
        if (fsync(fileno(m_file)) != 0 && errno != EINVAL) return Failed("cannot sync");
        FILE* file = m_file;
        m_file = nullptr;
        if (fclose(file) != 0) return Failed("cannot close");
        return Status::OK();
    }

private:
    Status Put(const std::string& bytes) {
        if (fwrite(bytes.data(), 1, bytes.size(), m_file) != bytes.size())
            return Failed("cannot write");
        return Status::OK();
    }
    Status Failed(const std::string& what) {
        return Status::IOError("catalog " + m_path + ": " + what + ": " + ErrnoText(errno));
    }

    std::string m_path;
    FILE* m_file = nullptr;
    std::string m_buffer;
    uint64_t m_ullRows = 0;
};

size_t RowFootprint(const CatalogRow& row) { return sizeof(CatalogRow) + row.strPath.capacity(); }

// -1, 0 or 1 as a's inode sorts before, with or after b's.
int CompareInodes(const CatalogRow& a, const CatalogRow& b) {
    if (a.ullInode != b.ullInode) return a.ullInode < b.ullInode ? -1 : 1;
    if (a.ullDevice != b.ullDevice) return a.ullDevice < b.ullDevice ? -1 : 1;
    if (a.ullGeneration != b.ullGeneration) return a.ullGeneration < b.ullGeneration ? -1 : 1;
    return 0;
}

bool KnownFileType(uint32_t type) { return type >= 1 && type <= 7; }

}  // namespace

bool SameInode(const CatalogRow& a, const CatalogRow& b) { return CompareInodes(a, b) == 0; }

bool CatalogRowLess(const CatalogRow& a, const CatalogRow& b) {
    const int inodes = CompareInodes(a, b);
    return inodes != 0 ? inodes < 0 : a.strPath < b.strPath;
}

const char* LeftOutReasonText(CatalogLeftOut::Reason reason) {
    switch (reason) {
        case CatalogLeftOut::kInSnapshotFolder:
            return "the folder holds the array's snapshots; move it elsewhere to back it up";
        case CatalogLeftOut::kOtherFileSystem:
            return "another file system is mounted there, which a snapshot of this volume never "
                   "holds; back it up as a volume of its own";
        case CatalogLeftOut::kCannotCopy:
            return "only root may make a copy of a device node; run the array as root to back it "
                   "up";
        case CatalogLeftOut::kPathTooLong:
            break;
    }
    return "its path is too long for the file system's calls; shorten the path to back it up";
}

// ---- CatalogReader

CatalogReader::~CatalogReader() {
    if (m_file) fclose(m_file);
}

Status CatalogReader::Open(const std::string& path) {
    m_path = path;
    m_file = fopen(path.c_str(), "rb");
    if (!m_file) {
        const int error = errno;
        const std::string what = "catalog " + path + ": cannot open: " + ErrnoText(error);
        return error == ENOENT ? Status::NotFound(what) : Status::IOError(what);
    }
    setvbuf(m_file, nullptr, _IOFBF, kIoBufferSize);
    char magic[sizeof(kMagic)];
    if (fread(magic, 1, sizeof(magic), m_file) != sizeof(magic) ||
        memcmp(magic, kMagic, sizeof(magic) - 1) != 0 || magic[7] < '1' || magic[7] > '0' + kFormat)
        return Corrupt("not a catalog");
    m_iFormat = magic[7] - '0';
    return m_iFormat == 1 ? Status::OK() : ReadLeftOut();
}

Status CatalogReader::ReadLeftOut() {
    int tag = fgetc(m_file);
    for (; tag == kLeftOutTag; tag = fgetc(m_file)) {
        unsigned char fixed[1 + 4];
        if (fread(fixed, 1, sizeof(fixed), m_file) != sizeof(fixed)) return Corrupt("truncated");
        CatalogLeftOut item;
        item.reason = static_cast<CatalogLeftOut::Reason>(fixed[0]);
        if (item.reason != CatalogLeftOut::kPathTooLong &&
            item.reason != CatalogLeftOut::kInSnapshotFolder &&
            ((item.reason != CatalogLeftOut::kOtherFileSystem &&
              item.reason != CatalogLeftOut::kCannotCopy) ||
             m_iFormat < 3))
            return Corrupt("unknown reason for a left-out item");
        const uint32_t length = GetU32(fixed + 1);
        if (length == 0 || length > kMaxPathLength) return Corrupt("bad path length");
        item.strPath.resize(length);
        if (fread(&item.strPath[0], 1, length, m_file) != length) return Corrupt("truncated");
        m_leftOut.push_back(std::move(item));
    }
    // The byte after the last item starts a row or the end mark: Next reads
    // it again.
    if (tag != EOF) ungetc(tag, m_file);
    return Status::OK();
}

Status CatalogReader::Corrupt(const std::string& why) const {
    return Status::Corruption("catalog " + m_path + " is corrupt: " + why);
}

Status CatalogReader::Next(CatalogRow& row, bool& done) {
    done = false;
    if (m_bDone) {
        done = true;
        return Status::OK();
    }
    if (!m_file) return Corrupt("not open");
    int tag = fgetc(m_file);
    if (tag == kEndTag) {
        unsigned char count[8];
        if (fread(count, 1, sizeof(count), m_file) != sizeof(count)) return Corrupt("truncated");
        if (GetU64(count) != m_ullRows) return Corrupt("row count does not match");
        if (fgetc(m_file) != EOF) return Corrupt("data after the end mark");
        m_bDone = true;
        done = true;
        return Status::OK();
    }
    if (tag == EOF) return Corrupt("truncated");
    if (tag != kRowTag) return Corrupt("unknown record");
    unsigned char fixed[kRowFixedSize];
    if (fread(fixed, 1, sizeof(fixed), m_file) != sizeof(fixed)) return Corrupt("truncated");
    const unsigned char* p = fixed;
    CatalogRow next;
    next.ullInode = GetU64(p), p += 8;
    next.ullParentInode = GetU64(p), p += 8;
    next.uiFileType = *p, p += 1;
    next.uiMode = GetU32(p), p += 4;
    next.ullSize = GetU64(p), p += 8;
    next.llAtime = static_cast<int64_t>(GetU64(p)), p += 8;
    next.llCtime = static_cast<int64_t>(GetU64(p)), p += 8;
    next.llMtime = static_cast<int64_t>(GetU64(p)), p += 8;
    uint32_t length = GetU32(p);
    // Only the third format has the other kinds of file, and a row for the
    // volume root, which alone has no path.
    if (m_iFormat < 3 ? next.uiFileType != 1 && next.uiFileType != 2 && next.uiFileType != 5
                      : !KnownFileType(next.uiFileType))
        return Corrupt("unknown file type " + std::to_string(next.uiFileType));
    if ((length == 0 && (m_iFormat < 3 || next.uiFileType != 2)) || length > kMaxPathLength)
        return Corrupt("bad path length");
    next.strPath.resize(length);
    if (length && fread(&next.strPath[0], 1, length, m_file) != length) return Corrupt("truncated");
    unsigned char tail[kRowTailSize + kRowKeyTailSize] = {};
    const size_t tailSize = m_iFormat == 1 ? 0 : m_iFormat == 2 ? kRowTailSize : sizeof(tail);
    if (fread(tail, 1, tailSize, m_file) != tailSize) return Corrupt("truncated");
    p = tail;
    next.uiAtimeNs = GetU32(p), p += 4;
    next.uiCtimeNs = GetU32(p), p += 4;
    next.uiMtimeNs = GetU32(p), p += 4;
    next.ullLinks = GetU64(p), p += 8;
    next.uiOwner = GetU32(p), p += 4;
    next.uiGroup = GetU32(p), p += 4;
    const unsigned char hasDigest = *p++;
    next.ullDigest = GetU64(p), p += 8;
    next.ullDevice = GetU64(p), p += 8;
    next.ullGeneration = GetU64(p), p += 8;
    next.ullParentGeneration = GetU64(p), p += 8;
    const unsigned char hasAttributes = *p++;
    next.ullAttributes = GetU64(p);
    if (next.uiAtimeNs >= kNanosecondsPerSecond || next.uiCtimeNs >= kNanosecondsPerSecond ||
        next.uiMtimeNs >= kNanosecondsPerSecond)
        return Corrupt("bad nanoseconds");
    if (hasDigest > 1 || hasAttributes > 1) return Corrupt("bad digest mark");
    next.bHasDigest = hasDigest == 1;
    next.bHasAttributes = hasAttributes == 1;
    // The SnapDiff merge depends on the order; a file out of order would
    // give a wrong change list, not an error, so it is refused here.
    if (m_bHaveLast && CompareInodes(next, m_last) < 0) return Corrupt("rows out of order");
    m_bHaveLast = true;
    m_last.ullInode = next.ullInode;
    m_last.ullDevice = next.ullDevice;
    m_last.ullGeneration = next.ullGeneration;
    ++m_ullRows;
    row = std::move(next);
    return Status::OK();
}

// ---- CatalogWriter

CatalogWriter::CatalogWriter(const std::string& path, size_t memoryBudgetBytes)
    : m_path(path), m_memoryBudget(memoryBudgetBytes) {}

CatalogWriter::~CatalogWriter() {
    if (!m_bFinished) {
        RemoveFiles();
        unlink(m_path.c_str());
    }
}

void CatalogWriter::RemoveFiles() {
    for (const std::string& run : m_runPaths) unlink(run.c_str());
}

Status CatalogWriter::Add(CatalogRow row) {
    m_pendingBytes += RowFootprint(row);
    m_pending.push_back(std::move(row));
    if (m_pendingBytes >= m_memoryBudget) return Spill();
    return Status::OK();
}

Status CatalogWriter::Spill() {
    std::sort(m_pending.begin(), m_pending.end(), CatalogRowLess);
    std::string runPath = m_path + ".run" + std::to_string(m_runPaths.size());
    m_runPaths.push_back(runPath);
    RowFileOutput out;
    Status status = out.Open(runPath);
    for (size_t i = 0; status.ok() && i < m_pending.size(); ++i) status = out.Write(m_pending[i]);
    if (status.ok()) status = out.Close();
    std::vector<CatalogRow>().swap(m_pending);
    m_pendingBytes = 0;
    return status;
}

Status CatalogWriter::Finish() {
    Status status;
    if (m_runPaths.empty()) {
        std::sort(m_pending.begin(), m_pending.end(), CatalogRowLess);
        RowFileOutput out;
        status = out.Open(m_path, m_leftOut);
        for (size_t i = 0; status.ok() && i < m_pending.size(); ++i)
            status = out.Write(m_pending[i]);
        if (status.ok()) status = out.Close();
        std::vector<CatalogRow>().swap(m_pending);
    } else {
        if (!m_pending.empty()) status = Spill();
        if (status.ok()) status = MergeRuns();
    }
    if (!status.ok()) return status;
    RemoveFiles();
    m_bFinished = true;
    return Status::OK();
}

Status CatalogWriter::MergeRuns() {
    struct Head {
        CatalogRow row;
        size_t run;
    };
    auto later = [](const Head& a, const Head& b) { return CatalogRowLess(b.row, a.row); };
    std::priority_queue<Head, std::vector<Head>, decltype(later)> heads(later);
    std::vector<std::unique_ptr<CatalogReader>> readers;
    for (size_t i = 0; i < m_runPaths.size(); ++i) {
        readers.emplace_back(new CatalogReader);
        Status status = readers.back()->Open(m_runPaths[i]);
        if (!status.ok()) return status;
        Head head{CatalogRow(), i};
        bool done = false;
        status = readers.back()->Next(head.row, done);
        if (!status.ok()) return status;
        if (!done) heads.push(std::move(head));
    }
    RowFileOutput out;
    Status status = out.Open(m_path, m_leftOut);
    while (status.ok() && !heads.empty()) {
        Head head = heads.top();
        heads.pop();
        status = out.Write(head.row);
        if (!status.ok()) break;
        bool done = false;
        status = readers[head.run]->Next(head.row, done);
        if (status.ok() && !done) heads.push(std::move(head));
    }
    if (status.ok()) status = out.Close();
    return status;
}
