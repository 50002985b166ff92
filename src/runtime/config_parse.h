// The text rules shared by the configuration readers: trimming, quoting for
// messages, message templates, decimal numbers, sizes with binary suffixes,
// the prefetch words and the confidence float. Pure functions.
#pragma once

#include "platform/fill_message.h"

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

#include "platform/result.h"
#include "src/runtime/config.h"

namespace zv::config {

// Settings messages fill their templates with the platform helper.
using ::zv::fill;

// Removes Unicode white space from both ends.
std::string_view trim(std::string_view text);

// The text in double quotes with \" \\ \n \r \t \0 and \u{..} escapes for the
// other control characters, as messages show values.
std::string quote(std::string_view text);


// An optional "+" and one or more decimal digits, not above max. The error is
// the reason shown inside warnings.
Result<uint64_t, std::string> parse_unsigned(std::string_view text, uint64_t max);

// A size such as "512MB", "2 GiB" or "100" in bytes (every multiple binary).
// The error is the full message text.
Result<uint64_t, std::string> parse_memory_limit(std::string_view text);

// "1"/"on"/"true"/"enabled", "0"/"off"/"false"/"disabled" or "auto", trimmed
// and case-insensitive; nullopt for any other word.
std::optional<PrefetchMode> parse_prefetch_mode(std::string_view text);

// A 32-bit float (decimal or exponent form, "inf", "nan"); the error is the
// reason shown inside warnings.
Result<float, std::string> parse_f32(std::string_view text);

}  // namespace zv::config
