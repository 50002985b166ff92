// Reads a journal file made from the input in a temporary folder with the
// batch reader, sealed and active. The first byte picks raw mode (the rest is
// the file) or a structure-aware mode that frames fuzz-chosen items into
// batches with correct checksums and then flips, drops or repeats bytes, so
// that damage lands inside well-formed journals. Whatever the file, reading
// never crashes or panics, the file never grows, and a second read of what
// the first left returns the same batches and changes nothing.
#include <cstddef>
#include <cstdint>
#include <string>

#include "morva/src/journal/reader.h"
#include "platform/fs.h"
#include "platform/panic.h"
#include "platform/testing/temp_dir.h"

namespace {

class Input {
 public:
  Input(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}
  uint8_t byte() { return p_ < end_ ? *p_++ : 0; }
  uint16_t u16() { return static_cast<uint16_t>(byte() | byte() << 8); }
  std::string bytes(size_t n) {
    n = std::min<size_t>(n, end_ - p_);
    std::string s(reinterpret_cast<const char*>(p_), n);
    p_ += n;
    return s;
  }
  std::string rest() { return bytes(end_ - p_); }
  bool empty() const { return p_ >= end_; }

 private:
  const uint8_t* p_;
  const uint8_t* end_;
};

std::string framed_journal(Input& in) {
  std::string file, scratch;
  const int batches = 1 + in.byte() % 6;
  for (int b = 0; b < batches && !in.empty(); ++b) {
    std::string body;
    const int items = in.byte() % 5;
    for (int i = 0; i < items; ++i) {
      if (in.byte() % 8 == 0) {
        morva::encode_journal_clear(&body, in.byte());
        continue;
      }
      const std::string key = in.bytes(in.byte() % 40);
      std::string value = in.bytes(in.u16() % 2048);
      if (in.byte() % 2 == 0) value += std::string(in.u16() % 9000, 'r');
      (void)morva::encode_journal_item(&body, in.byte() % 3, key, value,
                                       in.byte() % 2 ? tervik::ValueType::kValue
                                                     : tervik::ValueType::kTombstone,
                                       value.size() >= 64, &scratch);
    }
    morva::encode_journal_start(&file, static_cast<uint32_t>(items), b + 1);
    file += body;
    morva::encode_journal_end(&file, zv::xxh3_64(body.data(), body.size()));
  }
  file += std::string(in.byte() % 64, '\0');
  // Damage: flip, drop or repeat bytes at fuzz-chosen places.
  const int damages = in.byte() % 4;
  for (int d = 0; d < damages && !file.empty(); ++d) {
    const size_t at = in.u16() % file.size();
    switch (in.byte() % 3) {
      case 0: file[at] = static_cast<char>(file[at] ^ (1 + in.byte() % 255)); break;
      case 1: file.erase(at, 1 + in.byte() % 16); break;
      default: file.insert(at, file.substr(at, 1 + in.byte() % 16)); break;
    }
  }
  return file;
}

struct Outcome {
  size_t batches = 0;
  bool failed = false;
};

Outcome read_all(const std::string& path, morva::JournalBatchReader::Mode mode) {
  Outcome out;
  auto reader = morva::JournalReader::open(zv::FileSystem::os(), path);
  if (!reader.ok()) __builtin_trap();
  morva::JournalBatchReader batches(std::move(reader).value(), mode);
  for (;;) {
    auto b = batches.next();
    if (!b.ok()) {
      out.failed = true;
      return out;
    }
    if (!b->has_value()) return out;
    ++out.batches;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in(data, size);
  const uint8_t mode_byte = in.byte();
  const std::string file = mode_byte % 2 == 0 ? in.rest() : framed_journal(in);
  zv::testing::TempDir dir;
  const std::string path = zv::fs::join(dir.path(), "1.jnl");
  const bool ok = zv::catch_panic(
      [&] {
        for (auto mode : {morva::JournalBatchReader::Mode::kSealed,
                          morva::JournalBatchReader::Mode::kActive}) {
          if (!zv::fs::write_file(path, file).ok()) return;
          const Outcome first = read_all(path, mode);
          auto after = zv::fs::read_file(path);
          if (!after.ok() || after->size() > file.size()) __builtin_trap();
          if (first.failed && *after != file) __builtin_trap();  // errors change nothing
          const Outcome second = read_all(path, mode);
          auto again = zv::fs::read_file(path);
          if (!again.ok() || *again != *after) __builtin_trap();
          if (!first.failed && (second.failed || second.batches != first.batches)) __builtin_trap();
        }
      },
      nullptr);
  if (!ok) __builtin_trap();
  return 0;
}
