#include "src/backends/testing/durable_test_backend.h"

#include "platform/coding.h"
#include "platform/fs.h"

namespace zv::testing {
namespace {

// Layout: for each partition 0..9: u64 pair count, then per pair u32 key
// length, key, u32 value length, value (all little-endian).
ZolvaError damaged() { return ZolvaError::serialization(BinaryFormatErrorKind::kUnexpectedEnd); }

}  // namespace

ZolvaResult<std::string> encode_snapshot(StorageBackend& backend) {
  std::string out;
  for (uint8_t p = 0; p < kPartitionCount; ++p) {
    ZV_ASSIGN_OR_RETURN(const std::vector<KvPair> list, backend.scan_all(static_cast<Partition>(p)));
    coding::put_u64_le(&out, list.size());
    for (const KvPair& kv : list) {
      coding::put_u32_le(&out, static_cast<uint32_t>(kv.key.size()));
      out.append(kv.key);
      coding::put_u32_le(&out, static_cast<uint32_t>(kv.value.size()));
      out.append(kv.value);
    }
  }
  return out;
}

ZolvaStatus load_snapshot(std::string_view bytes, StorageBackend& into) {
  size_t pos = 0;
  auto take = [&](size_t n) -> std::optional<std::string_view> {
    if (n > bytes.size() - pos) return std::nullopt;
    std::string_view s = bytes.substr(pos, n);
    pos += n;
    return s;
  };
  std::vector<BatchOp> ops;
  for (uint8_t p = 0; p < kPartitionCount; ++p) {
    auto count = take(8);
    if (!count) return make_unexpected(damaged());
    const uint64_t n = coding::get_u64_le(count->data());
    for (uint64_t i = 0; i < n; ++i) {
      auto klen = take(4);
      if (!klen) return make_unexpected(damaged());
      auto key = take(coding::get_u32_le(klen->data()));
      if (!key) return make_unexpected(damaged());
      auto vlen = take(4);
      if (!vlen) return make_unexpected(damaged());
      auto value = take(coding::get_u32_le(vlen->data()));
      if (!value) return make_unexpected(damaged());
      ops.push_back(BatchOp::put(static_cast<Partition>(p), std::string(*key), std::string(*value)));
    }
  }
  if (pos != bytes.size()) return make_unexpected(damaged());
  return into.write_batch(std::move(ops));
}

ZolvaResult<std::shared_ptr<DurableTestBackend>> DurableTestBackend::open(const std::string& dir) {
  std::shared_ptr<DurableTestBackend> b(new DurableTestBackend(dir));
  const std::string path = fs::join(dir, kDurableSnapshotName);
  if (fs::exists(path)) {
    auto bytes = fs::read_file(path);
    if (!bytes.ok()) return make_unexpected(ZolvaError::io(std::move(bytes).error()));
    ZV_TRY(load_snapshot(bytes.value(), b->mem_));
  }
  return b;
}

ZolvaStatus DurableTestBackend::flush() {
  std::lock_guard<std::mutex> g(flush_mu_);
  ZV_ASSIGN_OR_RETURN(const std::string bytes, encode_snapshot(mem_));
  auto st = fs::write_file_atomic(fs::join(dir_, kDurableSnapshotName), bytes);
  if (!st.ok()) return make_unexpected(ZolvaError::io(std::move(st).error()));
  return {};
}

BackendFactoryTable durable_factory_table() {
  BackendFactoryTable table = factory_registry();
  table[BackendKind::kMorva] = [](std::string_view path,
                                  const Config&) -> ZolvaResult<BackendHandle> {
    ZV_ASSIGN_OR_RETURN(auto b, DurableTestBackend::open(std::string(path)));
    return BackendHandle(std::move(b));
  };
  return table;
}

}  // namespace zv::testing
