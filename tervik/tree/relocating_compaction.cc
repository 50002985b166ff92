// The relocating compaction flavour: live values of the relocated blob files
// copied into new blob files, their pointers rewritten.
#include <optional>

#include "platform/log.h"
#include "tervik/blob/blob_file_multi_writer.h"
#include "tervik/blob/blob_file_scanner.h"
#include "tervik/compaction/run_filter.h"
#include "tervik/core/blob_indirection.h"
#include "tervik/tree/compaction_flavour.h"

namespace tervik::compaction {

namespace {

using LogLevel = zv::log::Level;

TervikError damaged(std::string_view message) {
  return TervikError::logged_unrecoverable(kFlavourTarget, message);
}

}  // namespace

// One relocated blob file's scanner and its one-entry look-ahead.
struct RelocatingCompaction::Source {
  explicit Source(BlobFileScanner s) : scanner(std::move(s)) {}
  BlobFileScanner scanner;
  std::optional<BlobScanEntry> lookahead;
  bool ended = false;
};

RelocatingCompaction::RelocatingCompaction(std::vector<BlobFileScanner> scanners, StandardCompaction inner,
                                           std::unique_ptr<BlobFileMultiWriter> blob_writer,
                                           std::vector<BlobFileHandle> relocated)
    : blob_writer_(std::move(blob_writer)), inner_(std::move(inner)), relocated_blob_files_(std::move(relocated)) {
  sources_.reserve(scanners.size());
  for (BlobFileScanner& s : scanners) {
    const uint64_t id = s.blob_file_id();
    sources_.emplace(id, std::make_unique<Source>(std::move(s)));
  }
}

RelocatingCompaction::~RelocatingCompaction() = default;

TervikStatus RelocatingCompaction::write(InternalValue item) {
  MultiWriter& tables = inner_.table_writer();
  if (item.key.value_type != ValueType::kIndirection) return tables.write(std::move(item));
  std::string_view bytes = item.value.view();
  TervikResult<BlobIndirection> decoded = BlobIndirection::decode(&bytes);
  if (!decoded.ok()) {
    ZV_ERROR(kFlavourTarget, "Failed to deserialize blob indirection " + item.debug_string() + ": " +
                                 decoded.error().debug_string());
    return zv::make_unexpected(std::move(decoded).error());
  }
  const BlobIndirection pointer = *decoded;
  ZV_LOG(LogLevel::kTrace, kFlavourTarget,
         std::string(item.key.user_key.view()) + ":" + std::to_string(item.key.seqno) +
             " => encountered indirection: " + pointer.debug_string());

  auto found = sources_.find(pointer.vhandle.blob_file_id);
  if (found == sources_.end()) {
    ZV_LOG(LogLevel::kTrace, kFlavourTarget,
           "Pass through " + pointer.debug_string() + " because it is not being relocated");
    ZV_TRY(tables.write(std::move(item)));
    tables.register_blob(pointer);
    return {};
  }

  // Entries below the pointer's offset are values no pointer reaches any
  // more: skipped as the scan passes them.
  Source& src = *found->second;
  for (;;) {
    if (!src.lookahead) {
      if (src.ended) return zv::make_unexpected(damaged("vptr was not matched with blob (scanner is unexpectedly exhausted)"));
      ZV_ASSIGN_OR_RETURN(std::optional<BlobScanEntry> next, src.scanner.next());
      if (!next) {
        src.ended = true;
        continue;
      }
      src.lookahead = std::move(*next);
    }
    if (src.lookahead->offset >= pointer.vhandle.offset) break;
    src.lookahead.reset();
  }
  if (src.lookahead->key != item.key.user_key) {
    return zv::make_unexpected(damaged("matched blob has different key than vptr"));
  }
  if (src.lookahead->offset != pointer.vhandle.offset) {
    return zv::make_unexpected(damaged("matched blob has different offset than vptr"));
  }
  BlobScanEntry entry = std::move(*src.lookahead);
  src.lookahead.reset();
  ZV_LOG(LogLevel::kTrace, kFlavourTarget,
         "=> use blob: " + std::string(entry.key.view()) + ":" + std::to_string(entry.seqno) +
             " offset: " + std::to_string(entry.offset) + " from BF " + std::to_string(found->first));
  ZV_LOG(LogLevel::kTrace, kFlavourTarget, "RELOCATE to " + pointer.debug_string());

  // Copied in its stored form: a compressed value is not recompressed. The
  // writer rotates after the entry that reaches its target size, so the
  // returned handle names the file that holds it.
  ZV_ASSIGN_OR_RETURN(ValueHandle handle, blob_writer_->write(item.key.user_key.view(), item.key.seqno,
                                                              entry.value.view(), entry.uncompressed_length));
  const BlobIndirection moved{handle, pointer.size};
  ZV_TRY(tables.write(InternalValue::new_indirection(item.key.user_key, moved.encode(), item.key.seqno)));
  tables.register_blob(moved);
  return {};
}

TervikStatus RelocatingCompaction::finish(const CompactionOptions& options, const Input& input,
                                          FragmentationMap diff, std::vector<BlobFileHandle> filter_blob_files) {
  ZV_LOG(LogLevel::kDebug, kFlavourTarget, "Relocating compaction done in " + micros_since(inner_.start_ns()));
  ZV_ASSIGN_OR_RETURN(std::vector<Table> tables, inner_.finish_own_tables(options, input.dest_level));
  std::unique_ptr<BlobFileMultiWriter> writer = std::move(blob_writer_);
  ZV_ASSIGN_OR_RETURN(std::vector<BlobFileHandle> blob_files, std::move(*writer).finish());
  for (BlobFileHandle& b : filter_blob_files) blob_files.push_back(std::move(b));
  return inner_.install(options, input, std::move(tables), std::move(diff), std::move(blob_files),
                        std::move(relocated_blob_files_));
}

}  // namespace tervik::compaction
