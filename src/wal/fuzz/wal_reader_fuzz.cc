// Random log file contents never crash the reader or the valid-end scan and
// never make them loop: every record returned consumes at least one frame.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/fs.h"
#include "src/wal/wal_reader.h"
#include "src/wal/wal_records.h"
#include "src/wal/wal_repair.h"

namespace {

// One scratch file per fuzzing process, removed when it exits.
struct Scratch {
  std::string path = "/tmp/zv-wal-reader-fuzz-" + std::to_string(::getpid());
  ~Scratch() { (void)zv::fs::remove_file(path); }
};

const std::string& scratch_path() {
  static const Scratch scratch;
  return scratch.path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zv::wal;
  if (size == 0) return 0;
  // The first byte picks a valid header (so the frames get read) or raw bytes.
  const uint8_t mode = data[0];
  std::string file;
  if (mode & 1) {
    file = WalHeader::make((mode & 2) ? 3 : 2).encode();
  }
  file.append(reinterpret_cast<const char*>(data + 1), size - 1);
  if (!zv::fs::write_file(scratch_path(), file).ok()) return 0;
  const PayloadValidator validator = (mode & 4) ? &wal_record_payload_valid : nullptr;

  auto reader = WalReader::open(zv::FileSystem::os(), scratch_path(), 64, validator);
  if (reader.ok()) {
    std::string payload;
    uint64_t records = 0;
    while (true) {
      auto got = reader->next(&payload);
      if (!got.ok() || !*got) break;
      if (++records > file.size() / 9) std::abort();  // a frame takes at least 9 bytes
    }
    const size_t trailer = trailer_size((mode & 2) ? 3 : 2);
    auto end = find_valid_end(zv::FileSystem::os(), scratch_path(), file.size(), trailer, validator);
    // The writer reopened on the file counts the slots recovery counts.
    if (end.ok() && (end->end > file.size() || end->records != reader->slots())) std::abort();
  }
  return 0;
}
