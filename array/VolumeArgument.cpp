#include "array/ArrayBackend.h"

std::string VolumeNameOfArgument(const std::string& volumeArgument) {
    static const std::string kPrefix = "/vol/";
    if (volumeArgument.compare(0, kPrefix.size(), kPrefix) != 0) return volumeArgument;
    size_t end = volumeArgument.find('/', kPrefix.size());
    return volumeArgument.substr(
        kPrefix.size(), end == std::string::npos ? std::string::npos : end - kPrefix.size());
}
