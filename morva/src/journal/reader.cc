#include "morva/src/journal/reader.h"

#include <cstring>

#include "platform/file.h"
#include "platform/log.h"

namespace morva {
namespace {

constexpr const char* kLogTarget = "morva::journal::reader";

zv::IoError short_read() { return zv::IoError(zv::IoErrorKind::kUnexpectedEof, zv::kShortReadMessage); }

}  // namespace

// Buffered reads of one journal file that know the bytes left to read.
class JournalReader::Source final : public JournalSource {
 public:
  Source(std::unique_ptr<zv::FsFile> file, uint64_t length)
      : file_(std::move(file)), length_(length), buf_(kJournalReadBufferSize) {}

  zv::IoStatus read_exact(void* out, size_t n) override {
    auto* dst = static_cast<uint8_t*>(out);
    while (n > 0) {
      if (pos_ < end_) {
        const size_t take = std::min(n, end_ - pos_);
        std::memcpy(dst, buf_.data() + pos_, take);
        pos_ += take;
        dst += take;
        n -= take;
        continue;
      }
      if (n >= buf_.size()) {
        // Large reads bypass the buffer.
        ZV_ASSIGN_OR_RETURN(size_t got, file_->read_at(dst, n, file_pos_));
        if (got == 0) return zv::make_unexpected(short_read());
        file_pos_ += got;
        dst += got;
        n -= got;
        continue;
      }
      ZV_ASSIGN_OR_RETURN(size_t got, file_->read_at(buf_.data(), buf_.size(), file_pos_));
      if (got == 0) return zv::make_unexpected(short_read());
      file_pos_ += got;
      pos_ = 0;
      end_ = got;
    }
    return {};
  }

  uint64_t position() const { return file_pos_ - (end_ - pos_); }
  uint64_t remaining() const override {
    const uint64_t p = position();
    return p < length_ ? length_ - p : 0;
  }
  uint64_t length() const { return length_; }

  zv::IoStatus cut(uint64_t len) {
    ZV_TRY(file_->set_len(len));
    ZV_TRY(file_->sync_all());
    length_ = len;
    // Nothing after the cut is read again.
    file_pos_ = len;
    pos_ = end_ = 0;
    return {};
  }

 private:
  std::unique_ptr<zv::FsFile> file_;
  uint64_t length_;
  std::vector<uint8_t> buf_;
  size_t pos_ = 0;
  size_t end_ = 0;
  uint64_t file_pos_ = 0;
};

JournalReader::JournalReader(std::string path, std::unique_ptr<Source> src)
    : path_(std::move(path)), src_(std::move(src)) {}
JournalReader::JournalReader(JournalReader&&) noexcept = default;
JournalReader& JournalReader::operator=(JournalReader&&) noexcept = default;
JournalReader::~JournalReader() = default;

MorvaResult<JournalReader> JournalReader::open(zv::FileSystem& fs, const std::string& path) {
  ZV_ASSIGN_OR_RETURN(auto file, fs.open(path, zv::FsOpenMode::kReadWrite));
  ZV_ASSIGN_OR_RETURN(uint64_t length, file->size());
  return JournalReader(path, std::make_unique<Source>(std::move(file), length));
}

uint64_t JournalReader::file_length() const { return src_->length(); }

MorvaResult<JournalRead> JournalReader::next(zv::Xxh3Hasher64* hasher) {
  auto entry = decode_journal_entry(*src_, hasher);
  if (entry.ok()) {
    last_valid_ = src_->position();
    return JournalRead{false, std::move(entry).value()};
  }
  const MorvaError& e = entry.error();
  // Only running out of bytes marks a torn tail among I/O errors: any other
  // read failure says nothing about the bytes, which stay as they are.
  if (e.kind() == MorvaErrorKind::kIo && e.io_error().kind() != zv::IoErrorKind::kUnexpectedEof) {
    return zv::make_unexpected(std::move(entry).error());
  }
  return JournalRead{true, JournalEntry{}};
}

MorvaStatus JournalReader::cut(uint64_t position) {
  if (position >= src_->length()) return {};
  ZV_LOG(zv::log::Level::kTrace, kLogTarget, "Truncating journal to " + std::to_string(position),
         {"path", path_});
  ZV_TRY(src_->cut(position));
  return {};
}

JournalBatchReader::JournalBatchReader(JournalReader reader, Mode mode)
    : reader_(std::move(reader)), mode_(mode) {
  batch_.items.reserve(10);
}

MorvaResult<std::optional<JournalBatch>> JournalBatchReader::cut_tail() {
  done_ = true;
  if (pending_) {
    ZV_WARN(kLogTarget,
            "Discarding damaged unsynced tail of journal " + reader_.path() + " after position " +
                std::to_string(last_complete_end_) + ": " + pending_->debug_string(),
            {"path", reader_.path()});
  }
  ZV_TRY(reader_.cut(last_complete_end_));
  return std::optional<JournalBatch>();
}

MorvaResult<std::optional<JournalBatch>> JournalBatchReader::bad_batch(JournalRecoveryKind kind,
                                                                      bool* go_on) {
  if (mode_ == Mode::kSealed) {
    done_ = true;
    *go_on = false;
    return zv::make_unexpected(MorvaError::journal_recovery(kind));
  }
  // The active journal: this is a hole in an unsynced tail unless a batch
  // that verifies follows. Read on without changing the file.
  if (!pending_) pending_ = MorvaError::journal_recovery(kind);
  batch_.items.clear();
  batch_.cleared_keyspaces.clear();
  *go_on = true;
  return std::optional<JournalBatch>();
}

MorvaResult<std::optional<JournalBatch>> JournalBatchReader::next() {
  while (!done_) {
    ZV_ASSIGN_OR_RETURN(JournalRead read, reader_.next(&hasher_));
    if (read.torn) {
      if (in_batch_ && !pending_) {
        ZV_LOG(zv::log::Level::kDebug, kLogTarget,
               "Invalid batch: missing terminator, but last batch, so probably incomplete, "
               "discarding to keep atomicity");
      }
      return cut_tail();
    }
    bool go_on = false;
    if (auto* start = std::get_if<JournalStart>(&read.entry)) {
      if (in_batch_) {
        ZV_LOG(zv::log::Level::kDebug, kLogTarget, "Invalid batch: found batch start inside batch");
        return cut_tail();
      }
      in_batch_ = true;
      skipping_ = false;
      remaining_ = start->item_count;
      seqno_ = start->seqno;
      batch_.items.clear();
      batch_.cleared_keyspaces.clear();
      hasher_.reset();
    } else if (!std::holds_alternative<JournalEnd>(read.entry)) {
      // An Item or a Clear.
      auto* item = std::get_if<JournalItem>(&read.entry);
      if (!in_batch_) {
        if (item == nullptr) {
          ZV_LOG(zv::log::Level::kDebug, kLogTarget,
                 "Invalid batch: found clear marker without start marker");
        }
        return cut_tail();
      }
      if (skipping_) continue;
      if (remaining_ == 0) {
        ZV_ERROR(kLogTarget, "Invalid batch: Expected end marker (too many items in batch)");
        skipping_ = true;
        auto r = bad_batch(JournalRecoveryKind::kTooManyItems, &go_on);
        if (!go_on) return r;
        continue;
      }
      --remaining_;
      if (pending_) continue;
      if (item != nullptr) {
        batch_.items.push_back(JournalBatchItem{item->keyspace_id, std::move(item->key),
                                                std::move(item->value), item->value_type});
      } else {
        batch_.cleared_keyspaces.push_back(std::get<JournalClear>(read.entry).keyspace_id);
      }
    } else {
      const auto& end = std::get<JournalEnd>(read.entry);
      if (!in_batch_) {
        ZV_ERROR(kLogTarget, "Invalid batch: found end marker without start marker");
        return cut_tail();
      }
      if (skipping_) {
        skipping_ = false;
        in_batch_ = false;
        continue;
      }
      if (remaining_ > 0) {
        ZV_ERROR(kLogTarget, "Invalid batch: insufficient length");
        in_batch_ = false;
        auto r = bad_batch(JournalRecoveryKind::kInsufficientLength, &go_on);
        if (!go_on) return r;
        continue;
      }
      const uint64_t got = hasher_.digest();
      hasher_.reset();
      if (got != end.checksum) {
        ZV_ERROR(kLogTarget, "Invalid batch: checksum check failed, expected: " +
                                 std::to_string(end.checksum) + ", got: " + std::to_string(got));
        in_batch_ = false;
        auto r = bad_batch(JournalRecoveryKind::kChecksumMismatch, &go_on);
        if (!go_on) return r;
        continue;
      }
      in_batch_ = false;
      remaining_ = 0;
      if (pending_) {
        // A batch verifies after the bad one: the damage is not a torn tail.
        done_ = true;
        MorvaError e = std::move(*pending_);
        pending_.reset();
        return zv::make_unexpected(std::move(e));
      }
      last_complete_end_ = reader_.last_valid_position();
      JournalBatch out;
      out.items = std::move(batch_.items);
      out.cleared_keyspaces = std::move(batch_.cleared_keyspaces);
      out.seqno = seqno_;
      batch_.items = {};
      batch_.items.reserve(10);
      batch_.cleared_keyspaces = {};
      return std::optional<JournalBatch>(std::move(out));
    }
  }
  return std::optional<JournalBatch>();
}

}  // namespace morva
