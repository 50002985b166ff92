// Sinks for the archive's tests and fuzz target: one that collects bytes in
// memory, one that writes straight to a file, and one that fails on demand.
// Test-only; single-threaded.
#pragma once

#include <string>

#include "archive/src/sink.h"
#include "platform/file.h"

namespace zv::archive::testing {

class MemorySink : public Sink {
 public:
  IoStatus write_all(std::string_view bytes) override {
    bytes_.append(bytes);
    return {};
  }
  IoStatus flush() override { return {}; }
  IoResult<uint64_t> position() override { return uint64_t{bytes_.size()}; }
  const std::string& bytes() const { return bytes_; }

 private:
  std::string bytes_;
};

class FileSink : public Sink {
 public:
  explicit FileSink(File file) : file_(std::move(file)) {}
  IoStatus write_all(std::string_view bytes) override { return file_.write_all(bytes); }
  IoStatus flush() override { return {}; }
  IoResult<uint64_t> position() override { return file_.position(); }
  File& file() { return file_; }

 private:
  File file_;
};

// Accepts `budget` bytes, then every write fails.
class FailingSink : public MemorySink {
 public:
  explicit FailingSink(size_t budget) : budget_(budget) {}
  IoStatus write_all(std::string_view bytes) override {
    if (bytes.size() > budget_) return make_unexpected(IoError(IoErrorKind::kStorageFull, "disk full"));
    budget_ -= bytes.size();
    return MemorySink::write_all(bytes);
  }

 private:
  size_t budget_;
};

}  // namespace zv::archive::testing
