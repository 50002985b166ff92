// Snippets of a record's payload for a search text: an excerpt of at most
// about 120 bytes around the first place of the query's smallest word, with
// the query's words optionally wrapped in "<strong>" and "</strong>".
// Matching ignores case and the accents of the folding table. Pure
// functions, callable from any thread.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "src/text/text_query.h"

namespace zv::snippet {

inline constexpr std::string_view kOpenMarker = "<strong>";
inline constexpr std::string_view kCloseMarker = "</strong>";
inline constexpr std::string_view kEllipsis = "...";
// A text up to this long is used whole.
inline constexpr size_t kWholeTextBytes = 120;
// A window starts this far before the match and ends this far after it.
inline constexpr size_t kBytesBefore = 48;
inline constexpr size_t kBytesAfter = 72;

// The excerpt of `text` for the query, "..." marking each cut end; none when
// the query has no word.
std::optional<std::string> build_snippet(std::string_view text, std::string_view query,
                                         bool with_highlighting);

// The text with the query's words marked. Without phrases every occurrence
// of a word is marked, also inside longer words; with phrases whole tokens
// are compared and each phrase is marked at its first occurrence.
std::string highlight(std::string_view text, const text::ParsedTextQuery& query);

}  // namespace zv::snippet
