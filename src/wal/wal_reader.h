// Reads the records of one log file back in order, passing over damaged
// frames (see FrameScanner for how damage and torn tails are told apart): a
// bad frame never ends the log, only the end of the file or a torn last frame
// does. Each record comes with its slot, the index of the append that wrote
// it. Used by recovery on the opening thread before any writer exists; one
// reader per thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/file_system.h"
#include "src/foundation/error.h"
#include "src/wal/wal_format.h"
#include "src/wal/wal_frame_scanner.h"

namespace zv::wal {

class WalReader {
 public:
  // Over a file whose header was already validated; reading starts just
  // after the header. `label` names the file in warning events.
  WalReader(std::unique_ptr<FsFile> file, size_t trailer, size_t buffer_size,
            PayloadValidator validator, std::string label = {});
  WalReader(WalReader&&) noexcept;
  WalReader& operator=(WalReader&&) noexcept;
  ~WalReader();

  // Opens a file and checks its header (errors as WalHeader::validate, or Io).
  static ZolvaResult<WalReader> open(FileSystem& fs, const std::string& path,
                                     size_t buffer_size, PayloadValidator validator);

  // The next valid record's payload into *payload: true, or false at the end
  // of the log. Only the end of the file ends or skips a read; any other I/O
  // failure is an Io error and the position stays where it was.
  ZolvaResult<bool> next(std::string* payload);

  uint64_t records_read() const { return records_read_; }
  // Slot of the record last returned.
  uint64_t slot() const { return scanner_->slots() - 1; }
  // Slots passed so far, a damaged frame at the end of the file included.
  uint64_t slots() const { return scanner_->slots(); }
  // Offset of the first damage whose slot count had to be guessed: slots of
  // records from there on may be off.
  std::optional<uint64_t> uncertain_from() const { return scanner_->uncertain_from(); }
  // File offset of the next frame to read.
  uint64_t position() const { return scanner_->position(); }

 private:
  std::unique_ptr<FsFile> file_;
  std::unique_ptr<FrameScanner> scanner_;
  uint64_t records_read_ = 0;
};

}  // namespace zv::wal
