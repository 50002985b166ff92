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
constexpr const char* kCheckpointBusy = "WAL checkpoint while appends are in flight";

ZolvaError shard_failed_error(uint64_t index) {
  return ZolvaError::wal("WAL shard " + std::to_string(index) +
                         " stopped accepting records after a failed write; reopen the database");
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
  std::unique_ptr<ShardedWal> wal(new ShardedWal(wal_path, raw, options));
  const WalWriterOptions wopts = wal->writer_options();
  for (uint64_t i = 0; i < n; ++i) {
    auto shard = std::make_unique<Shard>();
    ZV_ASSIGN_OR_RETURN(shard->writer, WalWriter::open(wal->shard_file(i), wopts));
    wal->shards_.push_back(std::move(shard));
  }
  ZV_TRY(write_shard_count(fs, wal_path, n));

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
  const uint64_t n = shards_.size();
  const uint64_t position = counter_.fetch_add(1);
  const uint64_t index = position % n;
  Shard& s = *shards_[index];
  std::unique_lock lock(s.mu);
  ZV_TRY(wait_turn(s, lock, index, position / n));
  ZolvaStatus st = s.writer->append(payload);
  if (st.ok()) {
    ++s.next_slot;
  } else {
    fill_slots(s, 1);
  }
  lock.unlock();
  s.turn.notify_all();
  return st;
}

ZolvaStatus ShardedWal::append_batch(std::span<const std::string_view> payloads) {
  if (payloads.empty()) return {};
  ZV_TRY(check_payloads(payloads));
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
  for (size_t k = 0; k < parts.size(); ++k) {
    Shard& s = *shards_[parts[k].shard];
    if (k >= locks.size()) {
      locks.emplace_back(s.mu);
      s.turn.wait(locks.back(), [&] { return s.failed || s.next_slot == parts[k].first_slot; });
    }
    if (!s.failed) fill_slots(s, parts[k].payloads.size());
  }
  locks.clear();
  for (const BatchPart& part : parts) shards_[part.shard]->turn.notify_all();
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
  for (auto& s : shards_) {
    std::scoped_lock lock(s->mu);
    if (s->failed) continue;
    ZV_TRY(s->writer->sync());
    const std::string path = s->writer->path();
    const uint64_t slots = s->next_slot;
    s->writer.reset();  // closes the old handle before the file is scanned
    auto reopened = WalWriter::open(path, wopts);
    if (!reopened.ok() || (*reopened)->record_count() != slots) {
      s->failed = true;
      s->turn.notify_all();
      if (!reopened.ok()) return make_unexpected(std::move(reopened).error());
      return make_unexpected(ZolvaError::wal("WAL shard " + path + " changed its record count on reopen"));
    }
    s->writer = std::move(reopened).value();
  }
  return {};
}

ZolvaStatus ShardedWal::checkpoint(const CheckpointStore& store) {
  // All shard locks at once, but never waiting for one while holding others:
  // a batch holds lower shards while it waits for its turn on a higher one,
  // possibly behind an append that needs a lock we would hold. A lock that
  // is taken means an append is under way, which refuses the checkpoint.
  std::vector<std::unique_lock<std::mutex>> locks;
  uint64_t total = 0;
  bool rotation_due = false;
  for (auto& s : shards_) {
    std::unique_lock<std::mutex> lock(s->mu, std::try_to_lock);
    if (!lock.owns_lock()) return make_unexpected(ZolvaError::wal(kCheckpointBusy));
    locks.push_back(std::move(lock));
    total += s->next_slot;
    rotation_due = rotation_due || s->writer->file_size() >= options_.max_file_size;
  }
  if (counter_.load() != total) return make_unexpected(ZolvaError::wal(kCheckpointBusy));
  ZV_TRY(store(total));
  if (!rotation_due) return {};
  // Positions restart at 0 only if none was handed out since the check above:
  // an append that drew one meanwhile waits for its slot behind our locks,
  // and a reset would hand the same position out twice. Rotation then waits
  // for the next checkpoint.
  uint64_t expected = total;
  if (!counter_.compare_exchange_strong(expected, 0)) return {};
  // Every record so far is reflected and the stored checkpoint says so: the
  // files can go. The shard holding the last position goes first, so that an
  // interrupted rotation leaves fewer positions than the checkpoint, which the
  // next open recognises.
  const uint64_t n = shards_.size();
  const uint64_t first = total == 0 ? 0 : (total - 1) % n;
  for (uint64_t k = 0; k < n; ++k) {
    Shard& s = *shards_[(first + k) % n];
    ZolvaStatus st = s.writer->rotate();
    if (!st.ok()) {
      for (auto& t : shards_) t->failed = true;
      for (auto& t : shards_) t->turn.notify_all();
      return st;
    }
    s.next_slot = 0;
  }
  ZolvaStatus st = store(0);
  if (!st.ok()) {
    // The stored checkpoint still counts the archived records: new positions
    // would be skipped by recovery. Refuse appends until the log is reopened.
    for (auto& t : shards_) t->failed = true;
  }
  return st;
}

}  // namespace zv::wal
