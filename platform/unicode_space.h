// The Unicode White_Space property and trimming of UTF-8 text by it: one
// predicate for every component that trims user text (configuration values,
// the reported module version, search queries and option names). Pure
// functions.
#pragma once

#include <cstdint>
#include <string_view>

namespace zv {

// True for the 25 code points with the White_Space property.
bool is_unicode_white_space(uint32_t cp);

// The text without leading and trailing White_Space characters. Bytes that
// are not valid UTF-8 count as other characters and are never removed.
std::string_view trim_unicode_white_space(std::string_view text);

}  // namespace zv
