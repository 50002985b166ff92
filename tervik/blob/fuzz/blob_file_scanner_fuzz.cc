// Scans random bytes as a blob file, alone and merged with a second scan of
// its tail: every step must be an entry, the end or an error, and no stored
// length may size a buffer beyond the bytes left in the file.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/fs.h"
#include "platform/random.h"
#include "tervik/blob/blob_merge_scanner.h"

namespace {

// A scratch folder of this process, removed at exit.
struct ScratchDir {
  ScratchDir() : path("/tmp/zv-blob-scan-fuzz-" + std::to_string(zv::os_random_u64())) {
    (void)zv::fs::create_dir_all(path);
  }
  ~ScratchDir() { (void)zv::fs::remove_dir_all(path); }
  std::string path;
};

const std::string& dir() {
  static const ScratchDir scratch;
  return scratch.path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const std::string a = zv::fs::join(dir(), "a");
  const std::string b = zv::fs::join(dir(), "b");
  (void)zv::fs::write_file(a, bytes);
  (void)zv::fs::write_file(b, bytes.substr(size / 2));

  auto scanner = tervik::BlobFileScanner::open(a, 1);
  if (!scanner.ok()) return 0;
  for (int steps = 0; steps < 10000; ++steps) {
    auto e = scanner->next();
    if (!e.ok() || !e->has_value()) break;
    if ((*e)->offset >= size) __builtin_trap();
  }

  std::vector<tervik::BlobFileScanner> scanners;
  for (const auto& p : {a, b}) {
    auto s = tervik::BlobFileScanner::open(p, 2);
    if (!s.ok()) return 0;
    scanners.push_back(std::move(*s));
  }
  tervik::BlobMergeScanner merge(std::move(scanners));
  for (int steps = 0; steps < 10000; ++steps) {
    auto e = merge.next();
    if (!e.ok() || !e->has_value()) break;
  }
  return 0;
}
