// Shorthands of the tree tests: a tree folder in a temporary directory with
// its sequence counters, opening (and reopening) it, writing entries, and a
// version-file layer whose folder syncs can be held. Test-only.
#pragma once

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "platform/fs.h"
#include "platform/panic.h"
#include "platform/testing/temp_dir.h"
#include "tervik/tree/tree_handle.h"

namespace tervik::testing {

class TreeDir {
 public:
  explicit TreeDir(std::string sub = "tree") : path_(zv::fs::join(dir_.path(), sub)) {}
  const std::string& path() const { return path_; }
  std::string tables() const { return zv::fs::join(path_, "tables"); }
  TreeConfig config() const { return TreeConfig::create(path_, seqno, visible); }
  Tree open(VersionFs& fs = VersionFs::os()) const {
    auto t = Tree::open(config(), fs);
    if (!t.ok()) zv::panic("open tree: " + t.error().to_string());
    return *t;
  }

  SeqNoCounter seqno{1};
  SeqNoCounter visible{1};

 private:
  zv::testing::TempDir dir_;
  std::string path_;
};

// The configuration with key-value separation (a blob tree).
inline TreeConfig separated(TreeConfig config) {
  config.kv_separation_opts = KvSeparationOptions{};
  return config;
}

inline void put(const Tree& t, std::string_view key, std::string_view value, SeqNo s) {
  t.append_entry(InternalValue::new_value(Slice(key), Slice(value), s));
}

// The value of `key` at `snapshot` as text; "<none>" or "<error>".
inline std::string read(const Tree& t, std::string_view key, SeqNo snapshot) {
  auto r = t.get(key, snapshot);
  if (!r.ok()) return "<error>";
  if (!r->has_value()) return "<none>";
  return std::string((*r)->value.view());
}

// The OS layer, but sync_dir blocks while `hold` is set (counting the
// callers that wait), so that a test can catch an install inside its persist.
class HoldingFs : public VersionFs {
 public:
  zv::IoStatus sync_dir(const std::string& path) override {
    {
      std::unique_lock lock(mu_);
      if (hold_) {
        ++waiting_;
        cv_.notify_all();
        cv_.wait(lock, [&] { return !hold_; });
        --waiting_;
      }
    }
    return VersionFs::sync_dir(path);
  }
  void hold() {
    std::lock_guard lock(mu_);
    hold_ = true;
  }
  void release() {
    std::lock_guard lock(mu_);
    hold_ = false;
    cv_.notify_all();
  }
  void wait_for_holder() {
    std::unique_lock lock(mu_);
    cv_.wait(lock, [&] { return waiting_ > 0; });
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool hold_ = false;
  int waiting_ = 0;
};

// Version files fail from the `fail_from`-th creation on.
class CreateFailingFs : public VersionFs {
 public:
  int fail_from = 0;  // 0: never
  int creates = 0;
  zv::IoResult<zv::File> create(const std::string& path) override {
    if (fail_from > 0 && ++creates >= fail_from) {
      return zv::make_unexpected(zv::IoError(zv::IoErrorKind::kOther, "injected failure"));
    }
    return VersionFs::create(path);
  }
};

// The seqno each of several writing threads is at or past while a write is
// under way. A snapshot at or below all of them sees only finished writes, as
// the key-value engine's published seqno does.
class InFlightWrites {
 public:
  explicit InFlightWrites(size_t writers) : at_(writers) {
    for (auto& a : at_) a.store(UINT64_MAX);
  }
  // Before drawing the write's seqno from `seqno`.
  void begin(size_t writer, const SeqNoCounter& seqno) { at_[writer].store(seqno.get()); }
  // Once the write is done (and recorded wherever the test records it).
  void end(size_t writer) { at_[writer].store(UINT64_MAX); }
  SeqNo stable_snapshot(const SeqNoCounter& seqno) const {
    SeqNo s = seqno.get();
    for (const auto& a : at_) s = std::min(s, a.load());
    return s;
  }

 private:
  std::vector<std::atomic<SeqNo>> at_;
};

}  // namespace tervik::testing
