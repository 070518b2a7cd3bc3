// The change database's blocks and inode map rows, with the path codec under
// them: fuzzed events of any bytes round-trip through a block and a reader's
// copy of the dictionary (an empty block, one event, up to a full block),
// also after an event grows on update past the block's size and after one
// is removed; fuzzed map entries round-trip through a group row. Any bytes
// given as a block, a path or a group row are read or refused, never read
// past their end.
#include "hostlib/eventstore/EventBatch.h"
#include "hostlib/eventstore/BlockEvents.h"

#include <fuzzer/FuzzedDataProvider.h>
#include <cstdlib>
#include <tuple>
#include <vector>

namespace {

using namespace eventstore;

const std::string kPrefix = "/mnt/s/";

auto Fields(const ChangeEventItem& e) {
    return std::tie(e.llInode, e.strPath, e.strOldPath, e.strChangeType, e.llCtime, e.llMtime,
                    e.llAtime, e.llAttribute, e.uiChangeFlags, e.uiFileType);
}

void ExpectReadsBack(const std::string& block, const std::vector<ChangeEventItem>& expected,
                     const PathDictionary& names) {
    BlockEvents events(block);
    ChangeEventItem event;
    size_t at = 0;
    for (; events.Next(); ++at) {
        if (at == expected.size() ||
            !DecodeEventBody(events.Body(), events.Inode(), kPrefix, names, event) ||
            Fields(event) != Fields(expected[at]))
            abort();
    }
    if (events.Damaged() || at != expected.size()) abort();
}

std::string BlockOf(const std::vector<ChangeEventItem>& events, PathDictionary& names) {
    std::string block, body;
    int64_t previous = 0;
    for (const ChangeEventItem& event : events) {
        body.clear();
        EncodeEventBody(kPrefix.size(), event, names, body);
        AppendBlockEvent(block, previous, event.llInode, body);
    }
    return block;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    static const char* const kTexts[] = {"inode_modification", "file_creation", "file_deletion"};
    std::vector<ChangeEventItem> events;
    const size_t count = input.ConsumeIntegralInRange<size_t>(0, EventBatch::kMaxEventsPerBlock);
    std::vector<InodeMap::Entry> entries;
    while (events.size() < count && input.remaining_bytes() > 0) {
        ChangeEventItem event;
        for (int64_t* field :
             {&event.llInode, &event.llCtime, &event.llMtime, &event.llAtime, &event.llAttribute})
            *field = input.ConsumeIntegral<int64_t>();
        event.strPath = kPrefix + input.ConsumeRandomLengthString(256);
        event.strOldPath = input.ConsumeRandomLengthString(256);
        event.strChangeType =
            input.ConsumeBool() ? kTexts[input.ConsumeIntegralInRange(0, 2)] : event.strOldPath;
        event.uiChangeFlags = input.ConsumeIntegral<uint32_t>();
        event.uiFileType = input.ConsumeIntegral<uint32_t>();
        bool repeated = false;
        for (const ChangeEventItem& earlier : events) repeated |= earlier.llInode == event.llInode;
        if (!repeated) events.push_back(event);
        const uint32_t place = static_cast<uint32_t>(event.llInode & (InodeMap::kGroupInodes - 1));
        if (entries.empty() || entries.back().place < place)
            entries.push_back({place, input.ConsumeIntegralInRange<int64_t>(1, UINT32_MAX - 1)});
    }
    PathDictionary names, reader;
    std::string block = BlockOf(events, names);
    for (size_t id = 0; id < names.Count(); ++id)
        if (!reader.Add(names.Name(id))) abort();
    ExpectReadsBack(block, events, reader);
    if (!events.empty()) {
        // The first event grows past the block's size; the last one leaves.
        ChangeEventItem& grown = events.front();
        grown.strPath += std::string(EventBatch::kBlockBytes, 'g') + "/";
        std::string body;
        EncodeEventBody(kPrefix.size(), grown, names, body);
        if (!EditBlock(block, grown.llInode, &body)) abort();
        ExpectReadsBack(block, events, names);
        const int64_t last = events.back().llInode;
        events.pop_back();
        if (!EditBlock(block, last, nullptr) || EditBlock(block, last, nullptr)) abort();
        ExpectReadsBack(block, events, names);
    }
    std::string row, again;
    std::vector<InodeMap::Entry> back;
    InodeMap::EncodeGroup(entries, row);
    if (!InodeMap::DecodeGroup(row, back) || back.size() != entries.size()) abort();
    InodeMap::EncodeGroup(back, again);
    if (again != row) abort();
    // The input itself as a block, a path and a group row.
    const std::string raw(reinterpret_cast<const char*>(data), size);
    ChangeEventItem any;
    for (BlockEvents garbage(raw); garbage.Next();)
        DecodeEventBody(garbage.Body(), garbage.Inode(), kPrefix, reader, any);
    reader.Decode(data, size, any.strPath);
    InodeMap::DecodeGroup(raw, back);
    return 0;
}
