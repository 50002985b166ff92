#include "tervik/tree/run_scanner.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/fs.h"
#include "platform/testing/temp_dir.h"
#include "tervik/core/fatal.h"
#include "tervik/core/testing/panic_capture.h"
#include "tervik/version/testing/version_fixture.h"

namespace tervik {
namespace {

// A run of five tables: table i + 1 holds the keys <letter> and <letter>2.
class RunScannerTest : public ::testing::Test {
 protected:
  RunScannerTest() : folder_(dir_.path()) {
    std::vector<Table> tables;
    const std::string letters = "abcde";
    for (size_t i = 0; i < letters.size(); ++i) {
      const std::string k(1, letters[i]);
      tables.push_back(folder_.table(i + 1, k, k + "2"));
    }
    run_ = std::make_shared<const tervik::Run>(std::move(tables));
  }

  // The keys read until the end; an error shows as "<error>".
  static std::vector<std::string> drain(RunScanner& s) {
    std::vector<std::string> out;
    while (ReadItem item = s.next()) {
      out.push_back(item->ok() ? std::string((*item)->key.user_key.view()) : "<error>");
    }
    return out;
  }

  zv::testing::TempDir dir_;
  testing::TreeFolder folder_;
  RunHandle run_;
};

TEST_F(RunScannerTest, ReadsExactlyItsStretchInOrder) {
  auto s = RunScanner::create(run_, 2, 3);
  ASSERT_TRUE(s.ok()) << s.error().to_string();
  EXPECT_EQ(drain(*s), (std::vector<std::string>{"c", "c2", "d", "d2"}));
  EXPECT_FALSE(s->next().has_value());

  auto whole = RunScanner::create(run_, 0, 4);
  ASSERT_TRUE(whole.ok());
  EXPECT_EQ(drain(*whole).size(), 10u);
}

TEST_F(RunScannerTest, FailureToOpenTheNextTableIsReturnedOnceThenTheEnd) {
  auto s = RunScanner::create(run_, 1, 3);
  ASSERT_TRUE(s.ok());
  ASSERT_TRUE(zv::fs::remove_file(zv::fs::join(folder_.tables(), "3")).ok());
  EXPECT_EQ(drain(*s), (std::vector<std::string>{"b", "b2", "<error>"}));
  EXPECT_FALSE(s->next().has_value());

  // The first table fails at creation instead.
  EXPECT_FALSE(RunScanner::create(run_, 2, 4).ok());
}

TEST_F(RunScannerTest, IndexesOutsideTheRunPanic) {
  EXPECT_EQ(testing::panic_message([&] { (void)RunScanner::create(run_, 5, 5); }), kFatalShouldExist);
  EXPECT_EQ(testing::panic_message([&] { (void)RunScanner::create(run_, 0, 5); }), kFatalShouldExist);
}

}  // namespace
}  // namespace tervik
