// Builds snippets and highlights for texts and queries made from the input:
// pieces of an alphabet of ASCII, accented, Greek, wide and white-space
// characters, quotes, punctuation and marker-like text, or the raw bytes when
// they are valid UTF-8. Every output must be valid UTF-8, a snippet without
// its ellipses a trimmed piece of the text, a highlight without its markers
// the text itself, and markers must come in pairs.
#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/unicode_space.h"
#include "platform/utf8.h"
#include "src/search/snippet.h"

namespace {

using zv::snippet::kCloseMarker;
using zv::snippet::kEllipsis;
using zv::snippet::kOpenMarker;

constexpr const char* kAlphabet[32] = {
    "a",  "b",  "e",  "o",  "A",  "E",  "é",  "É",  "ü",  "Ü", "ß",    "λ",     "Λ",  "€",  "日", "1",
    " ",  " ",  "\n", "\u3000", "\"", "\"", ",", "-", ".", "?", "'", "<strong>", "</", "ab", "new", "york"};

std::string from_alphabet(const uint8_t* data, size_t size) {
  std::string out;
  for (size_t i = 0; i < size; ++i) out += kAlphabet[data[i] & 31];
  return out;
}

std::string strip_markers(std::string s) {
  for (std::string_view m : {kOpenMarker, kCloseMarker}) {
    for (size_t at; (at = s.find(m)) != std::string::npos;) s.erase(at, m.size());
  }
  return s;
}

void check_utf8(std::string_view s) {
  if (!zv::is_valid_utf8(s)) std::abort();
}

// The inserted markers alternate, opening first, and every one is closed.
// (Only for texts without '<': a marker inserted inside marker-like text
// would blur what is inserted and what was there.)
void check_markers(std::string_view marked) {
  bool open = false;
  for (size_t i = 0; i < marked.size(); ++i) {
    if (marked.substr(i).starts_with(kOpenMarker)) {
      if (open) std::abort();
      open = true;
    } else if (marked.substr(i).starts_with(kCloseMarker)) {
      if (!open) std::abort();
      open = false;
    }
  }
  if (open) std::abort();
}

// The snippet is "..."? piece "..."? with the piece a trimmed substring.
void check_excerpt(std::string_view snippet, std::string_view text) {
  if (text.size() <= zv::snippet::kWholeTextBytes) {
    if (snippet != text) std::abort();
    return;
  }
  for (int lead = 0; lead < 2; ++lead) {
    for (int trail = 0; trail < 2; ++trail) {
      std::string_view mid = snippet;
      if (lead && !mid.starts_with(kEllipsis)) continue;
      if (lead) mid.remove_prefix(kEllipsis.size());
      if (trail && !mid.ends_with(kEllipsis)) continue;
      if (trail) mid.remove_suffix(kEllipsis.size());
      if (zv::trim_unicode_white_space(mid) == mid && text.find(mid) != std::string_view::npos) return;
    }
  }
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const size_t split = 1 + data[0] % (size - 1);
  std::string query, text;
  const std::string_view raw(reinterpret_cast<const char*>(data + 1), size - 1);
  if (data[0] & 0x80 && zv::is_valid_utf8(raw)) {
    query = std::string(raw.substr(0, std::min<size_t>(split, raw.size()) / 4));
    text = std::string(raw);
  } else {
    query = from_alphabet(data + 1, std::min(split, size - 1) - 1);
    text = from_alphabet(data + split, size - split);
    if (data[0] & 0x40) text += text + text;  // long texts cross the window
  }

  const bool clean = text.find('<') == std::string::npos;
  const auto plain = zv::snippet::build_snippet(text, query, false);
  const auto marked = zv::snippet::build_snippet(text, query, true);
  if (plain.has_value() != marked.has_value()) std::abort();
  if (plain) {
    check_utf8(*plain);
    check_utf8(*marked);
    check_excerpt(*plain, text);
    if (clean && strip_markers(*marked) != *plain) std::abort();
    if (clean) check_markers(*marked);
  }

  const std::string h = zv::snippet::highlight(text, zv::text::parse_text_query(query));
  check_utf8(h);
  if (clean && strip_markers(h) != text) std::abort();
  if (clean) check_markers(h);
  return 0;
}
