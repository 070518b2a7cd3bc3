// The path codec of the change database: any list of paths round-trips
// through one dictionary and through a reader's copy rebuilt from its
// names; any bytes given as an encoded form are decoded or refused, never
// read past their end.
#include "hostlib/eventstore/EventStorePaths.h"

#include <fuzzer/FuzzedDataProvider.h>
#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    eventstore::PathDictionary names, reader;
    std::vector<std::string> paths, encoded;
    while (input.remaining_bytes() > 0) {
        paths.push_back(input.ConsumeRandomLengthString(1024));
        encoded.emplace_back();
        names.Encode(paths.back(), encoded.back());
    }
    for (size_t id = 0; id < names.Count(); ++id)
        if (!reader.Add(names.Name(id))) abort();
    for (size_t i = 0; i < paths.size(); ++i) {
        std::string back;
        if (!reader.Decode(reinterpret_cast<const unsigned char*>(encoded[i].data()),
                           encoded[i].size(), back) ||
            back != paths[i])
            abort();
    }
    std::string any;
    reader.Decode(data, size, any);
    return 0;
}
