// Writers and readers that hash every byte passing through them with a
// streaming XXH3-128 (seed 0), so that file checksums are computed on the way
// out and in, never by reading a file back. A ChecksummedWriter may wrap
// another one to give one stretch of a file a checksum of its own. Each
// wrapper belongs to the one thread that streams its file.
#pragma once

#include <memory>
#include <string_view>

#include "platform/checksum.h"
#include "tervik/core/byte_stream.h"
#include "tervik/core/checksum.h"

namespace tervik {

class ChecksummedWriter final : public Writer {
 public:
  // Borrows `inner` (a buffered file writer, or the file's own checksummed
  // writer in the layered form); the caller keeps it alive.
  explicit ChecksummedWriter(Writer* inner) : inner_(inner) {}
  explicit ChecksummedWriter(std::unique_ptr<Writer> inner)
      : owned_(std::move(inner)), inner_(owned_.get()) {}

  // Hands all bytes to the inner writer and hashes exactly those it accepted.
  zv::IoStatus write_all(const void* data, size_t n) { return tervik::write_all(*this, data, n); }
  zv::IoStatus write_all(std::string_view bytes) { return write_all(bytes.data(), bytes.size()); }
  // One write of the inner writer; the accepted bytes enter the hash.
  zv::IoResult<size_t> write(const uint8_t* data, size_t n) override;

  // The checksum of every byte written so far; writing may go on after it.
  Checksum checksum() const { return Checksum(hasher_.digest()); }

  ChecksummedWriter(const ChecksummedWriter&) = delete;
  ChecksummedWriter& operator=(const ChecksummedWriter&) = delete;

  Writer& inner() { return *inner_; }
  template <class W>
  W& inner_as() { return static_cast<W&>(*inner_); }

 private:
  std::unique_ptr<Writer> owned_;
  Writer* inner_;
  zv::Xxh3Hasher128 hasher_;
};

class ChecksummedReader final : public Reader {
 public:
  // Borrows `inner`; the caller keeps it alive.
  explicit ChecksummedReader(Reader* inner) : inner_(inner) {}
  explicit ChecksummedReader(std::unique_ptr<Reader> inner)
      : owned_(std::move(inner)), inner_(owned_.get()) {}

  // Fills the whole buffer and hashes what it read.
  zv::IoStatus read_exact(void* buf, size_t n) { return tervik::read_exact(*this, buf, n); }
  zv::IoResult<size_t> read(uint8_t* buf, size_t n) override;

  Checksum checksum() const { return Checksum(hasher_.digest()); }
  Reader& inner() { return *inner_; }

 private:
  std::unique_ptr<Reader> owned_;
  Reader* inner_;
  zv::Xxh3Hasher128 hasher_;
};

}  // namespace tervik
