#include "morva/src/journal/discovery.h"

#include <gtest/gtest.h>

#include "morva/src/testing/test_db.h"
#include "platform/fs.h"
#include "platform/log.h"
#include "platform/testing/temp_dir.h"

namespace morva {
namespace {

TEST(JournalDiscovery, NamesDecideActiveSealedOrFailure) {
  struct Case {
    std::vector<std::string> files;
    std::vector<std::string> folders;
    // "" for InvalidFileName, else "<active file> [sealed numbers]".
    std::string expected;
  };
  const std::vector<Case> cases = {
      {{"7.JNL"}, {}, ""},
      {{"7.Jnl", "8.jnl"}, {}, ""},
      {{"7.txt", ".jnl", "x", "lock", "version"}, {"keyspaces"}, "1.jnl []"},
      {{"abc.jnl"}, {}, ""},
      {{"-3.jnl"}, {}, ""},
      {{"3.jnl", "+.jnl"}, {}, ""},
      {{"18446744073709551616.jnl"}, {}, ""},
      {{"+3.jnl"}, {}, "+3.jnl []"},
      {{"2.jnl", "\xff\xfe.txt"}, {}, ""},
      {{"2.jnl", "bad\xc3"}, {}, ""},
      {{"2.jnl", "10.jnl", "3.jnl"}, {}, "10.jnl [2, 3]"},
      {{"1.jnl"}, {"5.jnl"}, "1.jnl []"},
      {{}, {"5.jnl"}, "1.jnl []"},
  };
  for (const Case& c : cases) {
    zv::testing::TempDir dir;
    SCOPED_TRACE(c.expected + " from " + (c.files.empty() ? "" : c.files[0]));
    for (const std::string& f : c.files) ASSERT_TRUE(zv::fs::write_file(zv::fs::join(dir.path(), f), "").ok());
    for (const std::string& f : c.folders) ASSERT_TRUE(zv::fs::create_dir(zv::fs::join(dir.path(), f)).ok());
    zv::log::CaptureSink logs;
    auto found = discover_journals(testing::small_config(dir.path(), 0));
    if (c.expected.empty()) {
      ASSERT_FALSE(found.ok());
      EXPECT_EQ(found.error().to_string(), "MorvaError: JournalRecovery(InvalidFileName)");
      EXPECT_TRUE(logs.contains("Invalid journal file name: "));
      continue;
    }
    ASSERT_TRUE(found.ok()) << found.error().to_string();
    std::string got = zv::fs::file_name(*found->active->active_path()) + " [";
    for (size_t i = 0; i < found->sealed.size(); ++i) {
      got += (i ? ", " : "") + std::to_string(found->sealed[i].number);
      EXPECT_EQ(found->sealed[i].path, zv::fs::join(dir.path(), std::to_string(found->sealed[i].number) + ".jnl"));
    }
    EXPECT_EQ(got + "]", c.expected);
    // Only a folder without any journal file gets a new one.
    EXPECT_EQ(found->was_active_created, c.expected == "1.jnl []" && c.files.size() != 1);
  }
}

TEST(JournalDiscovery, NewJournalWhenNoneIsLeft) {
  zv::testing::TempDir dir;
  auto found = discover_journals(testing::small_config(dir.path(), 0));
  ASSERT_TRUE(found.ok());
  EXPECT_TRUE(found->was_active_created);
  EXPECT_EQ(*zv::fs::list_dir(dir.path()), std::vector<std::string>{"1.jnl"});
  EXPECT_EQ(*zv::fs::file_size(zv::fs::join(dir.path(), "1.jnl")), uint64_t{1} << 20);
}

}  // namespace
}  // namespace morva
