// Builds archives for the archive's tests: sections given as (name, bytes)
// written through ArchiveWriter into memory, and helpers to store bytes as a
// file. Test-only.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "archive/src/testing/sinks.h"
#include "archive/src/writer.h"
#include "platform/fs.h"

namespace zv::archive::testing {

using Sections = std::vector<std::pair<std::string, std::string>>;

inline std::string build_archive(const Sections& sections) {
  MemorySink sink;
  ArchiveWriter w(sink);
  if (!w.finish_section().ok()) return {};
  for (const auto& [name, bytes] : sections) {
    if (!w.start_section(name).ok() || !sink.write_all(bytes).ok()) return {};
  }
  if (!w.finish().ok()) return {};
  return sink.bytes();
}

inline std::string store(const std::string& dir, const std::string& name, const std::string& bytes) {
  std::string path = fs::join(dir, name);
  (void)fs::write_file(path, bytes);
  return path;
}

}  // namespace zv::archive::testing
