// Reads a whole text as an unsigned decimal number: digits only, with no
// sign, no space and nothing after them, and a value that fits the type.
// What the harness reads back from its own files and settings is refused
// when it holds anything else, rather than read as some other number.
#pragma once

#include <charconv>
#include <string_view>
#include <system_error>
#include <type_traits>

namespace snapagent {

// False (value untouched) for anything but such a number.
template <typename T>
bool ReadDecimal(std::string_view text, T& value) {
    static_assert(std::is_unsigned<T>::value, "a decimal without a sign");
    T read = 0;
    const char* end = text.data() + text.size();
    const std::from_chars_result parsed = std::from_chars(text.data(), end, read);
    if (parsed.ec != std::errc() || parsed.ptr != end) return false;
    value = read;
    return true;
}

}  // namespace snapagent
