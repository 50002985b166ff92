#include "src/text/unicode_case.h"

#include <algorithm>
#include <vector>

#include "platform/utf8.h"
#include "src/text/unicode_tables.h"

namespace zv::text {

namespace {

constexpr char32_t kCapitalIWithDot = 0x130;
constexpr char32_t kCombiningDotAbove = 0x307;
constexpr char32_t kCapitalSigma = 0x3A3;
constexpr char32_t kSmallSigma = 0x3C3;
constexpr char32_t kFinalSigma = 0x3C2;

CaseClass case_class(char32_t cp) {
  const CaseRange* end = kCaseRanges + kCaseRangeCount;
  const CaseRange* it = std::upper_bound(
      kCaseRanges, end, cp, [](char32_t c, const CaseRange& r) { return c < r.first; });
  if (it == kCaseRanges) return CaseClass::kNone;
  --it;
  return cp <= it->last ? it->cls : CaseClass::kNone;
}

// The final-sigma context of the sigma at index i of the decoded string.
bool is_final_sigma(const std::vector<char32_t>& cps, size_t i) {
  size_t j = i;
  while (j > 0 && is_case_ignorable(cps[j - 1])) --j;
  if (j == 0 || !is_cased(cps[j - 1])) return false;
  size_t k = i + 1;
  while (k < cps.size() && is_case_ignorable(cps[k])) ++k;
  return k == cps.size() || !is_cased(cps[k]);
}

}  // namespace

char32_t simple_lower(char32_t cp) {
  if (cp < 0x80) return (cp >= 'A' && cp <= 'Z') ? cp + 32 : cp;
  if (cp == kCapitalIWithDot) return 'i';
  const LowerPair* end = kLowerPairs + kLowerPairCount;
  const LowerPair* it = std::lower_bound(
      kLowerPairs, end, cp, [](const LowerPair& p, char32_t c) { return p.cp < c; });
  return (it != end && it->cp == cp) ? it->lower : cp;
}

bool is_case_ignorable(char32_t cp) { return case_class(cp) == CaseClass::kIgnorable; }

bool is_cased(char32_t cp) { return case_class(cp) == CaseClass::kCased; }

std::string full_lower(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  // ASCII needs no context: lower-case it in place of a decode.
  size_t i = 0;
  while (i < text.size() && static_cast<unsigned char>(text[i]) < 0x80) {
    char c = text[i++];
    out.push_back((c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c);
  }
  if (i == text.size()) return out;

  // The sigma rule looks both ways, so decode the remainder once.
  std::vector<char32_t> cps;
  // The context before the first non-ASCII byte matters for a sigma too.
  const size_t ascii_prefix = i;
  for (size_t k = 0; k < ascii_prefix; ++k) cps.push_back(static_cast<unsigned char>(text[k]));
  while (i < text.size()) {
    Utf8Char ch = decode_utf8_at(text, i);
    cps.push_back(ch.cp);
    i += ch.len;
  }
  for (size_t k = ascii_prefix; k < cps.size(); ++k) {
    const char32_t cp = cps[k];
    if (cp == kCapitalIWithDot) {
      out.push_back('i');
      append_utf8(&out, kCombiningDotAbove);
    } else if (cp == kCapitalSigma) {
      append_utf8(&out, is_final_sigma(cps, k) ? kFinalSigma : kSmallSigma);
    } else {
      append_utf8(&out, simple_lower(cp));
    }
  }
  return out;
}

}  // namespace zv::text
