// Walks the frames of one log file in slot order, shared by the record reader
// and the valid-end scan so that both count the same slots. Each frame the
// writer appended fills one slot; damage is passed over as follows:
// - a frame whose length is in range but which runs past the end of the file
//   is the torn tail: the log ends at its start and nothing inside it is
//   examined (a frame embedded in its payload is no record);
// - a frame inside the file that fails its CRC or payload check occupies one
//   slot when the next offset its length names holds a valid frame or is the
//   end of the file;
// - otherwise (a damaged length field) the next valid frame is searched for
//   byte by byte; the bytes passed over count as one slot, but the true count
//   is unknown from there on, which uncertain_from() reports.
// Single-threaded.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "src/wal/wal_input.h"

namespace zv::wal {

class FrameScanner {
 public:
  // `label` names the file in warning events.
  FrameScanner(FsFile* file, size_t window, size_t trailer, PayloadValidator validator,
               std::string label);

  // The next valid record into *payload: true; false at the end of the log.
  // Only the end of the file ends the log; any other read failure is an
  // error and the scanner stays where it was.
  IoResult<bool> next(uint64_t file_size, std::string* payload);

  // Slots passed so far; the record last returned is at slot slots() - 1.
  uint64_t slots() const { return slots_; }
  // Offset just after the last frame that fills a slot (valid or damaged in
  // place): the end of the log's valid content.
  uint64_t counted_end() const { return counted_end_; }
  // Offset just after the last valid record (kHeaderSize when none).
  uint64_t record_end() const { return record_end_; }
  // Offset of the first damage whose extent had to be guessed.
  std::optional<uint64_t> uncertain_from() const { return uncertain_from_; }
  // Offset of the next frame to examine.
  uint64_t position() const { return pos_; }

 private:
  // Byte-wise search for a valid frame after pos_; its offset, or nothing.
  IoResult<std::optional<uint64_t>> resync(uint64_t file_size);
  void warn_damaged(const FrameProbe& probe, uint64_t file_size, const std::string& payload);

  WalInput in_;
  size_t trailer_;
  PayloadValidator validator_;
  std::string label_;
  std::string scratch_;
  uint64_t pos_ = kHeaderSize;
  uint64_t slots_ = 0;
  uint64_t counted_end_ = kHeaderSize;
  uint64_t record_end_ = kHeaderSize;
  std::optional<uint64_t> uncertain_from_;
};

}  // namespace zv::wal
