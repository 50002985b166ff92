#include "tervik/core/checksummed_io.h"

namespace tervik {

zv::IoResult<size_t> ChecksummedWriter::write(const uint8_t* data, size_t n) {
  ZV_ASSIGN_OR_RETURN(size_t k, inner_->write(data, n));
  hasher_.update(data, k);
  return k;
}

zv::IoResult<size_t> ChecksummedReader::read(uint8_t* buf, size_t n) {
  ZV_ASSIGN_OR_RETURN(size_t k, inner_->read(buf, n));
  hasher_.update(buf, k);
  return k;
}

}  // namespace tervik
