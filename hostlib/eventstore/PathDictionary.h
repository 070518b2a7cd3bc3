// How a change database keeps paths: as pieces, each a name ending in "/"
// or the bytes after the last "/". A directory name (a piece followed by
// more of the path) gets a number on first sight, and is written as that
// number wherever it comes again; past the bound of the dictionary, and for
// the last piece (a file's own name is rarely seen twice), pieces are
// written as they are. Most changed files of a volume share a few thousand
// folder names, so the paths shrink to a few bytes of numbers plus the
// file's name. Any byte string round-trips, empty pieces and NUL bytes
// included.
//
// Encoding: a run of varints (LEB128), each starting a piece: odd, the name
// of number v >> 1 followed by "/"; even, a literal of v >> 2 bytes that
// follow, then "/" when bit 1 is set. The dictionary is kept in the file
// (table names) so that a reader decodes with the same numbers.
//
// Memory: at most kMaxNames names of at most kMaxNameLength bytes and
// kMaxNameBytes in all (about 2 MiB with the index), whatever the volume.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace eventstore {

class PathDictionary {
public:
    // Numbers below 8192 take two varint bytes at most.
    static constexpr size_t kMaxNames = 8192;
    static constexpr size_t kMaxNameLength = 255;
    static constexpr size_t kMaxNameBytes = size_t(1) << 20;

    // Appends the encoded form of path to out; a new name gets the next number.
    void Encode(std::string_view path, std::string& out);
    // Appends the path of an encoded form to path; false when the bytes are
    // not one (a number never given, a cut varint or literal).
    bool Decode(const unsigned char* bytes, size_t size, std::string& path) const;

    // The names in number order; for a reader, Add gives them back in that
    // order, and refuses a name the store would not have numbered or one past
    // the bound.
    size_t Count() const { return m_names.size(); }
    std::string_view Name(size_t id) const {
        return std::string_view(m_names[id]).substr(0, m_names[id].size() - 1);
    }
    bool Add(std::string_view name);

private:
    // The number of a known name, or m_names.size() when it has none.
    size_t Find(std::string_view name) const;

    std::vector<std::string> m_names;  // each followed by its "/", as paths take it
    // Open addressing by a hash of the name, twice as many slots as names:
    // each slot holds a number plus one, 0 when free. A lookup costs a
    // short hash and mostly one comparison, a few times less than a
    // general-purpose map, and the store looks up every folder of every
    // path.
    std::vector<uint32_t> m_slots;
    size_t m_bytes = 0;
};

}  // namespace eventstore
