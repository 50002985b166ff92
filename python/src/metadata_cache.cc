#include "python/src/metadata_cache.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/checksum.h"
#include "python/src/datetime_values.h"
#include "python/src/py_ref.h"

namespace zv::py {

namespace {

// One thread's LRU over a fixed array of slots. A lookup hashes its key once
// and scans the slots' hashes (64 words, a few cache lines), comparing a key
// only on an equal hash; the least recently used slot is the one with the
// oldest use stamp. A store into a full cache reuses that slot's key buffer
// and map nodes, so a thread whose dicts never repeat (every put with its own
// values) copies into existing storage instead of allocating and rehashing.
class MetadataCache {
 public:
  std::optional<FieldMap> lookup(std::string_view key) {
    const int i = find(xxh3_64(key.data(), key.size()), key);
    if (i < 0) {
      ++counts_.misses;
      return std::nullopt;
    }
    ++counts_.hits;
    stamps_[i] = ++clock_;
    return slots_[i].map;
  }

  void store(std::string_view key, const FieldMap& map) {
    const uint64_t hash = xxh3_64(key.data(), key.size());
    int i = find(hash, key);
    if (i < 0) i = used_ < kMetadataCacheCapacity ? static_cast<int>(used_++) : oldest();
    hashes_[i] = hash;
    stamps_[i] = ++clock_;
    slots_[i].key.assign(key);
    slots_[i].map = map;
  }

  MetadataCacheCounts counts() const {
    MetadataCacheCounts c = counts_;
    c.entries = used_;
    return c;
  }

 private:
  struct Slot {
    std::string key;
    FieldMap map;
  };

  int find(uint64_t hash, std::string_view key) const {
    for (size_t i = 0; i < used_; ++i) {
      if (hashes_[i] == hash && slots_[i].key == key) return static_cast<int>(i);
    }
    return -1;
  }

  int oldest() const {
    size_t best = 0;
    for (size_t i = 1; i < used_; ++i) {
      if (stamps_[i] < stamps_[best]) best = i;
    }
    return static_cast<int>(best);
  }

  uint64_t hashes_[kMetadataCacheCapacity] = {};
  uint64_t stamps_[kMetadataCacheCapacity] = {};
  Slot slots_[kMetadataCacheCapacity];
  size_t used_ = 0;
  uint64_t clock_ = 0;
  MetadataCacheCounts counts_;
};

MetadataCache& thread_cache() {
  thread_local MetadataCache cache;
  return cache;
}

bool is_plain_scalar(PyObject* v) {
  return v == Py_None || PyUnicode_CheckExact(v) || PyLong_CheckExact(v) || PyFloat_CheckExact(v) ||
         PyBool_Check(v) || is_plain_datetime(v);
}

bool is_plain_value(PyObject* v) {
  if (is_plain_scalar(v)) return true;
  if (!PyList_CheckExact(v)) return false;
  const Py_ssize_t n = PyList_Size(v);
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (!is_plain_scalar(PyList_GetItem(v, i))) return false;
  }
  return true;
}

// One (name, value text) pair of a key. The texts point into the pair's own
// references to the dict's str objects (their cached UTF-8) or into
// `inline_text` / `repr`, so a key is built without an allocation per pair;
// the references keep the texts alive should a finalizer run by a repr's
// allocation empty the dict.
struct KeyPair {
  PyRef name_ref;
  PyRef value_ref;
  std::string_view name;
  char tag = 0;
  std::string_view text;
  char inline_text[8];
  std::string repr;
};

bool utf8_view(PyObject* s, std::string_view* out) {
  Py_ssize_t n = 0;
  const char* p = PyUnicode_AsUTF8AndSize(s, &n);
  if (p == nullptr) return false;
  *out = std::string_view(p, static_cast<size_t>(n));
  return true;
}

template <class T>
void set_inline(KeyPair& pair, char tag, T v) {
  static_assert(sizeof v <= sizeof pair.inline_text);
  pair.tag = tag;
  std::memcpy(pair.inline_text, &v, sizeof v);
  pair.text = std::string_view(pair.inline_text, sizeof v);
}

// A text that tells the value apart from every other plain value: a tag for
// the type, then the exact scalars' own value (a double's bits, a 64-bit
// integer, the text of a str), the others' repr.
bool value_text(PyObject* v, KeyPair& pair) {
  if (v == Py_None || PyBool_Check(v)) {
    pair.tag = v == Py_None ? 'N' : v == Py_True ? 'T' : 'F';
    return true;
  }
  if (PyFloat_CheckExact(v)) {
    set_inline(pair, 'f', PyFloat_AsDouble(v));
    return true;
  }
  if (PyLong_CheckExact(v)) {
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (overflow == 0) {
      set_inline(pair, 'i', n);
      return true;
    }
  }
  if (PyUnicode_CheckExact(v)) {
    pair.tag = 's';
    return utf8_view(v, &pair.text);
  }
  PyRef repr = PyRef::steal(PyObject_Repr(v));
  std::string_view text;
  if (!repr || !utf8_view(repr.get(), &text)) return false;
  pair.tag = 'r';
  pair.repr.assign(text);
  pair.text = pair.repr;
  return true;
}

void put_length(std::string& out, size_t n) {
  const uint32_t v = static_cast<uint32_t>(n);
  out.append(reinterpret_cast<const char*>(&v), sizeof v);
}

bool build_key(PyObject* dict, std::string* key) {
  KeyPair pairs[kMetadataCacheMaxEntries];
  size_t count = 0;
  Py_ssize_t pos = 0;
  PyObject* name = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(dict, &pos, &name, &value)) {
    // The caller checked the size; a dict cannot grow while no Python code runs.
    if (count == kMetadataCacheMaxEntries) return false;
    if (!PyUnicode_CheckExact(name) || !is_plain_value(value)) return false;
    KeyPair& pair = pairs[count++];
    pair.name_ref = PyRef::borrow(name);
    pair.value_ref = PyRef::borrow(value);
    if (!utf8_view(name, &pair.name) || !value_text(value, pair)) return false;
  }
  // Exact str names of one dict are distinct, so their order is total.
  KeyPair* order[kMetadataCacheMaxEntries];
  for (size_t i = 0; i < count; ++i) order[i] = &pairs[i];
  std::sort(order, order + count, [](const KeyPair* a, const KeyPair* b) { return a->name < b->name; });
  key->clear();
  for (size_t i = 0; i < count; ++i) {
    const KeyPair& pair = *order[i];
    put_length(*key, pair.name.size());
    key->append(pair.name);
    put_length(*key, pair.text.size() + 1);
    key->push_back(pair.tag);
    key->append(pair.text);
  }
  return true;
}

}  // namespace

bool metadata_cache_key(PyObject* dict, std::string* key) {
  const Py_ssize_t size = PyDict_Size(dict);
  if (size < 1 || size > kMetadataCacheMaxEntries) return false;
  if (build_key(dict, key)) return true;
  PyErr_Clear();
  return false;
}

std::optional<FieldMap> metadata_cache_lookup(std::string_view key) { return thread_cache().lookup(key); }

void metadata_cache_store(std::string_view key, const FieldMap& map) { thread_cache().store(key, map); }

MetadataCacheCounts metadata_cache_counts() { return thread_cache().counts(); }

}  // namespace zv::py
