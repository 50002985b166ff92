#include "python/src/metadata_cache.h"

#include <algorithm>
#include <list>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/checksum.h"
#include "python/src/datetime_values.h"
#include "python/src/py_ref.h"

namespace zv::py {

namespace {

struct KeyHash {
  size_t operator()(std::string_view s) const { return static_cast<size_t>(xxh3_64(s.data(), s.size())); }
};

// One thread's LRU: most recently used at the front of the list; the index
// points into the list's nodes, whose keys never move.
class MetadataCache {
 public:
  MetadataCache() { index_.reserve(kMetadataCacheCapacity); }

  std::optional<FieldMap> lookup(const std::string& key) {
    auto it = index_.find(std::string_view(key));
    if (it == index_.end()) {
      ++counts_.misses;
      return std::nullopt;
    }
    ++counts_.hits;
    entries_.splice(entries_.begin(), entries_, it->second);
    return it->second->second;
  }

  void store(std::string key, const FieldMap& map) {
    if (auto it = index_.find(std::string_view(key)); it != index_.end()) {
      entries_.erase(it->second);
      index_.erase(it);
    }
    if (entries_.size() >= kMetadataCacheCapacity) {
      index_.erase(std::string_view(entries_.back().first));
      entries_.pop_back();
    }
    entries_.emplace_front(std::move(key), map);
    index_.emplace(std::string_view(entries_.front().first), entries_.begin());
  }

  MetadataCacheCounts counts() const {
    MetadataCacheCounts c = counts_;
    c.entries = entries_.size();
    return c;
  }

 private:
  using Entries = std::list<std::pair<std::string, FieldMap>>;
  Entries entries_;
  std::unordered_map<std::string_view, Entries::iterator, KeyHash> index_;
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

std::optional<std::string> utf8(PyObject* s) {
  Py_ssize_t n = 0;
  const char* p = PyUnicode_AsUTF8AndSize(s, &n);
  if (p == nullptr) return std::nullopt;
  return std::string(p, static_cast<size_t>(n));
}

template <class T>
std::string tagged_bytes(char tag, T v) {
  std::string out(1, tag);
  out.append(reinterpret_cast<const char*>(&v), sizeof v);
  return out;
}

// A text that tells the value apart from every other plain value: a tag for
// the type, then the exact scalars' own value (a double's bits, a 64-bit
// integer, the text of a str), the others' repr.
std::optional<std::string> value_text(PyObject* v) {
  if (v == Py_None) return std::string("N");
  if (PyBool_Check(v)) return std::string(v == Py_True ? "T" : "F");
  if (PyFloat_CheckExact(v)) return tagged_bytes('f', PyFloat_AsDouble(v));
  if (PyLong_CheckExact(v)) {
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (overflow == 0) return tagged_bytes('i', n);
  }
  if (PyUnicode_CheckExact(v)) {
    std::optional<std::string> text = utf8(v);
    if (!text) return std::nullopt;
    return "s" + *text;
  }
  PyRef repr = PyRef::steal(PyObject_Repr(v));
  if (!repr) return std::nullopt;
  std::optional<std::string> text = utf8(repr.get());
  if (!text) return std::nullopt;
  return "r" + *text;
}

void put_length(std::string& out, size_t n) {
  const uint32_t v = static_cast<uint32_t>(n);
  out.append(reinterpret_cast<const char*>(&v), sizeof v);
}

std::optional<std::string> build_key(PyObject* dict) {
  std::vector<std::pair<std::string, std::string>> pairs;
  pairs.reserve(kMetadataCacheMaxEntries);
  Py_ssize_t pos = 0;
  PyObject* name = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(dict, &pos, &name, &value)) {
    if (!PyUnicode_CheckExact(name) || !is_plain_value(value)) return std::nullopt;
    // The texts of these types run no Python code, so the dict cannot change here.
    std::optional<std::string> n = utf8(name);
    std::optional<std::string> t = value_text(value);
    if (!n || !t) return std::nullopt;
    pairs.emplace_back(std::move(*n), std::move(*t));
  }
  std::sort(pairs.begin(), pairs.end());
  std::string key;
  for (const auto& [n, t] : pairs) {
    put_length(key, n.size());
    key += n;
    put_length(key, t.size());
    key += t;
  }
  return key;
}

}  // namespace

std::optional<std::string> metadata_cache_key(PyObject* dict) {
  const Py_ssize_t size = PyDict_Size(dict);
  if (size < 1 || size > kMetadataCacheMaxEntries) return std::nullopt;
  std::optional<std::string> key = build_key(dict);
  if (!key) PyErr_Clear();
  return key;
}

std::optional<FieldMap> metadata_cache_lookup(const std::string& key) { return thread_cache().lookup(key); }

void metadata_cache_store(std::string key, const FieldMap& map) { thread_cache().store(std::move(key), map); }

MetadataCacheCounts metadata_cache_counts() { return thread_cache().counts(); }

}  // namespace zv::py
