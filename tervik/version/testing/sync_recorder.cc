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
#include <fcntl.h>
#include <stdarg.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <map>
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

// The folder whose changes are recorded, with their bytes (empty: none).
struct FsRecording {
  std::string root;
  std::vector<FsEvent> events;
  struct Open {
    bool dir = false;
    uint64_t file = 0;
    std::string path;
  };
  std::map<int, Open> fds;
  std::map<std::string, uint64_t> files;  // live path -> file id
  uint64_t next_file = 1;
};
// Held across each recorded call and its record, so that the events come
// in the order their effects took place.
std::mutex g_fs_mu;
std::atomic<bool> g_fs_on{false};

FsRecording& fs_recording() {
  static FsRecording r;
  return r;
}

[[maybe_unused]] bool under_root(const char* path) {
  if (!g_fs_on.load() || path == nullptr) return false;
  const std::string& root = fs_recording().root;
  const std::string p(path);
  return p.size() >= root.size() && p.compare(0, root.size(), root) == 0 &&
         (p.size() == root.size() || p[root.size()] == '/');
}

[[maybe_unused]] FsRecording::Open* tracked(int fd) {
  if (!g_fs_on.load()) return nullptr;
  auto it = fs_recording().fds.find(fd);
  return it == fs_recording().fds.end() ? nullptr : &it->second;
}

[[maybe_unused]] void add_event(FsEvent e) { fs_recording().events.push_back(std::move(e)); }

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

SyncRecorder::SyncRecorder(std::string folder) : SyncRecorder() {
  std::lock_guard lock(g_fs_mu);
  fs_recording() = FsRecording();
  fs_recording().root = std::move(folder);
  g_fs_on.store(true);
}

SyncRecorder::~SyncRecorder() {
  std::lock_guard fs_lock(g_fs_mu);
  g_fs_on.store(false);
  fs_recording() = FsRecording();
  std::lock_guard lock(g_mu);
  g_on.store(false);
  events_store().clear();
}

std::vector<FsEvent> SyncRecorder::fs_events() const {
  std::lock_guard lock(g_fs_mu);
  return fs_recording().events;
}

size_t SyncRecorder::fs_event_count() const {
  std::lock_guard lock(g_fs_mu);
  return fs_recording().events.size();
}

void SyncRecorder::mark(uint64_t n) {
  std::lock_guard lock(g_fs_mu);
  FsEvent e;
  e.kind = FsEvent::Kind::kMark;
  e.offset = n;
  add_event(std::move(e));
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
namespace {

template <class Fn>
Fn real_fn(const char* name) {
  return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

using tervik::testing::add_event;
using tervik::testing::FsEvent;
using tervik::testing::fs_recording;
using tervik::testing::g_fs_mu;
using tervik::testing::tracked;
using tervik::testing::under_root;

void record_sync(int fd) {
  if (tervik::testing::g_on.load()) tervik::testing::record("sync " + tervik::testing::fd_path(fd));
  if (auto* open = tracked(fd)) {
    FsEvent e;
    e.kind = open->dir ? FsEvent::Kind::kSyncDir : FsEvent::Kind::kSync;
    e.path = open->path;
    e.file = open->file;
    add_event(std::move(e));
  }
}

void record_write(int fd, const void* buf, ssize_t written, uint64_t offset) {
  auto* open = tracked(fd);
  if (open == nullptr || open->dir || written <= 0) return;
  FsEvent e;
  e.kind = FsEvent::Kind::kWrite;
  e.file = open->file;
  e.offset = offset;
  e.bytes.assign(static_cast<const char*>(buf), static_cast<size_t>(written));
  add_event(std::move(e));
}

void record_path(FsEvent::Kind kind, const char* path) {
  FsEvent e;
  e.kind = kind;
  e.path = path;
  add_event(std::move(e));
}

}  // namespace

extern "C" {

int open(const char* path, int flags, ...) {
  using Fn = int (*)(const char*, int, ...);
  static Fn real = real_fn<Fn>("open");
  mode_t mode = 0;
  if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
    va_list ap;
    va_start(ap, flags);
    mode = static_cast<mode_t>(va_arg(ap, int));
    va_end(ap);
  }
  if (!under_root(path)) return real(path, flags, mode);
  std::lock_guard lock(g_fs_mu);
  const bool existed = ::access(path, F_OK) == 0;
  const int fd = real(path, flags, mode);
  if (fd < 0 || !under_root(path)) return fd;
  struct stat st;
  if (::fstat(fd, &st) != 0) return fd;
  auto& rec = fs_recording();
  if (S_ISDIR(st.st_mode)) {
    rec.fds[fd] = {true, 0, path};
    return fd;
  }
  uint64_t id = 0;
  if (auto it = rec.files.find(path); existed && it != rec.files.end()) {
    id = it->second;
    if ((flags & O_TRUNC) != 0) {
      FsEvent e;
      e.kind = FsEvent::Kind::kTruncate;
      e.file = id;
      add_event(std::move(e));
    }
  } else {
    // New, or there before the recording began (then its content is
    // unknown and counts as empty).
    id = rec.next_file++;
    rec.files[path] = id;
    FsEvent e;
    e.kind = FsEvent::Kind::kCreate;
    e.path = path;
    e.file = id;
    add_event(std::move(e));
  }
  rec.fds[fd] = {false, id, path};
  return fd;
}

int close(int fd) {
  using Fn = int (*)(int);
  static Fn real = real_fn<Fn>("close");
  if (tervik::testing::g_fs_on.load()) {
    std::lock_guard lock(g_fs_mu);
    fs_recording().fds.erase(fd);
  }
  return real(fd);
}

ssize_t pwrite(int fd, const void* buf, size_t n, off_t offset) {
  using Fn = ssize_t (*)(int, const void*, size_t, off_t);
  static Fn real = real_fn<Fn>("pwrite");
  if (!tervik::testing::g_fs_on.load()) return real(fd, buf, n, offset);
  std::lock_guard lock(g_fs_mu);
  const ssize_t w = real(fd, buf, n, offset);
  record_write(fd, buf, w, static_cast<uint64_t>(offset));
  return w;
}

ssize_t write(int fd, const void* buf, size_t n) {
  using Fn = ssize_t (*)(int, const void*, size_t);
  static Fn real = real_fn<Fn>("write");
  if (!tervik::testing::g_fs_on.load()) return real(fd, buf, n);
  std::lock_guard lock(g_fs_mu);
  if (tracked(fd) == nullptr) return real(fd, buf, n);
  off_t offset = ::lseek(fd, 0, SEEK_CUR);
  if ((::fcntl(fd, F_GETFL) & O_APPEND) != 0) {
    struct stat st;
    if (::fstat(fd, &st) == 0) offset = st.st_size;
  }
  const ssize_t w = real(fd, buf, n);
  record_write(fd, buf, w, static_cast<uint64_t>(offset));
  return w;
}

int ftruncate(int fd, off_t length) noexcept {
  using Fn = int (*)(int, off_t);
  static Fn real = real_fn<Fn>("ftruncate");
  if (!tervik::testing::g_fs_on.load()) return real(fd, length);
  std::lock_guard lock(g_fs_mu);
  const int r = real(fd, length);
  auto* open = tracked(fd);
  if (r == 0 && open != nullptr && !open->dir) {
    FsEvent e;
    e.kind = FsEvent::Kind::kTruncate;
    e.file = open->file;
    e.offset = static_cast<uint64_t>(length);
    add_event(std::move(e));
  }
  return r;
}

int fsync(int fd) {
  using Fn = int (*)(int);
  static Fn real = real_fn<Fn>("fsync");
  std::lock_guard lock(g_fs_mu);
  const int r = real(fd);
  if (r == 0) record_sync(fd);
  return r;
}

int fdatasync(int fd) {
  using Fn = int (*)(int);
  static Fn real = real_fn<Fn>("fdatasync");
  std::lock_guard lock(g_fs_mu);
  const int r = real(fd);
  if (r == 0) record_sync(fd);
  return r;
}

int rename(const char* from, const char* to) noexcept {
  using Fn = int (*)(const char*, const char*);
  static Fn real = real_fn<Fn>("rename");
  if (tervik::testing::g_on.load()) tervik::testing::record(std::string("rename ") + to);
  if (!under_root(to) && !under_root(from)) return real(from, to);
  std::lock_guard lock(g_fs_mu);
  const int r = real(from, to);
  if (r == 0) {
    auto& files = fs_recording().files;
    if (auto it = files.find(from); it != files.end()) {
      files[to] = it->second;
      files.erase(from);
    }
    FsEvent e;
    e.kind = FsEvent::Kind::kRename;
    e.path = from;
    e.target = to;
    add_event(std::move(e));
  }
  return r;
}

int unlink(const char* path) noexcept {
  using Fn = int (*)(const char*);
  static Fn real = real_fn<Fn>("unlink");
  if (!under_root(path)) return real(path);
  std::lock_guard lock(g_fs_mu);
  const int r = real(path);
  if (r == 0) {
    fs_recording().files.erase(path);
    record_path(FsEvent::Kind::kUnlink, path);
  }
  return r;
}

int mkdir(const char* path, mode_t mode) noexcept {
  using Fn = int (*)(const char*, mode_t);
  static Fn real = real_fn<Fn>("mkdir");
  if (!under_root(path)) return real(path, mode);
  std::lock_guard lock(g_fs_mu);
  const int r = real(path, mode);
  if (r == 0) record_path(FsEvent::Kind::kMkdir, path);
  return r;
}

int rmdir(const char* path) noexcept {
  using Fn = int (*)(const char*);
  static Fn real = real_fn<Fn>("rmdir");
  if (!under_root(path)) return real(path);
  std::lock_guard lock(g_fs_mu);
  const int r = real(path);
  if (r == 0) record_path(FsEvent::Kind::kRmdir, path);
  return r;
}

}  // extern "C"
#endif
