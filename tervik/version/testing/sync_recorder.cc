#include "tervik/version/testing/sync_recorder.h"

#if defined(__has_feature)
#if __has_feature(thread_sanitizer) || __has_feature(address_sanitizer)
#define ZV_SYNC_RECORDER_OFF 1
#endif
#endif
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
#define ZV_SYNC_RECORDER_OFF 1
#endif

#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <mutex>

namespace tervik::testing {

namespace {
std::atomic<bool> g_on{false};
std::mutex g_mu;  // protects events()

std::vector<std::string>& events_store() {
  static std::vector<std::string> events;
  return events;
}

[[maybe_unused]] void record(const std::string& event) {
  std::lock_guard lock(g_mu);
  if (g_on.load()) events_store().push_back(event);
}

[[maybe_unused]] std::string fd_path(int fd) {
  char link[64];
  std::snprintf(link, sizeof(link), "/proc/self/fd/%d", fd);
  char buf[4096];
  const ssize_t n = ::readlink(link, buf, sizeof(buf) - 1);
  return n < 0 ? std::string("?") : std::string(buf, static_cast<size_t>(n));
}
}  // namespace

SyncRecorder::SyncRecorder() {
  std::lock_guard lock(g_mu);
  events_store().clear();
  g_on.store(true);
}

SyncRecorder::~SyncRecorder() {
  std::lock_guard lock(g_mu);
  g_on.store(false);
  events_store().clear();
}

std::vector<std::string> SyncRecorder::events() const {
  std::lock_guard lock(g_mu);
  return events_store();
}

#ifdef ZV_SYNC_RECORDER_OFF
bool SyncRecorder::available() { return false; }
#else
bool SyncRecorder::available() { return true; }
#endif

}  // namespace tervik::testing

#ifndef ZV_SYNC_RECORDER_OFF
extern "C" {

int fsync(int fd) {
  using Fn = int (*)(int);
  static Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "fsync"));
  if (tervik::testing::g_on.load()) tervik::testing::record("sync " + tervik::testing::fd_path(fd));
  return real(fd);
}

int fdatasync(int fd) {
  using Fn = int (*)(int);
  static Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "fdatasync"));
  if (tervik::testing::g_on.load()) tervik::testing::record("sync " + tervik::testing::fd_path(fd));
  return real(fd);
}

int rename(const char* from, const char* to) noexcept {
  using Fn = int (*)(const char*, const char*);
  static Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "rename"));
  if (tervik::testing::g_on.load()) tervik::testing::record(std::string("rename ") + to);
  return real(from, to);
}

}  // extern "C"
#endif
