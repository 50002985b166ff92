// Opens a tree whose version file and "current" come from random bytes,
// through the same entry point as the engine, so that the header checks run
// after recovery: either the raw file (container included) or a well-formed
// container whose section bodies are replaced by parts of the input (the
// version sections of an empty tree kept, or all of them), with sections
// dropped on request. Every outcome must be a tree or an error; no stored
// count may size a buffer beyond the bytes present, and table files the
// version names survive whatever happens.
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "archive/src/reader.h"
#include "archive/src/testing/sinks.h"
#include "archive/src/writer.h"
#include "platform/fs.h"
#include "platform/panic.h"
#include "platform/random.h"
#include "tervik/tree/tree_handle.h"
#include "tervik/version/testing/fuzz_input.h"
#include "tervik/version/version_file.h"

namespace {

using Sections = std::vector<std::pair<std::string, std::string>>;

struct ScratchDir {
  ScratchDir() : path("/tmp/zv-tree-open-fuzz-" + std::to_string(zv::os_random_u64())) {}
  ~ScratchDir() { (void)zv::fs::remove_dir_all(path); }
  std::string path;
};

const ScratchDir& scratch() {
  static const ScratchDir s;
  return s;
}

std::string tree_dir() { return zv::fs::join(scratch().path, "tree"); }

// The sections of a freshly created empty tree's version file, in order.
const Sections& template_sections() {
  static const Sections sections = [] {
    const std::string folder = zv::fs::join(scratch().path, "template");
    if (!zv::fs::create_dir_all(folder).ok()) zv::panic("fuzz: template folder");
    if (!tervik::Version::create(7, tervik::TreeType::kStandard).persist(folder).ok()) {
      zv::panic("fuzz: template version");
    }
    const std::string path = zv::fs::join(folder, tervik::version_file_name(7));
    auto toc = zv::archive::ArchiveReader::open(path);
    if (!toc.ok()) zv::panic("fuzz: template toc");
    Sections out;
    for (const auto& e : toc->entries()) {
      auto reader = zv::archive::section_reader(path, e);
      std::string body;
      if (!reader.ok() || !reader->read_to_end(&body).ok()) zv::panic("fuzz: template section");
      out.emplace_back(e.name, std::move(body));
    }
    return out;
  }();
  return sections;
}

bool is_header(const std::string& name) {
  return name == tervik::kSectionFormatVersion || name == tervik::kSectionLevelCount ||
         name == tervik::kSectionFilterHashType;
}

// Part i replaces the body of the i-th section taken (headers only, or all);
// a part of the single byte 0xFD drops its section.
std::string container(std::string_view in, bool headers_only) {
  Sections sections = template_sections();
  const std::vector<std::string> parts = tervik::testing::split_fuzz_input(in, sections.size());
  size_t next = 0;
  zv::archive::testing::MemorySink sink;
  zv::archive::ArchiveWriter w(sink);
  for (auto& [name, body] : sections) {
    if (!headers_only || is_header(name)) {
      const std::string& part = parts[next++];
      if (part == "\xFD") continue;
      body = part;
    }
    if (!w.start_section(name).ok() || !sink.write_all(body).ok()) return {};
  }
  if (!w.finish().ok()) return {};
  return sink.bytes();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t flags = data[0];
  const std::string_view in(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::string dir = tree_dir();
  (void)zv::fs::remove_dir_all(dir);
  const std::string tables = zv::fs::join(dir, "tables");
  if (!zv::fs::create_dir_all(tables).ok()) zv::panic("fuzz: tree folder");
  const std::string current = zv::fs::join(dir, "current");
  const std::string version = zv::fs::join(dir, tervik::version_file_name(7));
  if (flags & 1) {
    // Raw: the first 25 bytes are "current", the rest the version file.
    (void)zv::fs::write_file(current, in.substr(0, std::min<size_t>(in.size(), 25)));
    (void)zv::fs::write_file(version, in.size() > 25 ? in.substr(25) : std::string_view());
  } else {
    // With the true checksum in "current", so that the open gets past the
    // container to the sections and the header checks.
    const std::string bytes = container(in, (flags & 2) != 0);
    (void)zv::fs::write_file(current, tervik::encode_current(7, tervik::Checksum::of(bytes)));
    (void)zv::fs::write_file(version, bytes);
  }
  for (const char* name : {"1", "2"}) (void)zv::fs::write_file(zv::fs::join(tables, name), "not a table");
  const std::vector<uint64_t> listed = tervik::testing::listed_table_ids(version, 7);
  tervik::TreeConfig config =
      tervik::TreeConfig::create(dir, tervik::SeqNoCounter(1), tervik::SeqNoCounter(1));
  if (flags & 4) config.kv_separation_opts = tervik::KvSeparationOptions{};
  {
    auto opened = tervik::open_tree(std::move(config));
    if (opened.ok()) {
      // An opened tree answers reads; a damaged table may only give an error.
      (void)opened->index().get("k", 1);
      (void)opened->index().l0_run_count();
    }
  }
  for (uint64_t id : listed) {
    if ((id == 1 || id == 2) && !zv::fs::exists(zv::fs::join(tables, std::to_string(id)))) __builtin_trap();
  }
  return 0;
}
