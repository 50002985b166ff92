// The key limit every index writer respects: the key-value engine refuses a
// key longer than 65,535 bytes (and would refuse the whole batch holding it),
// so an index entry whose key would pass it is left out and counted instead,
// by the same rule in the record change, every rebuild and the check at open.
// Constants and pure functions.
#pragma once

#include <cstddef>
#include <string_view>

namespace zv::text {

// The longest key the key-value engine accepts.
inline constexpr size_t kMaxIndexKeyBytes = 65535;

// The term-statistics prefix is 20 bytes (see text_keys.h).
inline constexpr size_t kTermStatsPrefixBytes = 20;

// Whether a token of a record can be indexed: both its posting key
// (namespace 0x00 token 0x00 key) and its term-statistics key (prefix,
// namespace 0x00 token) fit. A token that does not is skipped with its
// statistics, so the record is found by its other tokens only.
inline bool token_fits(std::string_view ns, std::string_view token, std::string_view record_key) {
  const size_t posting = ns.size() + token.size() + record_key.size() + 2;
  const size_t term_stats = kTermStatsPrefixBytes + ns.size() + 1 + token.size();
  return posting <= kMaxIndexKeyBytes && term_stats <= kMaxIndexKeyBytes;
}

}  // namespace zv::text
