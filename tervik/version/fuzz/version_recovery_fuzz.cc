// Recovers a tree folder whose version file and "current" come from random
// bytes: either raw (the whole file mutated, container included) or as four
// random section bodies inside a well-formed container, so that the section
// decoders see mutated counts. Every outcome must be a version or an error;
// no stored count may size a buffer beyond the bytes present.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "archive/src/testing/sinks.h"
#include "archive/src/writer.h"
#include "platform/fs.h"
#include "platform/random.h"
#include "tervik/version/recovery.h"
#include "tervik/version/testing/fuzz_input.h"
#include "tervik/version/version_file.h"

namespace {

struct ScratchDir {
  ScratchDir() : path("/tmp/zv-version-recovery-fuzz-" + std::to_string(zv::os_random_u64())) {
    (void)zv::fs::create_dir_all(zv::fs::join(path, "tables"));
  }
  ~ScratchDir() { (void)zv::fs::remove_dir_all(path); }
  std::string path;
};

const std::string& dir() {
  static const ScratchDir scratch;
  return scratch.path;
}

const tervik::TreeConfig& config() {
  static const tervik::TreeConfig c =
      tervik::TreeConfig::create(dir(), tervik::SeqNoCounter(0), tervik::SeqNoCounter(0));
  return c;
}

std::string container(const std::vector<std::string>& bodies) {
  static const char* kNames[] = {"tables", "blob_files", "blob_gc_stats", "tree_type"};
  zv::archive::testing::MemorySink sink;
  zv::archive::ArchiveWriter w(sink);
  for (size_t i = 0; i < bodies.size(); ++i) {
    if (!w.start_section(kNames[i]).ok() || !sink.write_all(bodies[i]).ok()) return {};
  }
  if (!w.finish().ok()) return {};
  return sink.bytes();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string_view in(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::string current = zv::fs::join(dir(), "current");
  const std::string version = zv::fs::join(dir(), "v7");
  if (data[0] & 1) {
    // Raw: the first 25 bytes are "current", the rest the version file.
    (void)zv::fs::write_file(current, in.substr(0, std::min<size_t>(in.size(), 25)));
    (void)zv::fs::write_file(version, in.size() > 25 ? in.substr(25) : std::string_view());
  } else {
    // With the true checksum in "current", so that recovery reaches its
    // clean-up of orphans when the tables open.
    const std::string bytes = container(tervik::testing::split_fuzz_input(in, 4));
    (void)zv::fs::write_file(current, tervik::encode_current(7, tervik::Checksum::of(bytes)));
    (void)zv::fs::write_file(version, bytes);
  }
  // Table files 1 and 2 exist; whichever of them the version names must
  // survive the recovery, whatever its outcome.
  const std::string tables = zv::fs::join(dir(), "tables");
  for (const char* name : {"1", "2"}) (void)zv::fs::write_file(zv::fs::join(tables, name), "not a table");
  const std::vector<uint64_t> listed = tervik::testing::listed_table_ids(version, 7);
  auto r = tervik::recover_version(dir(), 1, config());
  for (uint64_t id : listed) {
    if ((id == 1 || id == 2) && !zv::fs::exists(zv::fs::join(tables, std::to_string(id)))) __builtin_trap();
  }
  if (r.ok()) {
    // A recovered version has levels and no empty run.
    (void)r->l0();
    for (const auto& level : r->levels()) {
      for (const auto& run : level->runs()) {
        if (run->size() == 0) __builtin_trap();
      }
    }
  }
  return 0;
}
