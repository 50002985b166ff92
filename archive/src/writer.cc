#include "archive/src/writer.h"

#include "archive/src/trailer.h"
#include "platform/log.h"
#include "platform/panic.h"

namespace zv::archive {

namespace {

constexpr const char* kWriterTarget = "archive::writer";
constexpr const char* kTocWriterTarget = "archive::toc::writer";
constexpr const char* kTrailerWriterTarget = "archive::trailer::writer";
constexpr const char* kUsedAfterFinish = "archive writer used after finish";

}  // namespace

IoStatus ArchiveWriter::start_section(std::string_view name) {
  check_section_name(name);
  ZV_TRY(finish_section());
  current_name_.assign(name);
  return {};
}

IoStatus ArchiveWriter::finish_section() {
  ZV_CHECK(!finished_, kUsedAfterFinish);
  ZV_TRY(inner_->flush());
  ZV_ASSIGN_OR_RETURN(const uint64_t pos, inner_->position());
  if (pos != 0) {
    entries_.push_back(TocEntry{std::move(current_name_), section_start_, pos - section_start_});
    current_name_.clear();
  }
  section_start_ = pos;
  return {};
}

ArchiveResult<void> ArchiveWriter::finish() {
  ZV_LOG(log::Level::kTrace, kWriterTarget, "Finishing archive");
  ZV_TRY(finish_section());
  finished_ = true;
  ZV_TRY(inner_->flush());
  ZV_ASSIGN_OR_RETURN(const uint64_t toc_pos, inner_->position());

  ZV_LOG(log::Level::kTrace, kTocWriterTarget, "Writing ToC");
  if (log::enabled(log::Level::kTrace)) {
    log::emit(log::Level::kTrace, kTocWriterTarget, "ToC: " + toc_debug_multiline(entries_), {});
  }
  // The table of contents is hashed on its own and also passes through the
  // inner writer, so it enters the file's checksum once as well.
  std::string toc;
  encode_toc(entries_, &toc);
  Trailer trailer;
  trailer.toc_checksum = xxh3_128(toc);
  ZV_TRY(inner_->write_all(toc));
  ZV_TRY(inner_->flush());
  ZV_ASSIGN_OR_RETURN(const uint64_t toc_end, inner_->position());
  trailer.toc_pos = toc_pos;
  trailer.toc_len = toc_end - toc_pos;

  ZV_LOG(log::Level::kTrace, kTrailerWriterTarget, "Writing trailer");
  std::string bytes;
  trailer.encode_to(&bytes);
  ZV_TRY(inner_->write_all(bytes));
  ZV_TRY(inner_->flush());
  return {};
}

}  // namespace zv::archive
