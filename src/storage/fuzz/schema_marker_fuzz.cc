// Reads marker files of 0 to 100 arbitrary bytes: the reader and the checks
// of both opens must fail cleanly or accept, never crash, and a read-only
// open must never write.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/fs.h"
#include "platform/panic.h"
#include "src/storage/schema_marker.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 100) return 0;
  static const std::string dir = [] {
    std::string d = "/tmp/zv-schema-fuzz-" + std::to_string(::getpid());
    (void)zv::fs::create_dir_all(d);
    return d;
  }();
  const std::string path = zv::fs::join(dir, zv::schema::kSchemaFileName);
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  if (!zv::fs::write_file(path, bytes).ok()) return 0;
  (void)zv::schema::require(dir);
  auto after = zv::fs::read_file(path);
  ZV_CHECK(after.ok() && *after == bytes, "read-only open changed the marker");
  (void)zv::schema::ensure(dir);
  return 0;
}
