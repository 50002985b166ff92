// The data files of the side-by-side vector benchmarks and their command-line
// plumbing. Rows: a u32 count, a u32 dimension and the f32 rows. Truth: a u32
// count, a u32 k and k u32 row numbers per query. Benchmark-only helpers.
#pragma once

#include <cstdint>
#include <cstring>
#include <ctime>
#include <span>
#include <string>
#include <vector>

#include "platform/fs.h"

namespace zv::bench {

struct Rows {
  uint32_t n = 0, dim = 0;
  std::vector<float> values;
  std::span<const float> row(size_t i) const {
    return std::span<const float>(values).subspan(i * dim, dim);
  }
};

inline bool read_rows(const std::string& path, Rows* out) {
  auto bytes = fs::read_file(path);
  if (!bytes.ok() || bytes->size() < 8) return false;
  std::memcpy(&out->n, bytes->data(), 4);
  std::memcpy(&out->dim, bytes->data() + 4, 4);
  const size_t want = 8 + size_t{out->n} * out->dim * 4;
  if (bytes->size() != want) return false;
  out->values.resize(size_t{out->n} * out->dim);
  std::memcpy(out->values.data(), bytes->data() + 8, want - 8);
  return true;
}

inline bool read_truth(const std::string& path, std::vector<std::vector<uint32_t>>* out) {
  auto bytes = fs::read_file(path);
  if (!bytes.ok() || bytes->size() < 8) return false;
  uint32_t n, k;
  std::memcpy(&n, bytes->data(), 4);
  std::memcpy(&k, bytes->data() + 4, 4);
  if (bytes->size() != 8 + size_t{n} * k * 4) return false;
  out->assign(n, std::vector<uint32_t>(k));
  for (uint32_t i = 0; i < n; ++i)
    std::memcpy((*out)[i].data(), bytes->data() + 8 + size_t{i} * k * 4, size_t{k} * 4);
  return true;
}

// The value after `name` among argv[2..], or `fallback`.
inline std::string arg(int argc, char** argv, const char* name, const char* fallback) {
  for (int i = 2; i + 1 < argc; ++i)
    if (std::strcmp(argv[i], name) == 0) return argv[i + 1];
  return fallback;
}

// "10,20,40" as numbers.
inline std::vector<uint64_t> number_list(const std::string& text) {
  std::vector<uint64_t> out;
  for (size_t at = 0; at < text.size();) {
    size_t comma = text.find(',', at);
    if (comma == std::string::npos) comma = text.size();
    out.push_back(std::stoull(text.substr(at, comma - at)));
    at = comma + 1;
  }
  return out;
}

// Processor time of the process: queries run on one thread, and processor
// time keeps other load on a shared machine out of the figure.
inline double cpu_seconds() { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

}  // namespace zv::bench
