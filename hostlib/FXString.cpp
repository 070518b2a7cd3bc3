#include "host/FXString.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

std::string FXString::FormatV(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    int n = vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string out;
    if (n > 0) {
        out.resize(static_cast<size_t>(n) + 1);
        vsnprintf(&out[0], out.size(), format, args);
        out.resize(static_cast<size_t>(n));
    }
    return out;
}

std::string FXString::Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string out = FormatV(format, args);
    va_end(args);
    return out;
}

void FXString::Split(const std::string& text, const std::string& delimiter,
                     std::vector<std::string>& pieces, int) {
    pieces.clear();
    if (text.empty()) return;
    if (delimiter.empty()) {
        pieces.push_back(text);
        return;
    }
    size_t start = 0;
    for (;;) {
        size_t pos = text.find(delimiter, start);
        if (pos == std::string::npos) {
            pieces.push_back(text.substr(start));
            return;
        }
        pieces.push_back(text.substr(start, pos - start));
        start = pos + delimiter.size();
    }
}

void FXString::TrimRight(std::string& text, const char* set) {
    if (!set) return;
    size_t end = text.find_last_not_of(set);
    text.erase(end == std::string::npos ? 0 : end + 1);
}

void FXString::RemoveRight(std::string& text, const std::string& suffix) {
    if (suffix.empty()) return;
    while (text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0)
        text.erase(text.size() - suffix.size());
}

bool FXString::ReplaceLeft(std::string& text, const std::string& prefix,
                           const std::string& replacement) {
    if (text.compare(0, prefix.size(), prefix) != 0) return false;
    text.replace(0, prefix.size(), replacement);
    return true;
}

size_t FXString::ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
    if (from.empty()) return 0;
    size_t count = 0;
    for (size_t pos = text.find(from); pos != std::string::npos;
         pos = text.find(from, pos + to.size())) {
        text.replace(pos, from.size(), to);
        ++count;
    }
    return count;
}
