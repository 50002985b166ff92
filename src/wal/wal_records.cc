#include "src/wal/wal_records.h"

#include "platform/panic.h"

namespace zv::wal {

bool wal_record_payload_valid(std::string_view payload) {
  return decode_wal_record(payload).ok();
}

ShardedWalOptions sharded_wal_options(const Config& config) {
  ShardedWalOptions o;
  o.sync_mode = config.wal_sync_mode;
  o.buffer_size = config.wal_buffer_size.value_or(kDefaultBufferSize);
  o.sync_every = config.flush_threshold;
  o.validator = &wal_record_payload_valid;
  return o;
}

ZolvaStatus append_record(ShardedWal& wal, const WalRecord& record) {
  const std::string payload = encode_wal_record(record);
  return wal.append(payload);
}

ZolvaStatus append_records(ShardedWal& wal, std::span<const WalRecord> records) {
  std::vector<std::string> payloads;
  payloads.reserve(records.size());
  for (const WalRecord& r : records) payloads.push_back(encode_wal_record(r));
  std::vector<std::string_view> views(payloads.begin(), payloads.end());
  return wal.append_batch(views);
}

ZolvaResult<std::vector<SequencedRecord>> recover(const std::string& wal_path,
                                                  uint64_t configured_shards,
                                                  uint64_t checkpoint_seq, FileSystem* fs) {
  RecoveryOptions options;
  options.validator = &wal_record_payload_valid;
  options.fs = fs;
  ZV_ASSIGN_OR_RETURN(auto payloads,
                      recover_payloads(wal_path, configured_shards, checkpoint_seq, options));
  std::vector<SequencedRecord> records;
  records.reserve(payloads.size());
  for (RecoveredPayload& p : payloads) {
    auto decoded = decode_wal_record(p.payload);
    // The reader only returns payloads that decode.
    ZV_CHECK(decoded.ok(), "WAL recovery returned a payload that does not decode");
    records.push_back({p.seq, std::move(decoded).value()});
  }
  return filter_transactions(std::move(records));
}

std::vector<SequencedRecord> filter_transactions(std::vector<SequencedRecord> records) {
  std::vector<bool> keep(records.size(), true);
  bool open = false;  // a TxnBegin without its commit or abort yet
  uint64_t open_id = 0;
  size_t open_begin = 0;
  auto discard = [&](size_t from, size_t to) {  // [from, to)
    for (size_t k = from; k < to; ++k) keep[k] = false;
  };
  for (size_t k = 0; k < records.size(); ++k) {
    const WalRecord& r = records[k].record;
    if (const auto* b = std::get_if<WalTxnBegin>(&r)) {
      if (open) discard(open_begin, k);
      open = true;
      open_id = b->txn_id;
      open_begin = k;
    } else if (const auto* c = std::get_if<WalTxnCommit>(&r)) {
      if (open && open_id == c->txn_id) open = false;
    } else if (const auto* a = std::get_if<WalTxnAbort>(&r)) {
      if (open && open_id == a->txn_id) {
        discard(open_begin, k + 1);
        open = false;
      }
    }
  }
  if (open) discard(open_begin, records.size());
  std::vector<SequencedRecord> out;
  out.reserve(records.size());
  for (size_t k = 0; k < records.size(); ++k) {
    if (keep[k]) out.push_back(std::move(records[k]));
  }
  return out;
}

}  // namespace zv::wal
