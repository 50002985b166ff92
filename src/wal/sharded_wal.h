// ShardedWal: the write-ahead log of an open database. Records are dealt
// round-robin over N shard files, each a WalWriter behind its own mutex; the
// record at slot j of shard i has the global position i + j*N. Each shard
// takes its positions strictly in order (an append waits for the earlier
// positions of its shard), a failed append leaves a filler record in its
// slot, and open pads short shards with fillers, so the files always hold
// dense slots and recovery replays every record in the order its append was
// acknowledged. A shard whose write or sync fails beyond repair stops taking
// records until the log is reopened. Safe for any number of appending
// threads; checkpoints come from one caller at a time.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "src/foundation/error.h"
#include "src/wal/append_gate.h"
#include "src/wal/wal_format.h"
#include "src/wal/wal_shard_files.h"
#include "src/wal/wal_writer.h"

namespace zv::wal {

struct ShardedWalOptions {
  uint8_t sync_mode = static_cast<uint8_t>(SyncMode::kEveryNth);
  uint64_t buffer_size = kDefaultBufferSize;
  std::optional<uint64_t> sync_every;
  // Shards are archived together, at a checkpoint, once one reaches this size.
  uint64_t max_file_size = kMaxFileSize;
  PayloadValidator validator = nullptr;
  FileSystem* fs = nullptr;  // null: the operating system's files
  // How long a checkpoint waits for the appends below its position.
  std::chrono::milliseconds checkpoint_wait{5000};
  // How long a rotation waits for the appends in flight before it gives up
  // until the next checkpoint; new appends wait for it meanwhile.
  std::chrono::milliseconds rotation_wait{500};
};

// Stores the engine's checkpoint position durably (the engine's
// "checkpoint_seq"): records at positions below it are reflected in the
// stored data and are not replayed.
using CheckpointStore = std::function<ZolvaStatus(uint64_t checkpoint_seq)>;

class ShardedWal {
 public:
  // Opens (creating when missing) every shard of the log at `wal_path`,
  // repairs torn tails, writes the count file, and pads short shards with
  // fillers so that appends continue at the next free position.
  // `checkpoint_seq` is the stored checkpoint: when the files hold fewer
  // positions than it (a rotation was interrupted, or unsynced records were
  // lost), every record present is already reflected, so the shards are
  // archived, positions restart at 0 and `store(0)` records that (a Wal error
  // when no store is given).
  static ZolvaResult<std::unique_ptr<ShardedWal>> open(const std::string& wal_path,
                                                       uint64_t configured_shards,
                                                       const ShardedWalOptions& options,
                                                       uint64_t checkpoint_seq = 0,
                                                       const CheckpointStore& store = nullptr);
  ~ShardedWal();

  // Appends one record; returns once it is written (and synced as the sync
  // policy says). A failure leaves nothing of the record in the log.
  ZolvaStatus append(std::string_view payload);
  // Appends records at consecutive positions; all of them or none.
  ZolvaStatus append_batch(std::span<const std::string_view> payloads);

  // Slots the shard writers hold (records and fillers of the current files).
  // Not a checkpoint value: while appends run it can count a position whose
  // predecessor is still in flight.
  uint64_t total_records();
  // Positions given to appends so far (since open or the last rotation).
  // Exact while the caller keeps every appender out; the value to pass to
  // checkpoint() once the records below it are reflected in stored data.
  uint64_t positions_handed_out() const { return counter_.load(); }
  // Syncs every shard and reopens it in place. A shard stopped by a failed
  // write or sync fails it with that shard's Wal error: its buffer may have
  // held acknowledged records that never reached the file.
  ZolvaStatus sync_and_reopen_all();
  // The log's side of a checkpoint at `upto`: every record below it is
  // reflected in durable stored data. Waits (up to checkpoint_wait) until
  // every position below `upto` is written, then stores `upto`. A Wal error,
  // storing nothing, when a shard is stopped or the wait runs out. When a
  // shard has reached the rotation size, appends are held back for a moment
  // (up to rotation_wait) and, if no record at or above `upto` exists, all
  // shards are archived together, positions restart at 0 and 0 is stored.
  ZolvaStatus checkpoint(uint64_t upto, const CheckpointStore& store);

  uint64_t shard_count() const { return shards_.size(); }
  const std::string& wal_path() const { return wal_path_; }
  std::string shard_file(uint64_t index) const;

 private:
  struct Shard {
    std::mutex mu;  // protects writer, next_slot, failed
    std::condition_variable turn;  // signalled when next_slot or failed change
    std::unique_ptr<WalWriter> writer;
    uint64_t next_slot = 0;  // slot the next position of this shard must fill
    bool failed = false;     // no further writes until the log is reopened
  };
  struct BatchPart {
    uint64_t shard;
    uint64_t first_slot;
    std::vector<std::string_view> payloads;
  };

  ShardedWal(std::string wal_path, uint64_t raw_count, const ShardedWalOptions& options);
  WalWriterOptions writer_options() const;
  ZolvaStatus archive_all_and_restart();
  ZolvaStatus pad_to(uint64_t next_position);
  // Waits until `slot` is the shard's next one; an error if the shard failed.
  ZolvaStatus wait_turn(Shard& s, std::unique_lock<std::mutex>& lock, uint64_t index,
                        uint64_t slot);
  // Fills `count` slots with fillers after a failed append; marks the shard
  // failed when even that cannot be written.
  void fill_slots(Shard& s, uint64_t count);
  // After an append on shard `index` failed with `error`: the error to
  // return, the shard's Wal error when the failure stopped the shard.
  ZolvaError append_error(Shard& s, uint64_t index, ZolvaError error);
  void note_size(const Shard& s);
  ZolvaStatus wait_written(uint64_t upto, std::chrono::steady_clock::time_point deadline);
  ZolvaStatus rotate_all(uint64_t upto, const CheckpointStore& store);
  ZolvaStatus fail_batch(std::vector<BatchPart>& parts,
                         std::vector<std::unique_lock<std::mutex>>& locks,
                         std::vector<WalWriter::Mark>& marks, size_t written, ZolvaError error);

  std::string wal_path_;
  uint64_t raw_count_;
  ShardedWalOptions options_;
  std::vector<std::unique_ptr<Shard>> shards_;
  std::atomic<uint64_t> counter_{0};  // next position to hand out
  std::atomic<bool> rotation_due_{false};  // a shard reached max_file_size
  AppendGate gate_;  // appends pass shared; a rotation closes it
  std::mutex checkpoint_mu_;  // one checkpoint at a time
};

}  // namespace zv::wal
