// The per-thread cache of small metadata conversions: a dict of 1 to 4
// entries whose values are all of exact built-in types (str, int, float,
// bool, None, a datetime whose tzinfo is a `datetime.timezone`, and exact
// lists of these) is keyed by its (name, value text) pairs: the exact
// scalars by a tagged copy of their value, datetimes and lists by their repr,
// which for those types tells the converted values apart. Any other value (a
// subclass, an object with its own repr, a NumPy scalar) could print like a
// different value, so dicts holding one are converted every time. The cache
// is a 64-entry LRU private to its thread. Needs the interpreter lock.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "python/src/py_err.h"
#include "python/src/python.h"
#include "src/record/field_value.h"

namespace zv::py {

inline constexpr size_t kMetadataCacheCapacity = 64;
inline constexpr Py_ssize_t kMetadataCacheMaxEntries = 4;

// Writes the cache key of a dict into *key (reusing its buffer), or returns
// false when the dict may not use the cache (size outside 1..4, a name that
// is not exactly a str, a value of another type, a text that fails). Pairs
// sorted by name bytes, each packed with its lengths so no two pair lists
// share a key. Any error raised while looking is cleared.
bool metadata_cache_key(PyObject* dict, std::string* key);

// The calling thread's cached map under `key` (marked most recently used).
std::optional<FieldMap> metadata_cache_lookup(std::string_view key);
// Stores a copy under `key` as the most recently used entry, evicting the
// least recently used one when full.
void metadata_cache_store(std::string_view key, const FieldMap& map);

// The calling thread's lookup outcomes so far, for tests and benchmarks.
struct MetadataCacheCounts {
  uint64_t hits = 0;
  uint64_t misses = 0;
  size_t entries = 0;
};
MetadataCacheCounts metadata_cache_counts();

}  // namespace zv::py
