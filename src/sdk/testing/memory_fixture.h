// Test support for the SDK's record operations: a fixed platform clock, a
// write request from a few fields, and a database fixture that logs audit
// lines to a file the tests read back. Test-only; not thread-safe (the clock
// is process-wide).
#pragma once

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/fs.h"
#include "src/record/memory_input.h"
#include "src/record/version_history.h"
#include "src/sdk/testing/indexed_writes.h"

namespace zv::sdk_testing {

inline constexpr uint64_t kTestNowMs = 1'700'000'000'000;  // 2023-11-14T22:13:20Z

// Fixes the platform clock for the object's life.
class TestClock {
 public:
  explicit TestClock(uint64_t ms) { set(ms); }
  ~TestClock() { set_now_ms_for_testing(0); }
  TestClock(const TestClock&) = delete;
  TestClock& operator=(const TestClock&) = delete;
  void set(uint64_t ms) { set_now_ms_for_testing(ms); }
};

inline MemoryInput make_input(std::string ns, std::string key, std::string payload = "some words",
                              FieldMap metadata = {}) {
  MemoryInput in;
  in.ns = std::move(ns);
  in.key = std::move(key);
  in.payload = std::move(payload);
  in.metadata = std::move(metadata);
  return in;
}

template <typename T>
ZolvaStatus status_of(const ZolvaResult<T>& r) {
  if (r.ok()) return {};
  return make_unexpected(r.error());
}

// Expects a failure of that kind whose message contains `text`.
inline void expect_error(const ZolvaStatus& s, ZolvaErrorKind kind, std::string_view text,
                         const std::string& name) {
  ASSERT_FALSE(s.ok()) << name;
  EXPECT_EQ(s.error().kind(), kind) << name << ": " << s.error().message();
  EXPECT_NE(s.error().message().find(text), std::string::npos)
      << name << ": " << s.error().message();
}

class MemoryFixture : public DbFixture {
 protected:
  MemoryFixture() {
    audit_path = fs::join(dir.path(), "audit.log");
    config.audit_log_path = audit_path;
  }

  std::vector<std::string> audit_lines() {
    std::vector<std::string> out;
    auto text = fs::read_file(audit_path);
    if (!text.ok()) return out;
    size_t start = 0;
    while (start < text->size()) {
      size_t end = text->find('\n', start);
      if (end == std::string::npos) end = text->size();
      out.push_back(text->substr(start, end - start));
      start = end + 1;
    }
    return out;
  }
  // "op namespace key outcome" of each audit line.
  std::vector<std::string> audit_summary() {
    std::vector<std::string> out;
    for (const std::string& line : audit_lines()) {
      auto j = nlohmann::json::parse(line);
      out.push_back(j["op"].get<std::string>() + " " + j["namespace"].get<std::string>() + " " +
                    j["key"].get<std::string>() + " " + j["outcome"].get<std::string>());
    }
    return out;
  }
  size_t version_entries(StorageEngine& e, std::string_view ns, std::string_view key) {
    auto got = e.scan_prefix(Partition::kVersions, version_prefix(ns, key));
    EXPECT_TRUE(got.ok());
    return got.ok() ? got->size() : 0;
  }

  std::string audit_path;
};

}  // namespace zv::sdk_testing
