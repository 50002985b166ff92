#include "tervik/core/atomic_file.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>

#include "platform/fs.h"
#include "platform/testing/temp_dir.h"
#include "tervik/core/testing/panic_capture.h"

namespace tervik::file {
namespace {

// Every entry of the folder except `keep`; each must be one of our temporary names.
std::vector<std::string> others(const std::string& dir, const std::string& keep) {
  std::vector<std::string> out;
  auto names = zv::fs::list_dir(dir);
  if (!names.ok()) return {"<unreadable folder>"};
  for (const auto& name : *names) {
    if (name != keep) out.push_back(name);
  }
  return out;
}

TEST(RewriteAtomicTest, CreatesAndReplacesLeavingNoTemporaryFile) {
  zv::testing::TempDir dir;
  const std::string target = zv::fs::join(dir.path(), "current");
  for (std::string content : {"first", "", "a much longer second content"}) {
    ASSERT_TRUE(rewrite_atomic(target, content).ok());
    EXPECT_EQ(zv::fs::read_file(target).value(), content);
    EXPECT_TRUE(others(dir.path(), "current").empty());
  }
}

TEST(RewriteAtomicTest, FailedRenameRemovesTemporaryAndKeepsTarget) {
  zv::testing::TempDir dir;
  // The target is a non-empty directory: the rename fails after the write.
  const std::string target = zv::fs::join(dir.path(), "t");
  ASSERT_TRUE(zv::fs::create_dir_all(zv::fs::join(target, "inner")).ok());
  auto st = rewrite_atomic(target, "content");
  ASSERT_FALSE(st.ok());
  EXPECT_TRUE(zv::fs::is_dir(zv::fs::join(target, "inner")));
  EXPECT_TRUE(others(dir.path(), "t").empty());
  // A missing folder fails at creation, naming the temporary path.
  auto missing = rewrite_atomic(zv::fs::join(dir.path(), "no/such/x"), "c");
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().kind(), zv::IoErrorKind::kNotFound);
  EXPECT_NE(missing.error().message().find(" at path \""), std::string::npos);
}

TEST(RewriteAtomicTest, FailedWriteRemovesTemporaryAndKeepsTarget) {
  zv::testing::TempDir dir;
  const std::string target = zv::fs::join(dir.path(), "t");
  ASSERT_TRUE(rewrite_atomic(target, "old").ok());
  // In a child limited to small files, a large write fails with EFBIG.
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    signal(SIGXFSZ, SIG_IGN);
    rlimit lim{1000, 1000};
    setrlimit(RLIMIT_FSIZE, &lim);
    auto st = rewrite_atomic(target, std::string(100000, 'x'));
    bool ok = !st.ok() && st.error().message().find(" at path \"") != std::string::npos;
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the write did not fail as expected";
  EXPECT_EQ(zv::fs::read_file(target).value(), "old");
  EXPECT_TRUE(others(dir.path(), "t").empty());
}

TEST(RewriteAtomicTest, PathWithoutParentIsFatal) {
  for (const char* path : {"", "/", "//"}) {
    EXPECT_EQ(testing::panic_message([&] { (void)rewrite_atomic(path, "x"); }),
              "should have a parent")
        << path;
  }
}

TEST(RewriteAtomicTest, KilledWriterLeavesOldOrNewContentNeverTorn) {
  zv::testing::TempDir dir;
  const std::string target = zv::fs::join(dir.path(), "current");
  // Distinct sizes and fillers: any mix of the two is recognisable.
  const std::string a(150000, 'a'), b(90000, 'b');
  ASSERT_TRUE(rewrite_atomic(target, a).ok());
  std::mt19937 rng(12345);
  int saw_b = 0;
  for (int round = 0; round < 25; ++round) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      for (uint64_t i = 0;; ++i) (void)rewrite_atomic(target, (i % 2) ? a : b);
    }
    usleep(std::uniform_int_distribution<int>(0, 30000)(rng));
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    auto content = zv::fs::read_file(target);
    ASSERT_TRUE(content.ok());
    ASSERT_TRUE(*content == a || *content == b) << "torn file of " << content->size() << " bytes";
    saw_b += *content == b;
    // Whatever the kill left beside the target is a temporary name, which no
    // reader takes for data.
    for (const auto& name : others(dir.path(), "current")) {
      EXPECT_TRUE(is_temp_name(name)) << name;
    }
  }
  EXPECT_GT(saw_b, 0) << "the child never completed a rewrite";
  // A later rewrite succeeds beside the leftovers.
  ASSERT_TRUE(rewrite_atomic(target, "final").ok());
  EXPECT_EQ(zv::fs::read_file(target).value(), "final");
}

TEST(CreateNewTest, ExclusiveCreation) {
  zv::testing::TempDir dir;
  const std::string path = zv::fs::join(dir.path(), "7");
  auto f = create_new(path);
  ASSERT_TRUE(f.ok());
  ASSERT_TRUE(f->write_all("x").ok());
  auto again = create_new(path);
  ASSERT_FALSE(again.ok());
  EXPECT_EQ(again.error().kind(), zv::IoErrorKind::kAlreadyExists);
  EXPECT_EQ(zv::fs::read_file(path).value(), "x");
}

TEST(TempNameTest, RecognisesOnlyOurNames) {
  struct Case {
    const char* name;
    bool want;
  };
  for (const Case& c : {Case{".tmpAb09Zz", true}, Case{".tmpAb09Z", false},
                        Case{".tmpAb09Zz0", false}, Case{".tmpAb-9Zz", false},
                        Case{"current", false}, Case{"xtmpAb09Zz", false}}) {
    EXPECT_EQ(is_temp_name(c.name), c.want) << c.name;
  }
}

}  // namespace
}  // namespace tervik::file
