#include "src/record/version_history.h"

#include "platform/coding.h"

namespace zv {

std::string version_prefix(std::string_view ns, std::string_view key) {
  std::string out;
  out.reserve(ns.size() + key.size() + 16);
  coding::put_u32_le(&out, static_cast<uint32_t>(ns.size()));
  out.append(ns);
  coding::put_u32_le(&out, static_cast<uint32_t>(key.size()));
  out.append(key);
  return out;
}

std::string version_key(std::string_view ns, std::string_view key, uint64_t version) {
  std::string out = version_prefix(ns, key);
  coding::put_u64_be(&out, version);
  return out;
}

ZolvaStatus record_version(KvService& kv, const MemoryRecord& record,
                           std::optional<uint64_t> limit) {
  const std::string k = version_key(record.ns, record.key, record.version);
  ZV_TRY(kv.kv_put(Partition::kVersions, k, record.encode_binary()));
  return prune_versions(kv, record.ns, record.key, limit);
}

ZolvaStatus prune_versions(KvService& kv, std::string_view ns, std::string_view key,
                           std::optional<uint64_t> limit) {
  if (!limit) return {};
  ZV_ASSIGN_OR_RETURN(std::vector<KvPair> pairs,
                      kv.scan_prefix(Partition::kVersions, version_prefix(ns, key)));
  if (pairs.size() <= *limit) return {};
  const size_t drop = pairs.size() - static_cast<size_t>(*limit);
  std::vector<BatchOp> ops;
  ops.reserve(drop);
  for (size_t i = 0; i < drop; ++i)
    ops.push_back(BatchOp::del(Partition::kVersions, std::move(pairs[i].key)));
  return kv.kv_write_batch(std::move(ops));
}

ZolvaStatus delete_versions(KvService& kv, std::string_view ns, std::string_view key) {
  ZV_ASSIGN_OR_RETURN(std::vector<KvPair> pairs,
                      kv.scan_prefix(Partition::kVersions, version_prefix(ns, key)));
  if (pairs.empty()) return {};
  std::vector<BatchOp> ops;
  ops.reserve(pairs.size());
  for (KvPair& p : pairs) ops.push_back(BatchOp::del(Partition::kVersions, std::move(p.key)));
  return kv.kv_write_batch(std::move(ops));
}

}  // namespace zv
