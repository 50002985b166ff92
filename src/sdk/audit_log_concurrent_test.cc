#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/fs.h"
#include "platform/testing/temp_dir.h"
#include "src/sdk/audit_log.h"

namespace zv {
namespace {

// Eight threads append at once while the log rotates every 4 KiB: every line
// of every file is one whole record and none is lost.
TEST(AuditLogConcurrent, AppendsWriteWholeLines) {
  testing::TempDir dir;
  const std::string p = fs::join(dir.path(), "audit.log");
  auto opened = AuditLog::open(p, 4096, 1000);
  ASSERT_TRUE(opened.ok());
  auto log = *opened;
  constexpr int kThreads = 8, kPerThread = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        const std::string key = std::to_string(t) + "-" + std::to_string(i);
        ASSERT_TRUE(log->append(AuditRecord::create("put", "n", key, "ok", std::nullopt)).ok());
      }
    });
  }
  for (auto& th : threads) th.join();
  int lines = 0;
  int files = 0;
  for (int n = 0; n <= 1000; ++n) {
    auto text = fs::read_file(n == 0 ? p : p + "." + std::to_string(n));
    if (!text.ok()) continue;
    ++files;
    ASSERT_TRUE(text->empty() || text->back() == '\n');
    std::istringstream in(*text);
    std::string l;
    while (std::getline(in, l)) {
      auto j = nlohmann::json::parse(l, nullptr, false);
      ASSERT_FALSE(j.is_discarded()) << l;
      ++lines;
    }
  }
  EXPECT_EQ(lines, kThreads * kPerThread);
  EXPECT_GT(files, 10);
}

}  // namespace
}  // namespace zv
