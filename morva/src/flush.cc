#include "morva/src/flush.h"

#include <memory>

#include "platform/log.h"
#include "tervik/blob/blob_file_multi_writer.h"
#include "tervik/core/blob_indirection.h"
#include "tervik/memtable/memtable.h"
#include "tervik/merge/compaction_stream.h"
#include "tervik/merge/merger.h"
#include "tervik/table/multi_writer.h"

namespace morva {
namespace {

using Box = std::unique_ptr<tervik::DoubleEndedSource>;
using Stream = tervik::CompactionStream<tervik::Merger<Box>>;

// The tables of a blob tree's flush: values of at least the threshold go to
// blob files, the table gets an indirection to each.
tervik::TervikResult<std::vector<tervik::Table>> write_separated(
    const tervik::BlobTree& blob_tree, Stream& stream, std::vector<tervik::BlobFileHandle>* blob_files) {
  const tervik::Tree& tree = blob_tree.index();
  const tervik::TreeConfig& config = tree.config();
  if (!config.kv_separation_opts) zv::panic("kv separation options should exist");
  const tervik::KvSeparationOptions& opts = *config.kv_separation_opts;
  ZV_ASSIGN_OR_RETURN(tervik::BlobFileMultiWriter blobs,
                      tervik::BlobFileMultiWriter::create(blob_tree.blobs_folder(), tree.inner()->blob_file_id_counter,
                                                          tree.id(), config.descriptor_table));
  blobs.set_target_size(opts.file_target_size);
  blobs.set_compression(opts.compression);
  std::optional<tervik::BlobFileMultiWriter> writer(std::move(blobs));
  tervik::Tree::FlushHooks hooks;
  hooks.separates_values = true;
  hooks.write_item = [&](tervik::MultiWriter& tables, tervik::InternalValue item) -> tervik::TervikStatus {
    if (item.is_tombstone() || item.value.size() < opts.separation_threshold) return tables.write(std::move(item));
    const std::string_view value = item.value.view();
    ZV_ASSIGN_OR_RETURN(tervik::ValueHandle handle,
                        writer->write(item.key.user_key.view(), item.key.seqno, value,
                                      static_cast<uint32_t>(value.size())));
    const tervik::BlobIndirection indirection{handle, static_cast<uint32_t>(value.size())};
    ZV_TRY(tables.write(
        tervik::InternalValue::new_indirection(item.key.user_key, indirection.encode(), item.key.seqno)));
    tables.register_blob(indirection);
    return {};
  };
  hooks.before_finish = [&]() -> tervik::TervikStatus {
    tervik::BlobFileMultiWriter w = std::move(*writer);
    writer.reset();
    ZV_ASSIGN_OR_RETURN(std::vector<std::shared_ptr<tervik::BlobFile>> files, std::move(w).finish());
    for (auto& f : files) blob_files->push_back(std::move(f));
    return {};
  };
  return tree.flush_to_tables([&] { return stream.next(); }, hooks);
}

}  // namespace

MorvaStatus flush_sealed_memtables(const Keyspace& keyspace, std::atomic<uint64_t>& write_buffer_size,
                                   const SnapshotTracker& snapshots) {
  ZV_LOG(zv::log::Level::kDebug, kFlushLogTarget, "Flushing keyspace " + keyspace.name());
  const tervik::SeqNo watermark = snapshots.watermark();
  const tervik::TreeHandle& handle = keyspace.tree();
  const tervik::Tree& tree = handle.index();
  auto flushing = tree.lock_flush();
  const tervik::SealedMemtablesHandle sealed = tree.latest_super_version().sealed_memtables;
  if (sealed->empty()) {
    ZV_LOG(zv::log::Level::kTrace, kFlushLogTarget, "Flush did not return a table");
    return {};
  }
  std::vector<uint64_t> ids;
  std::vector<Box> sources;
  for (const auto& m : sealed->memtables()) {
    ids.push_back(m->id());
    sources.push_back(std::make_unique<tervik::MemtableRange>(m->iter()));
  }
  const uint64_t size = sealed->approximate_size();
  tervik::CompactionStreamOptions options;
  options.gc_seqno_threshold = watermark;
  Stream stream(tervik::Merger<Box>(std::move(sources)), options);

  auto fail = [](tervik::TervikError e) -> MorvaStatus {
    ZV_ERROR(kFlushLogTarget, "Flush error: " + e.to_string());
    return zv::make_unexpected(MorvaError::storage(std::move(e)));
  };
  std::vector<tervik::BlobFileHandle> blob_files;
  auto tables = handle.is_blob()
                    ? write_separated(std::get<tervik::BlobTree>(handle.tree), stream, &blob_files)
                    : tree.flush_to_tables([&] { return stream.next(); });
  if (!tables.ok()) return fail(std::move(tables).error());
  std::optional<std::vector<tervik::BlobFileHandle>> blobs;
  if (handle.is_blob()) blobs = std::move(blob_files);
  if (auto st = tree.register_tables(std::move(tables).value(), std::move(blobs), std::nullopt, ids, watermark);
      !st.ok()) {
    return fail(std::move(st).error());
  }
  uint64_t current = write_buffer_size.load();
  while (!write_buffer_size.compare_exchange_weak(current, current > size ? current - size : 0)) {
  }
  ZV_LOG(zv::log::Level::kDebug, kFlushLogTarget, "Flush completed");
  return {};
}

}  // namespace morva
