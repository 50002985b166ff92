// Helpers shared by the log's tests: whole-file reads and writes, and a
// plain parser of frames written from the layout, independent of the reader.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/coding.h"
#include "platform/fs.h"

namespace zv::wal::testing {

inline std::string slurp(const std::string& path) {
  auto r = fs::read_file(path);
  return r.ok() ? *r : std::string();
}

inline void spit(const std::string& path, const std::string& bytes) {
  (void)fs::write_file(path, bytes);
}

struct ParsedFrame {
  uint64_t offset;
  std::string payload;
  std::string prev_hash;
  std::string hash;
};

// Frames of a well-formed file, parsed by the table (no recovery).
inline std::vector<ParsedFrame> parse_frames(const std::string& file, size_t trailer) {
  std::vector<ParsedFrame> out;
  size_t p = 20;
  while (p + 8 + trailer <= file.size()) {
    const uint32_t n = coding::get_u32_le(file.data() + p);
    if (p + 8 + n + trailer > file.size()) break;
    ParsedFrame f{p, file.substr(p + 4, n), "", ""};
    if (trailer) {
      f.prev_hash = file.substr(p + 8 + n, 32);
      f.hash = file.substr(p + 8 + n + 32, 32);
    }
    out.push_back(std::move(f));
    p += 8 + n + trailer;
  }
  return out;
}

inline std::string payload_of(int i, size_t size = 12) {
  std::string s = "rec-" + std::to_string(i) + "-";
  while (s.size() < size) s.push_back(static_cast<char>('a' + (s.size() + i) % 26));
  return s;
}

}  // namespace zv::wal::testing
