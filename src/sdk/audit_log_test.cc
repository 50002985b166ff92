#include "src/sdk/audit_log.h"

#include <gtest/gtest.h>

#include <atomic>
#include <nlohmann/json.hpp>
#include <sstream>
#include <vector>

#include "platform/fs.h"
#include "platform/log.h"
#include "platform/testing/temp_dir.h"

namespace zv {
namespace {

AuditRecord fixed(std::string op, std::string key, std::optional<std::string> reason = {}) {
  AuditRecord r = AuditRecord::create(op, "notes", key, "ok", std::move(reason));
  r.timestamp = "2024-05-01T12:00:00Z";
  return r;
}

std::string read(const std::string& path) {
  auto r = fs::read_file(path);
  return r.ok() ? *r : "<missing>";
}

TEST(AuditRecord, ByteExactLines) {
  EXPECT_EQ(fixed("put", "k1").to_json(),
            R"({"timestamp":"2024-05-01T12:00:00Z","op":"put","namespace":"notes","key":"k1",)"
            R"("outcome":"ok","reason":null})");
  EXPECT_EQ(fixed("delete", "k1", "memory delete").to_json(),
            R"({"timestamp":"2024-05-01T12:00:00Z","op":"delete","namespace":"notes","key":"k1",)"
            R"("outcome":"ok","reason":"memory delete"})");
  // A quotation mark, a line feed, a backslash and a control byte stay on
  // one line; other characters are written as UTF-8.
  const std::string hostile = fixed("put", "a\"b\nc\\d\x01\xC3\xA9").to_json();
  EXPECT_NE(hostile.find(R"("key":"a\"b\nc\\d\u0001)" "\xC3\xA9" R"(")"), std::string::npos) << hostile;
  EXPECT_EQ(hostile.find('\n'), std::string::npos);
  AuditRecord with_id = fixed("put", "k");
  with_id.request_id = "r1";
  EXPECT_NE(with_id.to_json().find(R"("reason":null,"request_id":"r1"})"), std::string::npos);
}

// Whatever bytes a field holds, the line is one JSON object that reads back
// to the same text (bytes that are not UTF-8 become U+FFFD).
TEST(AuditRecord, EveryByteReadsBack) {
  std::string all_ascii;
  for (int c = 0; c < 0x80; ++c) all_ascii.push_back(static_cast<char>(c));
  const std::string texts[] = {all_ascii, "caf\xC3\xA9 \xF0\x9F\x98\x80", "\xFF\xC3", ""};
  for (const auto& t : texts) {
    AuditRecord r = fixed("put", t, t);
    const std::string line = r.to_json();
    EXPECT_EQ(line.find('\n'), std::string::npos);
    auto j = nlohmann::json::parse(line, nullptr, false);
    ASSERT_FALSE(j.is_discarded()) << line;
    if (t == "\xFF\xC3") {
      EXPECT_EQ(j["key"], "\xEF\xBF\xBD\xEF\xBF\xBD");
    } else {
      EXPECT_EQ(j["key"], t);
      EXPECT_EQ(j["reason"], t);
    }
  }
}

TEST(AuditRecord, Timestamps) {
  EXPECT_EQ(audit::rfc3339_seconds(0), "1970-01-01T00:00:00Z");
  EXPECT_EQ(audit::rfc3339_seconds(1714564800), "2024-05-01T12:00:00Z");
  EXPECT_EQ(audit::rfc3339_seconds(253402300799), "9999-12-31T23:59:59Z");
  EXPECT_EQ(audit::rfc3339_seconds(253402300800), "1970-01-01T00:00:00Z");
  const std::string now = audit::now_rfc3339();
  ASSERT_EQ(now.size(), 20u);
  EXPECT_EQ(now[4], '-');
  EXPECT_EQ(now[10], 'T');
  EXPECT_EQ(now[19], 'Z');
  EXPECT_GE(now, "2024");
}

class AuditLogTest : public ::testing::Test {
 protected:
  testing::TempDir dir;
  std::string p = fs::join(dir.path(), "audit.log");
  std::string n(int i) const { return p + "." + std::to_string(i); }

  std::shared_ptr<AuditLog> open(uint64_t max_bytes, uint32_t max_files,
                                 AuditLog::Opener opener = AuditLog::open_for_append) {
    auto log = AuditLog::open(p, max_bytes, max_files, std::move(opener));
    EXPECT_TRUE(log.ok());
    return log.ok() ? *log : nullptr;
  }
  std::string line(const std::string& key) { return fixed("put", key).to_json() + "\n"; }
};

TEST_F(AuditLogTest, MaxBytesOneGivesOneLinePerFile) {
  auto log = open(1, 5);
  for (std::string k : {"a", "b", "c"}) ASSERT_TRUE(log->append(fixed("put", k)).ok());
  EXPECT_EQ(read(p), line("c"));
  EXPECT_EQ(read(n(1)), line("b"));
  EXPECT_EQ(read(n(2)), line("a"));
  EXPECT_FALSE(fs::exists(n(3)));
}

TEST_F(AuditLogTest, RotationShiftsDeletesAndKeepsGaps) {
  struct Case {
    uint32_t max_files;
    std::vector<int> present;  // numbered files present before (P always)
    std::vector<std::pair<int, std::string>> after;  // file -> content ("" = absent)
  };
  const Case cases[] = {
      {3, {1, 2, 3}, {{1, "P"}, {2, "1"}, {3, "2"}, {4, ""}}},
      {3, {2}, {{1, "P"}, {2, ""}, {3, "2"}}},
      {1, {1}, {{1, "P"}, {2, ""}}},
  };
  for (const auto& c : cases) {
    for (int i = 1; i <= 4; ++i) (void)fs::remove_file(n(i));
    ASSERT_TRUE(fs::write_file(p, "P").ok());
    for (int i : c.present) ASSERT_TRUE(fs::write_file(n(i), std::to_string(i)).ok());
    auto log = open(1, c.max_files);
    ASSERT_TRUE(log->append(fixed("put", "new")).ok());
    EXPECT_EQ(read(p), line("new"));
    for (const auto& [i, content] : c.after) {
      EXPECT_EQ(read(n(i)), content.empty() ? "<missing>" : content) << "file ." << i;
    }
  }
}

TEST_F(AuditLogTest, ZeroLimitsActAsOne) {
  auto log = open(0, 0);
  EXPECT_EQ(log->max_bytes(), 1u);
  EXPECT_EQ(log->max_files(), 1u);
  for (std::string k : {"a", "b", "c"}) ASSERT_TRUE(log->append(fixed("put", k)).ok());
  EXPECT_EQ(read(p), line("c"));
  EXPECT_EQ(read(n(1)), line("b"));
  EXPECT_FALSE(fs::exists(n(2)));
}

TEST_F(AuditLogTest, FailedRenameKeepsTheOldWriterAndRetries) {
  auto log = open(1, 1);
  ASSERT_TRUE(log->append(fixed("put", "a")).ok());
  // A directory as the oldest file makes its deletion fail.
  ASSERT_TRUE(fs::create_dir_all(fs::join(n(1), "x")).ok());
  auto failed = log->append(fixed("put", "b"));
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().kind(), ZolvaErrorKind::kIo);
  EXPECT_EQ(read(p), line("a"));  // the line was not written anywhere
  ASSERT_FALSE(log->append(fixed("put", "c")).ok());
  ASSERT_TRUE(fs::remove_dir_all(n(1)).ok());
  ASSERT_TRUE(log->append(fixed("put", "d")).ok());
  EXPECT_EQ(read(p), line("d"));
  EXPECT_EQ(read(n(1)), line("a"));
}

TEST_F(AuditLogTest, FailedOpenAfterRenameLosesNoHistory) {
  std::atomic<int> failures{0};
  auto opener = [&](const std::string& path) -> IoResult<File> {
    if (failures.load() > 0) {
      failures.fetch_sub(1);
      return make_unexpected(IoError(IoErrorKind::kOther, "Too many open files", 24));
    }
    return AuditLog::open_for_append(path);
  };
  ASSERT_TRUE(fs::write_file(n(1), "one").ok());
  ASSERT_TRUE(fs::write_file(n(2), "two").ok());
  auto log = open(1, 3, opener);
  ASSERT_TRUE(log->append(fixed("put", "a")).ok());
  failures = 5;
  ASSERT_FALSE(log->append(fixed("put", "b")).ok());  // P renamed to P.1, no new P
  EXPECT_FALSE(fs::exists(p));
  EXPECT_EQ(read(n(1)), line("a"));
  EXPECT_EQ(read(n(2)), "one");
  EXPECT_EQ(read(n(3)), "two");
  // Later appends while P cannot be opened delete and rename nothing.
  for (int i = 0; i < 4; ++i) ASSERT_FALSE(log->append(fixed("put", "c")).ok());
  EXPECT_EQ(read(n(1)), line("a"));
  EXPECT_EQ(read(n(2)), "one");
  EXPECT_EQ(read(n(3)), "two");
  EXPECT_FALSE(fs::exists(p));
  // Once P opens, the line lands there and the history is whole.
  ASSERT_TRUE(log->append(fixed("put", "d")).ok());
  EXPECT_EQ(read(p), line("d"));
  EXPECT_EQ(read(n(1)), line("a"));
  EXPECT_EQ(read(n(2)), "one");
  EXPECT_EQ(read(n(3)), "two");
}

TEST_F(AuditLogTest, RecordAuditOnAnUnwritableLogOnlyWarns) {
  ASSERT_TRUE(fs::write_file(p, "").ok());
  auto log = open(1 << 20, 5, [](const std::string& path) { return File::open_read(path); });
  log::CaptureSink sink(log::Level::kWarn);
  record_audit(log.get(), fixed("put", "k"));
  record_audit(nullptr, fixed("put", "k"));
  auto events = sink.events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].message, "audit record failed");
  ASSERT_EQ(events[0].fields.size(), 2u);
  EXPECT_EQ(events[0].fields[0], (std::pair<std::string, std::string>{"op", "put"}));
  EXPECT_EQ(events[0].fields[1].first, "error");
  EXPECT_EQ(read(p), "");
}

TEST_F(AuditLogTest, ConfiguredLogCreatesParentsOrIsDisabled) {
  Config config;
  EXPECT_EQ(open_configured_audit_log(config), nullptr);
  config.audit_log_path = fs::join(dir.path(), "a/b/audit.log");
  auto log = open_configured_audit_log(config);
  ASSERT_NE(log, nullptr);
  EXPECT_TRUE(fs::is_file(*config.audit_log_path));

  ASSERT_TRUE(fs::write_file(fs::join(dir.path(), "file"), "x").ok());
  config.audit_log_path = fs::join(dir.path(), "file/sub/audit.log");
  log::CaptureSink sink(log::Level::kWarn);
  EXPECT_EQ(open_configured_audit_log(config), nullptr);
  EXPECT_TRUE(sink.contains("audit log disabled: could not open audit_log_path"));
}

}  // namespace
}  // namespace zv
