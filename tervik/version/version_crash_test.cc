#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <set>
#include <sstream>
#include <string>

#include "platform/fs.h"
#include "platform/random.h"
#include "platform/testing/temp_dir.h"
#include "tervik/core/testing/killed_child.h"
#include "tervik/version/recovery.h"
#include "tervik/version/testing/version_fixture.h"

namespace tervik {
namespace {

constexpr int kRounds = 30;

void report(int fd, const std::string& line) {
  const std::string out = line + "\n";
  (void)!::write(fd, out.data(), out.size());
}

// Recovers the tree, then writes a table, derives a version listing it (every
// fourth version also drops the oldest table) and persists it, reporting
// "T <id>" before and "P <id>" after each persist, until killed.
[[noreturn]] void child(const std::string& folder, int fd) {
  testing::TreeFolder tree(folder);
  auto recovered = recover_version(folder, testing::kTestTreeId, tree.config());
  if (!recovered.ok()) {
    report(fd, "E recover: " + recovered.error().to_string());
    ::_exit(1);
  }
  Version v = *recovered;
  uint64_t next_id = 1;
  for (const Table& t : v.tables()) next_id = std::max(next_id, t.id() + 1);
  for (;;) {
    const std::string key = "k" + std::to_string(next_id);
    Table t = testing::make_table(tree.tables(), next_id++, key, key + "z");
    v = v.with_new_l0_run({t}, std::nullopt, std::nullopt);
    if (v.id() % 4 == 0) {
      const auto all = v.tables();
      const uint64_t oldest = std::min_element(all.begin(), all.end(), [](const Table& a, const Table& b) {
                                return a.id() < b.id();
                              })->id();
      std::vector<std::shared_ptr<BlobFile>> dropped;
      auto d = v.with_dropped(std::span<const uint64_t>(&oldest, 1), &dropped);
      if (!d.ok()) {
        report(fd, "E drop: " + d.error().to_string());
        ::_exit(1);
      }
      v = *d;
    }
    report(fd, "T " + std::to_string(v.id()));
    if (auto st = v.persist(folder); !st.ok()) {
      report(fd, "E persist: " + st.error().to_string());
      ::_exit(1);
    }
    report(fd, "P " + std::to_string(v.id()));
  }
}

TEST(VersionCrashTest, RecoveryAfterSigkillYieldsTheLastPersistedVersion) {
  zv::testing::TempDir dir;
  testing::TreeFolder tree(dir.path());
  ASSERT_TRUE(Version::create(0, TreeType::kStandard).persist(dir.path()).ok());
  const uint64_t seed = zv::os_random_u64();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  uint64_t acked = 0;      // the last version whose persist returned
  uint64_t attempted = 0;  // the version being persisted when the child died
  for (int round = 0; round < kRounds; ++round) {
    const testing::KilledChild run =
        testing::run_and_kill([&](int fd) { child(dir.path(), fd); }, (5 + rng() % 40) * 1000);
    std::istringstream lines(run.reports);
    for (std::string line; std::getline(lines, line);) {
      if (line.rfind("E ", 0) == 0) FAIL() << "round " << round << ": " << line;
      if (line.rfind("T ", 0) == 0) attempted = std::stoull(line.substr(2));
      if (line.rfind("P ", 0) == 0) acked = std::stoull(line.substr(2));
    }

    auto v = recover_version(dir.path(), testing::kTestTreeId, tree.config());
    ASSERT_TRUE(v.ok()) << "round " << round << ": " << v.error().to_string();
    ASSERT_TRUE(v->id() == acked || v->id() == attempted)
        << "round " << round << ": recovered v" << v->id() << " after acknowledged v" << acked
        << " and attempted v" << attempted;
    acked = attempted = v->id();
    // The folder holds exactly what the version lists.
    std::set<std::string> listed, on_disk;
    for (const Table& t : v->tables()) listed.insert(std::to_string(t.id()));
    auto tables = zv::fs::list_dir(tree.tables());
    auto names = zv::fs::list_dir(dir.path());
    ASSERT_TRUE(tables.ok() && names.ok());
    on_disk.insert(tables->begin(), tables->end());
    EXPECT_EQ(on_disk, listed) << "round " << round;
    for (const std::string& name : *names) {
      if (name.starts_with("v")) {
        EXPECT_EQ(name, "v" + std::to_string(v->id())) << "round " << round;
      }
    }
  }
  EXPECT_GT(acked, 0u) << "no round persisted anything";
}

}  // namespace
}  // namespace tervik
