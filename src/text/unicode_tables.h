// The generated Unicode tables of the text module (unicode_tables.cc, written
// by gen_unicode_tables.py beside it): the one-to-one lower-case mapping and
// the case classes the final-sigma rule reads. Constant data, thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zv::text {

// A code point whose lower case is one other code point; sorted by `cp`.
struct LowerPair {
  uint32_t cp;
  uint32_t lower;
};

// Case_Ignorable characters are skipped by the final-sigma context; a Cased
// character that is not ignorable decides it.
enum class CaseClass : uint8_t { kNone = 0, kIgnorable = 1, kCased = 2 };

// A run of code points [first, last] of one class; sorted, disjoint.
struct CaseRange {
  uint32_t first;
  uint32_t last;
  CaseClass cls;
};

extern const LowerPair kLowerPairs[];
extern const size_t kLowerPairCount;
extern const CaseRange kCaseRanges[];
extern const size_t kCaseRangeCount;

}  // namespace zv::text
