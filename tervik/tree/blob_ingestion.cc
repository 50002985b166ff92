#include "tervik/tree/blob_ingestion.h"

#include "platform/panic.h"
#include "tervik/tree/table_openers.h"
#include "tervik/tree/version_install.h"

namespace tervik {

// Blob entries are stored with sequence number 0, like the table entries:
// the tables' global seqno gives every ingested pair its sequence number.
static constexpr SeqNo kIngestedBlobSeqno = 0;

TervikResult<BlobIngestion> BlobIngestion::create(const BlobTree& tree) {
  const Tree& index = tree.index();
  if (!index.config().kv_separation_opts) zv::panic(kFatalNoKvSeparation);
  const KvSeparationOptions& opts = *index.config().kv_separation_opts;
  ZV_ASSIGN_OR_RETURN(Ingestion tables, Ingestion::create(index));
  ZV_ASSIGN_OR_RETURN(BlobFileMultiWriter blobs,
                      BlobFileMultiWriter::create(tree.blobs_folder(), index.inner()->blob_file_id_counter,
                                                  index.id(), index.config().descriptor_table));
  blobs.set_target_size(opts.file_target_size);
  blobs.set_compression(opts.compression);
  return BlobIngestion(index, std::move(tables), std::move(blobs), opts.separation_threshold);
}

TervikStatus BlobIngestion::write(std::string_view key, std::string_view value) {
  if (last_key_ && UserKey(key).compare(*last_key_) <= 0) zv::panic(kFatalIngestOrder);
  if (value.size() < threshold_) {
    ZV_TRY(tables_.write(key, value));
  } else {
    // The writer rotates after the entry that reaches the target size, so
    // that entry and its pointer stay with the full file.
    ZV_ASSIGN_OR_RETURN(ValueHandle handle,
                        blobs_.write(key, kIngestedBlobSeqno, value, static_cast<uint32_t>(value.size())));
    ZV_TRY(tables_.write_indirection(UserKey(key), BlobIndirection{handle, static_cast<uint32_t>(value.size())}));
  }
  last_key_ = UserKey(key);
  return {};
}

TervikStatus BlobIngestion::finish() && {
  TreeInner& in = *tree_.inner();
  auto flushing = in.flush_lock.lock();
  tree_.rotate_memtable();
  // The memtables' contents go behind the ingested run, their values inline.
  ZV_TRY(tree_.flush_sealed_memtables(0));
  ZV_ASSIGN_OR_RETURN(std::vector<BlobFileHandle> blob_files, std::move(blobs_).finish());
  ZV_ASSIGN_OR_RETURN(std::vector<WrittenTable> written, std::move(tables_.writer_).finish());

  auto hidden = in.hidden_tables.lock();
  auto installing = in.install_lock.lock();
  return install_version(
      *in.shared,
      [&](const SuperVersion& latest, SeqNo s) -> TervikResult<Version> {
        ZV_ASSIGN_OR_RETURN(std::vector<Table> tables,
                            blob_tree::open_ingested_table(written, in.config, in.id, s));
        return latest.version.with_new_l0_run(std::move(tables), std::move(blob_files), std::nullopt);
      },
      [](const SuperVersion& latest, Version next, SeqNo s) {
        return SuperVersion{latest.active_memtable, latest.sealed_memtables, std::move(next), s};
      },
      std::nullopt);
}

}  // namespace tervik
