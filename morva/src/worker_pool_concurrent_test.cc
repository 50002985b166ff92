#include <gtest/gtest.h>

#include <cerrno>
#include <mutex>
#include <set>

#include "morva/src/worker_pool.h"
#include "platform/log.h"
#include "platform/panic.h"
#include "platform/thread_name.h"

namespace morva {
namespace {

struct Shared {
  std::shared_ptr<std::atomic<uint64_t>> running = std::make_shared<std::atomic<uint64_t>>(0);
  std::shared_ptr<WorkerBookkeeping> bookkeeping = std::make_shared<WorkerBookkeeping>();
  std::shared_ptr<std::atomic<bool>> poisoned = std::make_shared<std::atomic<bool>>(false);
};

// A worker body that serves messages until Close; a Compact panics.
void serve(WorkerThread& t) {
  while (auto m = t.receiver.recv()) {
    if (m->tag == WorkerMessageTag::kClose) return;
    if (m->tag == WorkerMessageTag::kCompact) zv::panic("compaction blew up");
  }
}

void wait_for_running(const Shared& s, uint64_t n) {
  for (int i = 0; i < 5000 && s.running->load() != n; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_EQ(s.running->load(), n);
}

TEST(WorkerPoolConcurrentTest, OneThreadWithIndexZeroNamedMorvaWorker) {
  WorkerPool pool;
  Shared s;
  std::mutex m;
  std::vector<std::pair<size_t, std::string>> seen;
  auto body = [&](WorkerThread& t) {
    {
      std::lock_guard g(m);
      seen.emplace_back(t.index, zv::current_thread_name().value());
      EXPECT_EQ(t.thread_count, 1u);
    }
    serve(t);
  };
  ASSERT_TRUE(pool.start(1, body, s.running, s.bookkeeping, s.poisoned).ok());
  EXPECT_EQ(pool.thread_count(), 1u);
  ASSERT_TRUE(pool.sender().send(WorkerMessage::close()));
  pool.join();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].first, 0u);
  EXPECT_EQ(seen[0].second, "morva:worker");
  EXPECT_EQ(s.running->load(), 0u);
}

TEST(WorkerPoolConcurrentTest, AFailedSpawnKeepsTheStartedWorkers) {
  WorkerPool pool;
  Shared s;
  int spawned = 0;
  auto factory = [&](std::function<void()> fn) -> zv::IoResult<std::thread> {
    if (++spawned == 3) return zv::make_unexpected(zv::IoError::from_errno(EAGAIN));
    return std::thread(std::move(fn));
  };
  std::mutex m;
  std::set<size_t> indexes;
  auto body = [&](WorkerThread& t) {
    {
      std::lock_guard g(m);
      indexes.insert(t.index);
    }
    serve(t);
  };
  auto st = pool.start(4, body, s.running, s.bookkeeping, s.poisoned, factory);
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.error().kind(), MorvaErrorKind::kIo);
  EXPECT_EQ(st.error().io_error().os_code(), EAGAIN);
  EXPECT_EQ(s.running->load(), 2u);
  EXPECT_EQ(pool.thread_count(), 2u);
  ASSERT_TRUE(pool.sender().send(WorkerMessage::close()));
  ASSERT_TRUE(pool.sender().send(WorkerMessage::close()));
  pool.join();
  EXPECT_EQ(s.running->load(), 0u);
  EXPECT_EQ(indexes, (std::set<size_t>{0, 1}));
}

TEST(WorkerPoolConcurrentTest, APanickingWorkerPoisonsAndTheOthersGoOn) {
  zv::log::CaptureSink logs(zv::log::Level::kError);
  WorkerPool pool;
  Shared s;
  ASSERT_TRUE(pool.start(3, serve, s.running, s.bookkeeping, s.poisoned).ok());
  wait_for_running(s, 3);
  ASSERT_TRUE(pool.sender().send(WorkerMessage::compact(nullptr)));
  wait_for_running(s, 2);
  EXPECT_TRUE(s.poisoned->load());
  EXPECT_TRUE(logs.contains("Poisoning database because of panic in background worker"));
  // The others still take messages.
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(pool.sender().send(WorkerMessage::flush()));
  ASSERT_TRUE(pool.sender().send(WorkerMessage::close()));
  ASSERT_TRUE(pool.sender().send(WorkerMessage::close()));
  pool.join();
  EXPECT_EQ(s.running->load(), 0u);
  EXPECT_EQ(pool.receiver().len(), 0u);
}

TEST(WorkerPoolConcurrentTest, ACleanExitDoesNotPoison) {
  WorkerPool pool;
  Shared s;
  ASSERT_TRUE(pool.start(2, serve, s.running, s.bookkeeping, s.poisoned).ok());
  ASSERT_TRUE(pool.sender().send(WorkerMessage::close()));
  ASSERT_TRUE(pool.sender().send(WorkerMessage::close()));
  pool.join();
  EXPECT_FALSE(s.poisoned->load());
  EXPECT_EQ(s.running->load(), 0u);
}

}  // namespace
}  // namespace morva
