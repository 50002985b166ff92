#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/checksum.h"
#include "platform/clock.h"
#include "platform/coding.h"
#include "platform/env.h"
#include "platform/file_lock.h"
#include "platform/fill_message.h"
#include "platform/fs.h"
#include "platform/log.h"
#include "platform/mmap.h"
#include "platform/panic.h"
#include "platform/thread_name.h"
#include "platform/random.h"
#include "platform/testing/temp_dir.h"
#include "platform/utf8.h"

namespace zv {
namespace {

TEST(Checksum, KnownValues) {
  EXPECT_EQ(crc32c("123456789"), 0xE3069283u);
  EXPECT_EQ(crc32c(""), 0u);
  // Continuation equals the one-shot value.
  EXPECT_EQ(crc32c("6789", 4, crc32c("12345", 5)), 0xE3069283u);
  Sha256Digest d = sha256("abc", 3);
  EXPECT_EQ(d[0], 0xba);
  EXPECT_EQ(d[31], 0xad);
  std::string data(10000, 'x');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
  Xxh3Hasher128 h;
  h.update(data.data(), 3333);
  h.update(data.data() + 3333, data.size() - 3333);
  EXPECT_EQ(h.digest(), xxh3_128(data));
  Xxh3Hasher64 h64;
  h64.update(data.data(), 17);
  h64.update(data.data() + 17, data.size() - 17);
  EXPECT_EQ(h64.digest(), xxh3_64(data.data(), data.size()));
  h64.reset();
  EXPECT_EQ(h64.digest(), xxh3_64("", 0));
}

TEST(Coding, VarintRoundTripAndCaps) {
  struct Case { uint64_t v; size_t len; };
  for (Case c : {Case{0, 1}, Case{127, 1}, Case{128, 2}, Case{~0ull, 10}}) {
    std::string s;
    coding::put_varint(&s, c.v);
    ASSERT_EQ(s.size(), c.len) << c.v;
    const uint8_t* p = reinterpret_cast<const uint8_t*>(s.data());
    uint64_t out = 0;
    ASSERT_EQ(coding::get_varint(&p, p + s.size(), &out), coding::VarintStatus::kOk);
    EXPECT_EQ(out, c.v);
  }
  // Eleven continuation bytes never decode; a 32-bit varint stops at 5 bytes.
  std::string bad(11, '\x80');
  const uint8_t* p = reinterpret_cast<const uint8_t*>(bad.data());
  uint64_t out;
  EXPECT_EQ(coding::get_varint(&p, p + bad.size(), &out), coding::VarintStatus::kOverflow);
  std::string big;
  coding::put_varint(&big, 1ull << 32);
  p = reinterpret_cast<const uint8_t*>(big.data());
  EXPECT_EQ(coding::get_varint(&p, p + big.size(), &out, 32), coding::VarintStatus::kOverflow);
  p = reinterpret_cast<const uint8_t*>(big.data());
  EXPECT_EQ(coding::get_varint(&p, p + 2, &out), coding::VarintStatus::kTruncated);
  EXPECT_EQ(coding::zigzag_decode(coding::zigzag_encode(-5)), -5);
  EXPECT_EQ(coding::zigzag_encode(-1), 1u);
}

TEST(FillMessage, PlaceholdersInOrderAndArgumentsVerbatim) {
  struct Case {
    std::string tmpl;
    std::initializer_list<std::string_view> args;
    std::string want;
  };
  const Case cases[] = {
      {"{} of {}", {"3", "4"}, "3 of 4"},
      {"{} and {}", {"only"}, "only and {}"},     // placeholders beyond the arguments stay
      {"no placeholder", {"x"}, "no placeholder"},
      {"{}{}", {"{}", "a"}, "{}a"},               // an argument holding "{}" is not refilled
      {"", {}, ""},
      {"{", {"x"}, "{"},
  };
  for (const Case& c : cases) EXPECT_EQ(fill(c.tmpl, c.args), c.want) << c.tmpl;
}

TEST(Env, ThreeStates) {
  ::setenv("ZV_PLATFORM_TEST_VAR", "h\xC3\xA9llo", 1);
  EXPECT_EQ(get_env("ZV_PLATFORM_TEST_VAR").text, "h\xC3\xA9llo");
  ::setenv("ZV_PLATFORM_TEST_VAR", "bad\xFF", 1);
  EXPECT_EQ(get_env("ZV_PLATFORM_TEST_VAR").state, EnvValue::State::kNotUnicode);
  ::unsetenv("ZV_PLATFORM_TEST_VAR");
  EXPECT_EQ(get_env("ZV_PLATFORM_TEST_VAR").state, EnvValue::State::kAbsent);
  EXPECT_FALSE(is_valid_utf8("\xED\xA0\x80"));  // a surrogate
}

// Every scalar value survives append and decode; ill-formed bytes decode as
// U+FFFD one byte at a time, so a walk always advances.
TEST(Utf8, CodePointWalk) {
  std::string all;
  for (char32_t cp = 0; cp <= 0x10FFFF; ++cp) {
    if (cp >= 0xD800 && cp <= 0xDFFF) continue;
    std::string one;
    append_utf8(&one, cp);
    Utf8Char ch = decode_utf8_at(one, 0);
    ASSERT_EQ(ch.cp, cp);
    ASSERT_EQ(ch.len, one.size());
    if (cp % 97 == 0) all += one;
  }
  EXPECT_TRUE(is_valid_utf8(all));
  for (const std::string& bad : {std::string("\xC0\x80"), std::string("\xE0\x80\x80"),
                                 std::string("\xED\xA0\x80"), std::string("\xF4\x90\x80\x80"),
                                 std::string("\xF0\x9F\x98"), std::string("\x80"),
                                 std::string("\xFF"), std::string("\xC3")}) {
    Utf8Char ch = decode_utf8_at(bad, 0);
    EXPECT_EQ(ch.cp, kReplacementChar);
    EXPECT_EQ(ch.len, 1u);
  }
  std::string out;
  append_utf8(&out, 0xD800);
  append_utf8(&out, 0x110000);
  EXPECT_EQ(out, "\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(Files, ReadWriteAtomicAndErrors) {
  testing::TempDir dir;
  std::string path = fs::join(dir.path(), "a.bin");
  ASSERT_TRUE(fs::write_file_atomic(path, "hello").ok());
  EXPECT_EQ(*fs::read_file(path), "hello");
  ASSERT_TRUE(fs::write_file_atomic(path, "world!").ok());
  EXPECT_EQ(*fs::read_file(path), "world!");
  EXPECT_EQ(fs::list_dir(dir.path())->size(), 1u);  // no temporary left

  auto f = File::open_read(path);
  ASSERT_TRUE(f.ok());
  char buf[16];
  auto st = f->read_exact_at(buf, 10, 0);
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.error().kind(), IoErrorKind::kUnexpectedEof);
  EXPECT_EQ(st.error().message(), kShortReadMessage);

  auto missing = File::open_read(fs::join(dir.path(), "nope"));
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().kind(), IoErrorKind::kNotFound);
  EXPECT_NE(missing.error().message().find("(os error 2)"), std::string::npos);

  auto again = File::create_new(path);
  ASSERT_FALSE(again.ok());
  EXPECT_EQ(again.error().kind(), IoErrorKind::kAlreadyExists);
}

TEST(Files, SequentialAppendLengthAndSync) {
  testing::TempDir dir;
  const std::string path = fs::join(dir.path(), "s.bin");
  {
    auto f = File::create(path);
    ASSERT_TRUE(f.ok());
    ASSERT_TRUE(f->write_all("abcdef").ok());
    EXPECT_EQ(*f->position(), 6u);
    ASSERT_TRUE(f->write_all_at("XY", 2, 1).ok());
    EXPECT_EQ(*f->seek(4), 4u);
    char two[2];
    ASSERT_TRUE(f->read_exact(two, 2).ok());
    EXPECT_EQ(std::string(two, 2), "ef");
    ASSERT_TRUE(f->sync_data().ok());
    ASSERT_TRUE(f->set_len(3).ok());  // shrink
    EXPECT_EQ(*f->size(), 3u);
    ASSERT_TRUE(f->set_len(5).ok());  // grow with zeros
    ASSERT_TRUE(f->sync_all().ok());
  }
  EXPECT_EQ(*fs::read_file(path), std::string("aXY\0\0", 5));
  {
    OpenOptions append;
    append.write = true;
    append.append = true;
    auto f = File::open(path, append);
    ASSERT_TRUE(f.ok());
    ASSERT_TRUE(f->write_all("zz").ok());  // lands at the end whatever the cursor
  }
  EXPECT_EQ(*fs::read_file(path), std::string("aXY\0\0zz", 7));
}

TEST(Files, DirectoriesRenameAndRemove) {
  testing::TempDir dir;
  const std::string deep = fs::join(fs::join(dir.path(), "a"), "b");
  ASSERT_TRUE(fs::create_dir_all(deep).ok());
  ASSERT_TRUE(fs::create_dir_all(deep).ok());  // idempotent
  EXPECT_TRUE(fs::is_dir(deep));
  const std::string x = fs::join(deep, "x"), y = fs::join(deep, "y");
  ASSERT_TRUE(fs::write_file(y, "old").ok());
  ASSERT_TRUE(fs::write_file(x, "new").ok());
  ASSERT_TRUE(fs::rename(x, y).ok());  // replaces the target
  EXPECT_EQ(*fs::read_file(y), "new");
  EXPECT_FALSE(fs::exists(x));
  ASSERT_TRUE(fs::write_file(fs::join(deep, "c"), "").ok());
  EXPECT_EQ(*fs::list_dir(deep), (std::vector<std::string>{"c", "y"}));
  ASSERT_TRUE(fs::sync_dir(deep).ok());
  ASSERT_TRUE(fs::remove_file(y).ok());
  ASSERT_TRUE(fs::remove_dir_all(fs::join(dir.path(), "a")).ok());
  EXPECT_FALSE(fs::exists(deep));
}

template <class T>
IoStatus status_of(IoResult<T> r) {
  if (r.ok()) return {};
  return make_unexpected(r.error());
}

TEST(Files, FailuresCarryTheOsText) {
  testing::TempDir dir;
  const std::string missing = fs::join(dir.path(), "missing");
  const std::string file = fs::join(dir.path(), "f");
  ASSERT_TRUE(fs::write_file(file, "x").ok());
  struct Case {
    const char* name;
    IoStatus status;
    IoErrorKind kind;
  } cases[] = {
      {"remove missing file", fs::remove_file(missing), IoErrorKind::kNotFound},
      {"rename missing", fs::rename(missing, file), IoErrorKind::kNotFound},
      {"create existing dir", fs::create_dir(dir.path()), IoErrorKind::kAlreadyExists},
      {"create_dir_all over a file", fs::create_dir_all(file), IoErrorKind::kAlreadyExists},
      {"list missing dir", status_of(fs::list_dir(missing)), IoErrorKind::kNotFound},
      {"sync missing dir", fs::sync_dir(missing), IoErrorKind::kNotFound},
      {"create_new existing", status_of(File::create_new(file)), IoErrorKind::kAlreadyExists},
      {"open missing", status_of(File::open_read(missing)), IoErrorKind::kNotFound},
  };
  for (const Case& c : cases) {
    ASSERT_FALSE(c.status.ok()) << c.name;
    EXPECT_EQ(c.status.error().kind(), c.kind) << c.name;
    EXPECT_NE(c.status.error().message().find("(os error "), std::string::npos) << c.name;
    EXPECT_NE(c.status.error().os_code(), 0) << c.name;
  }
}

TEST(Files, LockIsExclusive) {
  testing::TempDir dir;
  std::string path = fs::join(dir.path(), ".lock");
  auto a = FileLock::try_lock(path);
  ASSERT_TRUE(a.ok());
  auto b = FileLock::try_lock(path);
  ASSERT_FALSE(b.ok());
  EXPECT_EQ(b.error().kind(), IoErrorKind::kWouldBlock);
  a = FileLock::try_lock(path + "2");  // drops the first lock
  EXPECT_TRUE(FileLock::try_lock(path).ok());
}

TEST(Files, MapFlushAndResidency) {
  testing::TempDir dir;
  std::string path = fs::join(dir.path(), "m.bin");
  auto f = File::create(path);
  ASSERT_TRUE(f.ok());
  ASSERT_TRUE(f->set_len(3 * MemoryMap::page_size()).ok());
  auto m = MemoryMap::map_file(*f, true);
  ASSERT_TRUE(m.ok());
  m->data()[5] = 42;
  ASSERT_TRUE(m->flush().ok());
  EXPECT_GE(*m->resident_pages(0, m->size()), 1u);
  EXPECT_TRUE(m->advise(0, m->size(), MapAdvice::kWillNeed).ok());
  char c;
  ASSERT_TRUE(f->read_exact_at(&c, 1, 5).ok());
  EXPECT_EQ(c, 42);
}

TEST(ClockAndRandom, WallClockAndOsSource) {
  const auto sys_ms = [] {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count());
  };
  const uint64_t before = sys_ms();
  const uint64_t ms = now_ms();
  const uint64_t ns = now_ns();
  const uint64_t after = sys_ms();
  EXPECT_LE(before, ms);
  EXPECT_LE(ms, after);
  EXPECT_LE(ns / 1'000'000, after);
  EXPECT_GE(ns / 1'000'000, before);
  const uint64_t m0 = monotonic_ns();
  sleep_ms(2);
  EXPECT_GE(monotonic_ns() - m0, 2'000'000u);

  // A large request is filled completely (getrandom may return it in parts).
  std::vector<unsigned char> big(1 << 20, 0);
  os_random_bytes(big.data(), big.size());
  size_t zeros = 0;
  for (unsigned char c : big) zeros += c == 0;
  EXPECT_LT(zeros, big.size() / 128);  // about 1/256 expected
  EXPECT_NE(os_random_u64(), os_random_u64());
}

TEST(Panic, CaughtAtBoundaryAndLogged) {
  log::CaptureSink sink;
  std::string msg;
  EXPECT_FALSE(catch_panic([] { panic("broken invariant"); }, &msg));
  EXPECT_EQ(msg, "broken invariant");
  EXPECT_TRUE(sink.contains("broken invariant"));
}

TEST(Log, NothingRecordedWithoutSink) {
  EXPECT_FALSE(log::enabled(log::Level::kError));
  {
    log::CaptureSink sink(log::Level::kWarn);
    EXPECT_TRUE(log::enabled(log::Level::kWarn));
    EXPECT_FALSE(log::enabled(log::Level::kInfo));
    ZV_WARN("tervik::test", "careful", {"k", "v"});
    auto ev = sink.events();
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].target, "tervik::test");
    EXPECT_EQ(ev[0].fields[0].second, "v");
  }
  EXPECT_FALSE(log::enabled(log::Level::kError));
}

}  // namespace
}  // namespace zv

namespace zv {
namespace {

TEST(ThreadName, SetAndReadBackOnTheThreadItself) {
  std::string seen;
  std::thread t([&] {
    ASSERT_TRUE(set_current_thread_name("zv:a-rather-long-thread-name").ok());
    seen = current_thread_name().value();
  });
  t.join();
  EXPECT_EQ(seen, "zv:a-rather-lon");
}

TEST(Panic, CatchPanicCatchesAnythingThrown) {
  std::string message;
  EXPECT_FALSE(catch_panic([] { throw 42; }, &message));
  EXPECT_EQ(message, "unknown panic");
  EXPECT_FALSE(catch_panic([] { panic("broken"); }, &message));
  EXPECT_EQ(message, "broken");
  EXPECT_TRUE(catch_panic([] {}, &message));
}

}  // namespace
}  // namespace zv
