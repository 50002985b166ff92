#include "src/wal/sharded_wal.h"

#include <algorithm>

#include "platform/log.h"
#include "src/wal/wal_shard_files.h"

namespace zv::wal {
namespace {

constexpr const char* kLogTarget = "zolva::wal_sharded";
constexpr const char* kRestartEvent =
    "WAL holds fewer positions than the stored checkpoint; archiving the shards and "
    "restarting positions at 0";
constexpr const char* kPadEvent = "Padding WAL shard with filler records up to round-robin order";
constexpr const char* kNoCheckpointStore =
    "WAL holds fewer positions than the stored checkpoint and no checkpoint store was given";
constexpr const char* kRotationSkippedEvent =
    "WAL rotation postponed: appends kept running past the checkpoint";

ZolvaError shard_failed_error(uint64_t index, const std::string& cause = {}) {
  return ZolvaError::wal("WAL shard " + std::to_string(index) +
                         " stopped accepting records after a failed write or sync; reopen the "
                         "database" +
                         (cause.empty() ? std::string() : ": " + cause));
}

ZolvaStatus check_payloads(std::span<const std::string_view> payloads) {
  for (std::string_view p : payloads) {
    if (p.size() > kMaxPayloadSize) return make_unexpected(payload_too_large(p.size()));
    if (p.empty())
      return make_unexpected(ZolvaError::validation(
          "wal_record", "an empty record cannot be written to the write-ahead log"));
  }
  return {};
}

// Number of positions below `next` that fall on shard i of n.
uint64_t slots_below(uint64_t next, uint64_t i, uint64_t n) {
  return next > i ? (next - i + n - 1) / n : 0;
}

}  // namespace

ShardedWal::ShardedWal(std::string wal_path, uint64_t raw_count, const ShardedWalOptions& options)
    : wal_path_(std::move(wal_path)), raw_count_(raw_count), options_(options) {}

ShardedWal::~ShardedWal() = default;

WalWriterOptions ShardedWal::writer_options() const {
  WalWriterOptions w;
  w.sync_mode = options_.sync_mode;
  w.buffer_size = options_.buffer_size;
  w.sync_every = options_.sync_every;
  w.max_file_size = options_.max_file_size;
  // A shard rotating alone would restart its slots while the others keep
  // theirs; shards rotate together, at a checkpoint.
  w.auto_rotate = false;
  w.validator = options_.validator;
  w.fs = options_.fs;
  return w;
}

std::string ShardedWal::shard_file(uint64_t index) const {
  return shard_path(raw_count_, wal_path_, index);
}

ZolvaResult<std::unique_ptr<ShardedWal>> ShardedWal::open(const std::string& wal_path,
                                                          uint64_t configured_shards,
                                                          const ShardedWalOptions& options,
                                                          uint64_t checkpoint_seq,
                                                          const CheckpointStore& store) {
  FileSystem& fs = options.fs ? *options.fs : FileSystem::os();
  const uint64_t raw = effective_shard_count(fs, wal_path, configured_shards);
  if (raw > kMaxShardCount) return make_unexpected(too_many_shards(raw));
  const uint64_t n = std::max<uint64_t>(raw, 1);
  // The count goes first: a crash while the shards are created (or between
  // a rotation's rename and the fresh file) leaves shards missing, and the
  // count file is what says they belong to the log.
  ZV_TRY(write_shard_count(fs, wal_path, n));
  std::unique_ptr<ShardedWal> wal(new ShardedWal(wal_path, raw, options));
  const WalWriterOptions wopts = wal->writer_options();
  for (uint64_t i = 0; i < n; ++i) {
    auto shard = std::make_unique<Shard>();
    ZV_ASSIGN_OR_RETURN(shard->writer, WalWriter::open(wal->shard_file(i), wopts));
    wal->shards_.push_back(std::move(shard));
  }

  // The next free position: one past the highest position any shard holds.
  uint64_t next = 0;
  for (uint64_t i = 0; i < n; ++i) {
    const uint64_t c = wal->shards_[i]->writer->record_count();
    if (c > 0) next = std::max(next, i + (c - 1) * n + 1);
  }
  if (next < checkpoint_seq) {
    // New appends would take positions below the checkpoint, which recovery
    // skips: positions must restart, and only a store can record that.
    if (!store) return make_unexpected(ZolvaError::wal(kNoCheckpointStore));
    ZV_WARN(kLogTarget, kRestartEvent, {"positions", std::to_string(next)},
            {"checkpoint_seq", std::to_string(checkpoint_seq)});
    ZV_TRY(wal->archive_all_and_restart());
    ZV_TRY(store(0));
    next = 0;
  }
  ZV_TRY(wal->pad_to(next));
  wal->counter_.store(next);
  for (auto& s : wal->shards_) wal->note_size(*s);
  return wal;
}

ZolvaStatus ShardedWal::pad_to(uint64_t next) {
  const uint64_t n = shards_.size();
  for (uint64_t i = 0; i < n; ++i) {
    Shard& s = *shards_[i];
    const uint64_t want = slots_below(next, i, n);
    const uint64_t have = s.writer->record_count();
    if (have < want) {
      ZV_WARN(kLogTarget, kPadEvent, {"path", s.writer->path()},
              {"fillers", std::to_string(want - have)});
      constexpr uint64_t kChunk = 4096;  // bounds the memory of one write
      for (uint64_t left = want - have; left > 0;) {
        const uint64_t k = std::min(left, kChunk);
        std::vector<std::string_view> fillers(k, kFillerPayload);
        ZV_TRY(s.writer->append_batch(fillers));
        left -= k;
      }
      ZV_TRY(s.writer->sync());
    }
    s.next_slot = s.writer->record_count();
  }
  return {};
}

ZolvaStatus ShardedWal::archive_all_and_restart() {
  for (auto& s : shards_) {
    if (s->writer->record_count() > 0) ZV_TRY(s->writer->rotate());
    s->next_slot = 0;
  }
  return {};
}

void ShardedWal::note_size(const Shard& s) {
  if (s.writer->file_size() >= options_.max_file_size)
    rotation_due_.store(true, std::memory_order_relaxed);
}

ZolvaError ShardedWal::append_error(Shard& s, uint64_t index, ZolvaError error) {
  if (!s.failed) return error;
  return shard_failed_error(index, error.message());
}

ZolvaStatus ShardedWal::wait_turn(Shard& s, std::unique_lock<std::mutex>& lock, uint64_t index,
                                  uint64_t slot) {
  s.turn.wait(lock, [&] { return s.failed || s.next_slot == slot; });
  if (s.failed) return make_unexpected(shard_failed_error(index));
  return {};
}

void ShardedWal::fill_slots(Shard& s, uint64_t count) {
  std::vector<std::string_view> fillers(count, kFillerPayload);
  if (s.writer->append_batch(fillers).ok()) {
    s.next_slot += count;
  } else {
    s.failed = true;
  }
}

ZolvaStatus ShardedWal::append(std::string_view payload) {
  ZV_TRY(check_payloads({&payload, 1}));
  AppendGate::Pass pass(gate_);
  const uint64_t n = shards_.size();
  const uint64_t position = counter_.fetch_add(1);
  const uint64_t index = position % n;
  Shard& s = *shards_[index];
  std::unique_lock lock(s.mu);
  ZV_TRY(wait_turn(s, lock, index, position / n));
  ZolvaStatus st = s.writer->append(payload);
  if (st.ok()) {
    ++s.next_slot;
    note_size(s);
  } else {
    fill_slots(s, 1);
    st = make_unexpected(append_error(s, index, std::move(st).error()));
  }
  lock.unlock();
  s.turn.notify_all();
  return st;
}

ZolvaStatus ShardedWal::append_batch(std::span<const std::string_view> payloads) {
  if (payloads.empty()) return {};
  ZV_TRY(check_payloads(payloads));
  AppendGate::Pass pass(gate_);
  const uint64_t n = shards_.size();
  const uint64_t start = counter_.fetch_add(payloads.size());
  // Split by shard; each shard receives consecutive slots.
  std::vector<BatchPart> parts;
  const uint64_t touched = std::min<uint64_t>(n, payloads.size());
  for (uint64_t j = 0; j < touched; ++j) {
    const uint64_t p = start + j;
    parts.push_back({p % n, p / n, {}});
  }
  for (uint64_t j = 0; j < payloads.size(); ++j) parts[j % touched].payloads.push_back(payloads[j]);
  std::sort(parts.begin(), parts.end(),
            [](const BatchPart& a, const BatchPart& b) { return a.shard < b.shard; });

  // Shards are taken in increasing index order and held until the batch is
  // complete, so a failure can undo the parts already written.
  std::vector<std::unique_lock<std::mutex>> locks;
  std::vector<WalWriter::Mark> marks;
  for (size_t k = 0; k < parts.size(); ++k) {
    Shard& s = *shards_[parts[k].shard];
    locks.emplace_back(s.mu);
    ZolvaStatus st = wait_turn(s, locks.back(), parts[k].shard, parts[k].first_slot);
    if (st.ok()) {
      marks.push_back(s.writer->mark());
      st = s.writer->append_batch(parts[k].payloads);
      if (!st.ok()) marks.pop_back();
    }
    if (!st.ok()) return fail_batch(parts, locks, marks, marks.size(), std::move(st).error());
  }
  for (size_t k = 0; k < parts.size(); ++k) {
    shards_[parts[k].shard]->next_slot += parts[k].payloads.size();
    note_size(*shards_[parts[k].shard]);
  }
  locks.clear();
  for (const BatchPart& part : parts) shards_[part.shard]->turn.notify_all();
  return {};
}

// Undoes the parts written so far and puts fillers in every slot the batch
// reserved, so that the shards stay dense and later positions can proceed.
ZolvaStatus ShardedWal::fail_batch(std::vector<BatchPart>& parts,
                                   std::vector<std::unique_lock<std::mutex>>& locks,
                                   std::vector<WalWriter::Mark>& marks, size_t written,
                                   ZolvaError error) {
  for (size_t k = 0; k < written; ++k) {
    Shard& s = *shards_[parts[k].shard];
    if (!s.writer->roll_back_to(marks[k]).ok()) s.failed = true;
  }
  const size_t held = locks.size();
  bool stopped = false;
  for (size_t k = 0; k < held; ++k) {
    Shard& s = *shards_[parts[k].shard];
    if (!s.failed) fill_slots(s, parts[k].payloads.size());
    stopped = stopped || s.failed;
  }
  locks.clear();
  for (size_t k = 0; k < held; ++k) shards_[parts[k].shard]->turn.notify_all();
  // The other parts one shard at a time, holding nothing else while waiting
  // for a turn: a stopped shard lets appends in out of turn, and one of
  // those may hold a lock an earlier position needs.
  for (size_t k = held; k < parts.size(); ++k) {
    Shard& s = *shards_[parts[k].shard];
    std::unique_lock lock(s.mu);
    s.turn.wait(lock, [&] { return s.failed || s.next_slot == parts[k].first_slot; });
    if (!s.failed) fill_slots(s, parts[k].payloads.size());
    stopped = stopped || s.failed;
    lock.unlock();
    s.turn.notify_all();
  }
  if (stopped) {
    return make_unexpected(ZolvaError::wal(
        "WAL batch stopped a shard after a failed write or sync; reopen the database: " +
        error.message()));
  }
  return make_unexpected(std::move(error));
}

uint64_t ShardedWal::total_records() {
  uint64_t sum = 0;
  for (auto& s : shards_) {
    std::scoped_lock lock(s->mu);
    sum += s->writer->record_count();
  }
  return sum;
}

ZolvaStatus ShardedWal::sync_and_reopen_all() {
  const WalWriterOptions wopts = writer_options();
  ZolvaStatus first_error;
  for (uint64_t i = 0; i < shards_.size(); ++i) {
    Shard& s = *shards_[i];
    std::scoped_lock lock(s.mu);
    if (s.failed) {
      // Its buffer may hold acknowledged records that never reached the
      // file: nothing may report this log as synced.
      if (first_error.ok()) first_error = make_unexpected(shard_failed_error(i));
      continue;
    }
    ZolvaStatus st = s.writer->sync();
    if (st.ok()) {
      const std::string path = s.writer->path();
      const uint64_t slots = s.next_slot;
      s.writer.reset();  // closes the old handle before the file is scanned
      auto reopened = WalWriter::open(path, wopts);
      if (reopened.ok() && (*reopened)->record_count() == slots) {
        s.writer = std::move(reopened).value();
        continue;
      }
      st = reopened.ok() ? make_unexpected(ZolvaError::wal(
                               "WAL shard " + path + " changed its record count on reopen"))
                         : make_unexpected(std::move(reopened).error());
      // Without a writer the shard cannot even take fillers.
      if (!s.writer) {
        auto again = WalWriter::open(path, wopts);
        if (again.ok()) s.writer = std::move(again).value();
      }
    }
    s.failed = true;
    s.turn.notify_all();
    if (first_error.ok()) first_error = make_unexpected(shard_failed_error(i, st.error().message()));
  }
  return first_error;
}

ZolvaStatus ShardedWal::wait_written(uint64_t upto,
                                     std::chrono::steady_clock::time_point deadline) {
  const uint64_t n = shards_.size();
  for (uint64_t i = 0; i < n; ++i) {
    Shard& s = *shards_[i];
    const uint64_t want = slots_below(upto, i, n);
    std::unique_lock lock(s.mu);
    const bool done =
        s.turn.wait_until(lock, deadline, [&] { return s.failed || s.next_slot >= want; });
    if (s.failed) return make_unexpected(shard_failed_error(i));
    if (!done) {
      return make_unexpected(ZolvaError::wal(
          "WAL checkpoint at position " + std::to_string(upto) +
          " timed out waiting for the appends below it (shard " + std::to_string(i) + ")"));
    }
  }
  return {};
}

ZolvaStatus ShardedWal::checkpoint(uint64_t upto, const CheckpointStore& store) {
  std::scoped_lock one_at_a_time(checkpoint_mu_);
  const auto deadline = std::chrono::steady_clock::now() + options_.checkpoint_wait;
  if (upto > counter_.load()) {
    return make_unexpected(ZolvaError::wal("WAL checkpoint at position " + std::to_string(upto) +
                                           " beyond the " + std::to_string(counter_.load()) +
                                           " positions handed out"));
  }
  // A rotation needs a moment with no append in flight: new appends wait at
  // the gate (from now, so that few can draw positions past `upto`) while
  // those inside finish.
  bool closed = rotation_due_.load() && gate_.close(options_.rotation_wait);
  ZolvaStatus st = wait_written(upto, deadline);
  if (closed && counter_.load() != upto) {
    // Records past `upto` exist: no rotation this time, and appends need
    // not wait for the store.
    ZV_WARN(kLogTarget, kRotationSkippedEvent, {"checkpoint", std::to_string(upto)},
            {"positions", std::to_string(counter_.load())});
    gate_.open();
    closed = false;
  }
  if (st.ok()) st = store(upto);
  if (st.ok() && closed) st = rotate_all(upto, store);
  if (closed) gate_.open();
  return st;
}

// Runs with the gate closed and every position below `upto` (all there are)
// written and covered by the stored checkpoint: the files can go.
ZolvaStatus ShardedWal::rotate_all(uint64_t upto, const CheckpointStore& store) {
  std::vector<std::unique_lock<std::mutex>> locks;
  for (auto& s : shards_) locks.emplace_back(s->mu);
  for (auto& s : shards_) {
    if (s->failed) return {};  // the next open sorts the files out
  }
  auto stop_all = [&] {
    for (auto& t : shards_) t->failed = true;
    for (auto& t : shards_) t->turn.notify_all();
  };
  // The shard holding the last position goes first, so that an interrupted
  // rotation leaves fewer positions than the checkpoint, which the next open
  // recognises.
  const uint64_t n = shards_.size();
  const uint64_t first = upto == 0 ? 0 : (upto - 1) % n;
  for (uint64_t k = 0; k < n; ++k) {
    Shard& s = *shards_[(first + k) % n];
    if (s.writer->record_count() == 0) continue;
    ZolvaStatus st = s.writer->rotate();
    if (!st.ok()) {
      stop_all();
      return st;
    }
    s.next_slot = 0;
  }
  counter_.store(0);
  rotation_due_.store(false);
  ZolvaStatus st = store(0);
  // The stored checkpoint still counts the archived records: new positions
  // would be skipped by recovery. Refuse appends until the log is reopened.
  if (!st.ok()) stop_all();
  return st;
}

}  // namespace zv::wal
