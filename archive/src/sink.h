// The writer underneath an archive: the file writer of a table, blob or
// version file (normally a checksummed, buffered file writer of the tree).
// The archive writes its table of contents and trailer through it and asks it
// for positions. Owned by one writing thread.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/io_error.h"

namespace zv::archive {

class Sink {
 public:
  virtual ~Sink() = default;
  // Writes all bytes (they enter the file writer's own checksum, if any).
  virtual IoStatus write_all(std::string_view bytes) = 0;
  // Pushes buffered bytes to the file.
  virtual IoStatus flush() = 0;
  // The file's current position: the number of bytes written so far. Called
  // right after flush().
  virtual IoResult<uint64_t> position() = 0;
};

}  // namespace zv::archive
