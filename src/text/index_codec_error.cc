#include "src/text/index_codec_error.h"

#include "platform/debug_quote.h"
#include "src/foundation/chained_error.h"

namespace zv::text {

const char* index_reader_text(BinaryFormatErrorKind kind) {
  switch (kind) {
    case BinaryFormatErrorKind::kUnexpectedEnd:
      return "Hit the end of buffer, expected more data";
    case BinaryFormatErrorKind::kBadVarint:
      return "Found a varint that didn't terminate. Is the usize too big for this platform?";
    case BinaryFormatErrorKind::kBadUtf8:
      return "Tried to parse invalid utf-8";
    case BinaryFormatErrorKind::kBufferFull:
      return "The serialize buffer is full";
    default:
      return binary_format_error_text(kind);
  }
}

std::string IndexReaderError::debug_string() const {
  return std::string("IndexReaderError(") + binary_format_error_name(kind_) + ")";
}

IndexDecodeError::IndexDecodeError(std::string_view label, BinaryFormatErrorKind kind)
    : msg_(decode_error_message(label, index_reader_text(kind))),
      source_(box_error(IndexReaderError(kind))) {}

std::string IndexDecodeError::debug_string() const {
  return "IndexDecodeError { msg: " + debug_quote(msg_) + ", source: " + source_->debug_string() +
         " }";
}

ZolvaError index_decode_error(std::string_view label, BinaryFormatErrorKind kind) {
  return ZolvaError::serialization_boxed(box_error(IndexDecodeError(label, kind)));
}

ZolvaError index_reader_error(BinaryFormatErrorKind kind) {
  return ZolvaError::serialization_boxed(box_error(IndexReaderError(kind)));
}

ZolvaError wrap_serialization(ZolvaError inner) {
  return ZolvaError::serialization_boxed(box_error(std::move(inner)));
}

}  // namespace zv::text
