// Feeds the archive reader random files and mutated valid archives: every
// outcome must be a value (a Toc or an error), never a crash, and reading may
// not reserve memory beyond what the file could hold.
#include <cstddef>
#include <cstdint>
#include <string>

#include "archive/src/reader.h"
#include "archive/src/testing/archive_files.h"
#include "platform/fs.h"
#include "platform/random.h"

namespace {

const std::string& fuzz_path() {
  static const std::string path = [] {
    char name[64];
    std::snprintf(name, sizeof(name), "/tmp/zv-archive-fuzz-%016llx",
                  static_cast<unsigned long long>(zv::os_random_u64()));
    return std::string(name);
  }();
  return path;
}

// A valid archive whose section names and bodies come from the input, then
// overwritten at input-chosen offsets with input bytes.
std::string mutated_archive(const uint8_t* data, size_t size) {
  zv::archive::testing::Sections sections;
  size_t i = 1;
  while (i + 2 <= size && sections.size() < 8) {
    const size_t name_len = data[i] % 8;
    const size_t body_len = data[i + 1];
    i += 2;
    const size_t take_name = std::min(name_len, size - i);
    std::string name(reinterpret_cast<const char*>(data + i), take_name);
    i += take_name;
    const size_t take_body = std::min(body_len, size - i);
    std::string body(reinterpret_cast<const char*>(data + i), take_body);
    i += take_body;
    sections.emplace_back(std::move(name), std::move(body));
    if (i < size && data[i++] & 1) break;
  }
  std::string bytes = zv::archive::testing::build_archive(sections);
  // Remaining input: (offset hi, offset lo, value) triples.
  while (i + 3 <= size && !bytes.empty()) {
    const size_t off = ((size_t{data[i]} << 8) | data[i + 1]) % bytes.size();
    bytes[bytes.size() - 1 - off] = static_cast<char>(data[i + 2]);
    i += 3;
  }
  return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string bytes = (data[0] & 1)
                                ? mutated_archive(data, size)
                                : std::string(reinterpret_cast<const char*>(data + 1), size - 1);
  if (!zv::fs::write_file(fuzz_path(), bytes).ok()) return 0;
  auto toc = zv::archive::ArchiveReader::open(fuzz_path());
  if (toc.ok()) {
    for (const auto& e : toc->entries()) {
      auto r = zv::archive::section_reader(fuzz_path(), e);
      if (!r.ok()) continue;
      char buf[512];
      for (int n = 0; n < 64; ++n) {
        auto got = r->read(buf, sizeof(buf));
        if (!got.ok() || *got == 0) break;
      }
    }
  }
  return 0;
}
