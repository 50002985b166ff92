// Keyspace: one named LSM tree of a database, with its stored options and a
// small numeric id, sharing the database's journal, counters, snapshot
// tracker and workers. The handle is cheap to copy (one shared pointer to
// KeyspaceInner). Single-key writes go journal first, then the active
// memtable, then become visible, all under the journal writer lock; after it
// a full memtable is offered to the workers for sealing and the write stall
// holds the writer back while the tree is overloaded. Thread-safe.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "morva/src/error.h"
#include "morva/src/keyspace_handle.h"
#include "morva/src/keyspace_options.h"
#include "morva/src/locked_file.h"
#include "morva/src/worker_message.h"
#include "morva/src/worker_pool.h"
#include "tervik/core/value_type.h"
#include "tervik/tree/tree_handle.h"

namespace morva {

struct WorkerContext;
struct DatabaseState;

inline constexpr const char* kKeyspaceLogTarget = "morva::keyspace";
inline constexpr size_t kMaxKeyLength = 65'535;
inline constexpr uint64_t kMaxValueLength = 0xFFFF'FFFFull;
inline constexpr const char* kPersistFailedMessage =
    "persist failed, which is a FATAL, and possibly hardware-related, failure: ";

// Write-stall thresholds: level-0 runs from which writers spin, from which
// they sleep, and the sealed memtables from which they sleep.
inline constexpr size_t kStallL0Spin = 20;
inline constexpr size_t kStallL0Sleep = 30;
inline constexpr size_t kStallSealedMemtables = 4;
inline constexpr uint64_t kStallSpinPerRun = 10'000;

// Refuses, with Io of kind invalid input naming the length, a key outside 1
// to 65,535 bytes and a value of 2^32 bytes or more. Runs before anything is
// journaled or numbered.
MorvaStatus check_write_lengths(size_t key_length, uint64_t value_length);

class KeyspaceInner final : public KeyspaceHandle, public std::enable_shared_from_this<KeyspaceInner> {
 public:
  KeyspaceInner(uint64_t id, std::string name, KeyspaceCreateOptions options, tervik::TreeHandle tree,
                const DatabaseState& db);
  ~KeyspaceInner() override;

  std::string name() const override { return name_; }
  std::optional<uint64_t> highest_persisted_seqno() const override {
    return tree.index().get_highest_persisted_seqno();
  }

  const KeyspaceCreateOptions options;
  const std::shared_ptr<std::atomic<bool>> poisoned;
  const std::shared_ptr<WorkerContext> ctx;
  const std::shared_ptr<WorkerBookkeeping> bookkeeping;
  mutable WorkerSender sender;
  const std::shared_ptr<LockedFile> lock_file;
  const std::shared_ptr<std::atomic<uint64_t>> running_workers;
  const uint64_t id;
  const std::string name_;
  const tervik::TreeHandle tree;
  // Nanoseconds writers of this keyspace spent held back by the write stall
  // (a statistic).
  mutable std::atomic<uint64_t> stall_nanos{0};
};

class Keyspace {
 public:
  Keyspace() = default;
  explicit Keyspace(std::shared_ptr<KeyspaceInner> inner) : inner_(std::move(inner)) {}

  // Makes the keyspace's folder (keyspaces/<id>, synced up to the first
  // folder that existed) and opens its tree with the options applied.
  static MorvaResult<Keyspace> create_new(uint64_t id, const DatabaseState& db, std::string name,
                                          KeyspaceCreateOptions options);

  MorvaStatus insert(std::string_view key, std::string_view value) const;
  MorvaStatus remove(std::string_view key) const;

  // The newest value of `key` visible below `snapshot`; none when absent or
  // deleted. Separated values are read from their blob files.
  MorvaResult<std::optional<std::string>> get(std::string_view key, tervik::SeqNo snapshot) const;
  // The same at the database's visible sequence number.
  MorvaResult<std::optional<std::string>> get(std::string_view key) const;

  // Offers the workers a Rotate of the active memtable, without waiting.
  void request_rotation() const;
  // Holds the caller back while level 0 or the sealed memtables are too
  // many; ends at once when the database is poisoned or no worker runs.
  void check_write_stall() const;
  // The rotation request when the active memtable is over its limit, then
  // the write stall: what follows every write.
  void after_write(uint64_t memtable_size) const;

  uint64_t id() const { return inner_->id; }
  const std::string& name() const { return inner_->name_; }
  const tervik::TreeHandle& tree() const { return inner_->tree; }
  const KeyspaceCreateOptions& options() const { return inner_->options; }
  const std::shared_ptr<KeyspaceInner>& inner() const { return inner_; }
  bool operator==(const Keyspace& o) const { return inner_ == o.inner_; }

 private:
  MorvaStatus write(std::string_view key, std::string_view value, tervik::ValueType type) const;

  std::shared_ptr<KeyspaceInner> inner_;
};

}  // namespace morva
