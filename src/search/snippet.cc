#include "src/search/snippet.h"

#include <algorithm>
#include <set>
#include <utility>
#include <vector>

#include "platform/saturating.h"
#include "platform/unicode_space.h"
#include "platform/utf8.h"
#include "src/search/fold.h"
#include "src/search/query_terms.h"
#include "src/text/text_tokenizer.h"

namespace zv::snippet {
namespace {

bool is_continuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

std::u32string folded_chars(std::string_view s) {
  std::u32string out;
  const std::string f = fold_text(s);
  for (size_t i = 0; i < f.size();) {
    const Utf8Char ch = decode_utf8_at(f, i);
    out.push_back(ch.cp);
    i += ch.len;
  }
  return out;
}

// Character mode: every place where a term's folded characters start, the
// smallest term first.
std::string highlight_chars(std::string_view text, const text::ParsedTextQuery& q) {
  struct Char {
    char32_t folded;
    size_t offset;
    size_t len;
  };
  std::vector<Char> chars;
  chars.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const Utf8Char ch = decode_utf8_at(text, i);
    chars.push_back({static_cast<char32_t>(fold_char(ch.cp)), i, ch.len});
    i += ch.len;
  }
  std::vector<std::u32string> terms;
  for (const std::string& t : q.terms) {
    std::u32string f = folded_chars(t);
    if (!f.empty()) terms.push_back(std::move(f));
  }
  std::string out;
  out.reserve(text.size() + 32);
  size_t k = 0;
  while (k < chars.size()) {
    size_t matched = 0;
    for (const std::u32string& t : terms) {
      if (t.size() > chars.size() - k) continue;
      size_t i = 0;
      while (i < t.size() && chars[k + i].folded == t[i]) ++i;
      if (i == t.size()) {
        matched = t.size();
        break;
      }
    }
    if (matched == 0) {
      out.append(text.substr(chars[k].offset, chars[k].len));
      ++k;
      continue;
    }
    const size_t s = chars[k].offset;
    const size_t e = chars[k + matched - 1].offset + chars[k + matched - 1].len;
    out.append(kOpenMarker);
    out.append(text.substr(s, e - s));
    out.append(kCloseMarker);
    k += matched;
  }
  return out;
}

// One comparable piece of a white-space word: an index token of its folded
// form, or the whole folded word when it has no token; byte range in the text.
struct Unit {
  std::string folded;
  size_t start;
  size_t end;
};

// The tokens of fold_text(word) as the index tokenizer cuts them, with the
// byte ranges they cover in the unfolded word.
void split_word(std::string_view text, size_t ws, size_t we, std::vector<Unit>* units) {
  const size_t first = units->size();
  std::string cur;
  size_t cur_start = 0;
  size_t cur_end = 0;
  auto flush = [&] {
    if (!cur.empty()) units->push_back({std::move(cur), cur_start, cur_end});
    cur.clear();
  };
  for (size_t i = ws; i < we;) {
    const Utf8Char ch = decode_utf8_at(text.substr(0, we), i);
    const uint32_t f = fold_char(ch.cp);
    char token_char = 0;
    bool ends_token = false;
    if (f < 0x80) {
      token_char = text::tokenizer_detail::kAscii.map[f];
    } else if (f == 0x212A) {
      token_char = 'k';  // the Kelvin sign lower-cases to k
    } else if (f == 0x130) {
      token_char = 'i';  // capital I with dot: i, then the dot separates
      ends_token = true;
    }
    if (token_char != 0) {
      if (cur.empty()) cur_start = i;
      cur.push_back(token_char);
      cur_end = i + ch.len;
    }
    if (token_char == 0 || ends_token) flush();
    i += ch.len;
  }
  flush();
  if (units->size() == first) {
    units->push_back({fold_text(text.substr(ws, we - ws)), ws, we});
  }
}

std::vector<Unit> word_units(std::string_view text) {
  std::vector<Unit> units;
  size_t i = 0;
  size_t start = 0;
  bool in_word = false;
  while (i < text.size()) {
    const Utf8Char ch = decode_utf8_at(text, i);
    const bool space = is_unicode_white_space(ch.cp);
    if (space && in_word) split_word(text, start, i, &units);
    if (!space && !in_word) start = i;
    in_word = !space;
    i += ch.len;
  }
  if (in_word) split_word(text, start, text.size(), &units);
  return units;
}

// Word mode: phrases at their first occurrence, then loose terms on the
// units no phrase covers; spans that overlap one recorded before them are
// dropped and the rest are written in text order, so no text repeats.
std::string highlight_words(std::string_view text, const text::ParsedTextQuery& q) {
  const std::vector<Unit> units = word_units(text);
  std::set<std::string, std::less<>> phrase_tokens;
  for (const auto& p : q.phrases) phrase_tokens.insert(p.begin(), p.end());
  std::vector<std::string> loose;
  for (const std::string& t : q.terms) {
    if (!phrase_tokens.contains(t)) loose.push_back(fold_text(t));
  }

  std::vector<std::pair<size_t, size_t>> spans;  // unit index ranges
  for (const auto& phrase : q.phrases) {
    std::vector<std::string> folded;
    for (const std::string& t : phrase) folded.push_back(fold_text(t));
    for (size_t j = 0; j + folded.size() <= units.size(); ++j) {
      size_t i = 0;
      while (i < folded.size() && units[j + i].folded == folded[i]) ++i;
      if (i == folded.size()) {
        spans.emplace_back(j, j + folded.size());
        break;
      }
    }
  }
  if (!loose.empty()) {
    const size_t phrase_spans = spans.size();
    for (size_t w = 0; w < units.size(); ++w) {
      if (std::find(loose.begin(), loose.end(), units[w].folded) == loose.end()) continue;
      bool covered = false;
      for (size_t s = 0; s < phrase_spans && !covered; ++s) {
        covered = spans[s].first <= w && w < spans[s].second;
      }
      if (!covered) spans.emplace_back(w, w + 1);
    }
  }

  std::vector<std::pair<size_t, size_t>> kept;
  for (const auto& s : spans) {
    bool overlaps = false;
    for (const auto& k : kept) overlaps = overlaps || (s.first < k.second && k.first < s.second);
    if (!overlaps) kept.push_back(s);
  }
  std::sort(kept.begin(), kept.end());

  std::string out;
  out.reserve(text.size() + kept.size() * (kOpenMarker.size() + kCloseMarker.size()));
  size_t cursor = 0;
  for (const auto& [first, last] : kept) {
    const size_t s = units[first].start;
    const size_t e = units[last - 1].end;
    out.append(text.substr(cursor, s - cursor));
    out.append(kOpenMarker);
    out.append(text.substr(s, e - s));
    out.append(kCloseMarker);
    cursor = e;
  }
  out.append(text.substr(cursor));
  return out;
}

std::string highlight_terms(std::string_view text, const text::ParsedTextQuery& q) {
  return q.phrases.empty() ? highlight_chars(text, q) : highlight_words(text, q);
}

}  // namespace

std::string highlight(std::string_view text, const text::ParsedTextQuery& query) {
  return highlight_terms(text, search::query_snippet_terms(query));
}

std::optional<std::string> build_snippet(std::string_view text, std::string_view query,
                                         bool with_highlighting) {
  const text::ParsedTextQuery q = search::query_snippet_terms(text::parse_text_query(query));
  if (q.terms.empty()) return std::nullopt;
  if (text.size() <= kWholeTextBytes) {
    return with_highlighting ? highlight_terms(text, q) : std::string(text);
  }

  // The window follows the first place of the smallest term, found in the
  // folded text and carried back to the text itself, where folded accents
  // are a byte longer.
  const std::string& anchor = *q.terms.begin();
  const std::string folded_anchor = fold_text(anchor);
  const size_t at = fold_text(text).find(folded_anchor);
  size_t m = 0;
  size_t match_len = anchor.size();
  if (at != std::string::npos) {
    m = unfolded_offset(text, at);
    match_len = unfolded_offset(text.substr(m), folded_anchor.size());
  }

  const uint64_t e = sat_add_u64(sat_add_u64(m, match_len), kBytesAfter);
  size_t end = text.size();
  bool trailing = false;
  if (e < text.size()) {
    end = static_cast<size_t>(e);
    while (end < text.size() && is_continuation(text[end])) ++end;
    trailing = end < text.size();
  }
  size_t start = m >= kBytesBefore ? m - kBytesBefore : 0;
  while (start > 0 && is_continuation(text[start])) --start;
  const bool leading = start > 0;

  const std::string_view cut = trim_unicode_white_space(text.substr(start, end - start));
  std::string out;
  if (leading) out.append(kEllipsis);
  if (with_highlighting) {
    out.append(highlight_terms(cut, q));
  } else {
    out.append(cut);
  }
  if (trailing) out.append(kEllipsis);
  return out;
}

}  // namespace zv::snippet
