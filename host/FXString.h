// String utilities on byte strings.
#pragma once

#include <cstdarg>
#include <string>
#include <vector>

namespace FXString {
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Format with a va_list; args is consumed.
std::string FormatV(const char* format, va_list args) __attribute__((format(printf, 1, 0)));
// Splits at every occurrence of delimiter, keeping empty pieces (a leading
// delimiter gives an empty first piece). An empty text gives no pieces.
void Split(const std::string& text, const std::string& delimiter, std::vector<std::string>& pieces,
           int flags);
// Removes every trailing character that is in the set.
void TrimRight(std::string& text, const char* set);
// Removes every trailing occurrence of suffix.
void RemoveRight(std::string& text, const std::string& suffix);
// Replaces prefix at the start of text by replacement; true when it did.
bool ReplaceLeft(std::string& text, const std::string& prefix, const std::string& replacement);
// Replaces every occurrence of from by to; returns the number replaced.
size_t ReplaceAll(std::string& text, const std::string& from, const std::string& to);
}  // namespace FXString
