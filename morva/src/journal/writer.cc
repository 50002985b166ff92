#include "morva/src/journal/writer.h"

#include <charconv>

#include "platform/fs.h"
#include "platform/log.h"
#include "platform/panic.h"

namespace morva {
namespace {

constexpr const char* kLogTarget = "morva::journal::writer";

}  // namespace

std::string_view persist_mode_name(PersistMode m) {
  switch (m) {
    case PersistMode::kBuffer: return "Buffer";
    case PersistMode::kSyncData: return "SyncData";
    case PersistMode::kSyncAll: return "SyncAll";
  }
  return "SyncAll";
}

MorvaResult<uint64_t> journal_file_number(std::string_view name) {
  const auto bad = [] { return zv::make_unexpected(MorvaError::journal_recovery(JournalRecoveryKind::kInvalidFileName)); };
  if (name.size() <= kJournalExtension.size() ||
      name.substr(name.size() - kJournalExtension.size()) != kJournalExtension) {
    return bad();
  }
  std::string_view digits = name.substr(0, name.size() - kJournalExtension.size());
  if (digits.starts_with('+')) digits.remove_prefix(1);
  if (digits.empty()) return bad();
  uint64_t n = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return bad();
  }
  auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), n);
  if (ec != std::errc() || end != digits.data() + digits.size()) return bad();
  return n;
}

std::string journal_file_name(uint64_t number) {
  return std::to_string(number) + std::string(kJournalExtension);
}

JournalWriter::JournalWriter(zv::FileSystem* fs, std::string path, std::unique_ptr<zv::FsFile> file)
    : fs_(fs), path_(std::move(path)), file_(std::move(file)) {
  buf_.reserve(kJournalWriteBufferSize);
}

JournalWriter::JournalWriter(JournalWriter&&) noexcept = default;
JournalWriter& JournalWriter::operator=(JournalWriter&&) noexcept = default;

JournalWriter::~JournalWriter() {
  if (file_ != nullptr) (void)flush_buffer();
}

MorvaResult<JournalWriter> JournalWriter::create(zv::FileSystem& fs, std::string path,
                                                 uint64_t preallocate) {
  auto file = fs.open(path, zv::FsOpenMode::kCreateNew);
  if (!file.ok()) {
    ZV_ERROR(kLogTarget, "Failed to create journal file at " + path + ": " + file.error().to_string());
    return zv::make_unexpected(std::move(file).error());
  }
  if (auto st = (*file)->set_len(preallocate); !st.ok()) {
    ZV_ERROR(kLogTarget, "Failed to set journal file size to " +
                             std::to_string(preallocate) + "B at " + path + ": " +
                             st.error().to_string());
    return zv::make_unexpected(std::move(st).error());
  }
  if (auto st = (*file)->sync_all(); !st.ok()) {
    ZV_ERROR(kLogTarget, "Failed to fsync journal file at " + path + ": " + st.error().to_string());
    return zv::make_unexpected(std::move(st).error());
  }
  // The new name must survive a power loss as well as the bytes a later
  // SyncAll persist promises to keep.
  if (auto st = fs.sync_dir(zv::dir_of(path)); !st.ok()) {
    ZV_ERROR(kLogTarget, "Failed to fsync journal folder of " + path + ": " + st.error().to_string());
    return zv::make_unexpected(std::move(st).error());
  }
  JournalWriter w(&fs, std::move(path), std::move(file).value());
  w.preallocate_ = preallocate;
  return w;
}

MorvaResult<JournalWriter> JournalWriter::open_existing(zv::FileSystem& fs, std::string path,
                                                        uint64_t preallocate) {
  if (!fs.exists(path)) return create(fs, std::move(path), preallocate);
  auto file = fs.open(path, zv::FsOpenMode::kReadWrite);
  if (!file.ok()) {
    ZV_ERROR(kLogTarget, "Failed to open journal file at " + path + ": " + file.error().to_string());
    return zv::make_unexpected(std::move(file).error());
  }
  JournalWriter w(&fs, std::move(path), std::move(file).value());
  w.preallocate_ = preallocate;
  ZV_TRY(w.move_to_end());
  return w;
}

MorvaStatus JournalWriter::move_to_end() {
  if (!buf_.empty()) zv::panic("journal writer moved while bytes are buffered");
  ZV_ASSIGN_OR_RETURN(buf_offset_, file_->size());
  return {};
}

MorvaStatus JournalWriter::flush_buffer() {
  if (buf_.empty()) return {};
  ZV_TRY(file_->write_at(buf_.data(), buf_.size(), buf_offset_));
  buf_offset_ += buf_.size();
  buf_.clear();
  return {};
}

MorvaResult<size_t> JournalWriter::write_single_item(uint64_t keyspace_id, std::string_view key,
                                                     std::string_view value,
                                                     tervik::ValueType value_type, uint64_t seqno) {
  const JournalWriteItem item{keyspace_id, key, value, value_type};
  return write_batch(std::span<const JournalWriteItem>(&item, 1), seqno);
}

MorvaResult<size_t> JournalWriter::write_batch(std::span<const JournalWriteItem> items,
                                               uint64_t seqno) {
  // Every length is checked before the first byte: a wrapped length would
  // make the reader cut the journal at this batch and drop every later one.
  if (items.size() > kJournalMaxBatchEntries) ZV_TRY(check_journal_batch_size(items.size()));
  for (const JournalWriteItem& item : items) {
    if (item.key.size() <= kJournalMaxKeyLength && item.value.size() <= kJournalMaxPlainValueCheck) {
      continue;  // fits whether compressed or not
    }
    ZV_TRY(check_journal_item(item.key.size(), item.value.size(),
                              journal_compresses(compression_, threshold_, item.value.size())));
  }
  dirty_ = true;
  // The batch is encoded straight into the write buffer (which may pass its
  // nominal size for one batch) and handed on whole.
  const size_t start = buf_.size();
  encode_journal_start(&buf_, static_cast<uint32_t>(items.size()), seqno);
  const size_t body = buf_.size();
  for (const JournalWriteItem& item : items) {
    const bool compress = journal_compresses(compression_, threshold_, item.value.size());
    if (auto st = encode_journal_item(&buf_, item.keyspace_id, item.key, item.value,
                                      item.value_type, compress, &lz4_scratch_);
        !st.ok()) {
      buf_.resize(start);
      return zv::make_unexpected(std::move(st).error());
    }
  }
  encode_journal_end(&buf_, zv::xxh3_64(buf_.data() + body, buf_.size() - body));
  const size_t written = buf_.size() - start;
  if (buf_.size() >= kJournalWriteBufferSize) ZV_TRY(flush_buffer());
  return written;
}

MorvaStatus JournalWriter::persist(PersistMode mode) {
  ZV_LOG(zv::log::Level::kTrace, kLogTarget,
         "Persisting journal at " + path_ + " with mode=" + std::string(persist_mode_name(mode)));
  if (dirty_) {
    if (auto st = flush_buffer(); !st.ok()) {
      ZV_ERROR(kLogTarget, "Failed to flush journal IO buffers at " + path_ + ": " +
                               st.error().to_string());
      return zv::make_unexpected(std::move(st).error());
    }
    dirty_ = false;
  }
  if (mode == PersistMode::kSyncData) {
    if (auto st = file_->sync(); !st.ok()) {
      ZV_ERROR(kLogTarget, "Failed to fsyncdata journal file at " + path_ + ": " + st.error().to_string());
      return zv::make_unexpected(std::move(st).error());
    }
  } else if (mode == PersistMode::kSyncAll) {
    if (auto st = file_->sync_all(); !st.ok()) {
      ZV_ERROR(kLogTarget, "Failed to fsync journal file at " + path_ + ": " + st.error().to_string());
      return zv::make_unexpected(std::move(st).error());
    }
  }
  return {};
}

MorvaResult<RotatedJournal> JournalWriter::rotate() {
  ZV_ASSIGN_OR_RETURN(uint64_t number, journal_file_number(zv::fs::file_name(path_)));
  if (number == UINT64_MAX) {
    return zv::make_unexpected(MorvaError::journal_recovery(JournalRecoveryKind::kInvalidFileName));
  }
  ZV_TRY(persist(PersistMode::kSyncAll));
  ZV_ASSIGN_OR_RETURN(JournalWriter next,
                      create(*fs_, zv::fs::join(zv::fs::parent(path_), journal_file_name(number + 1)), preallocate_));
  next.set_compression(compression_, threshold_);
  ZV_ASSIGN_OR_RETURN(uint64_t size, file_->size());
  RotatedJournal sealed{path_, size};
  // The old writer's buffer is empty after the persist; it closes here.
  *this = std::move(next);
  ZV_LOG(zv::log::Level::kDebug, kLogTarget, "Rotated journal to " + path_, {"sealed", sealed.path});
  return sealed;
}

}  // namespace morva
