// Errors of the index record codecs (text, derived and sparse indexes). Their
// reader texts are the indexes' own, distinct from those of the record
// model's binary form: IndexReaderError carries one of them, and
// IndexDecodeError puts a record label in front ("text posting decode error:
// ..."). Immutable values, safe to share between threads.
#pragma once

#include <string>
#include <string_view>

#include "src/foundation/binary_format_error.h"
#include "src/foundation/error.h"

namespace zv::text {

// The reader's text of a binary-form failure kind.
const char* index_reader_text(BinaryFormatErrorKind kind);

class IndexReaderError : public ErrorBase {
 public:
  explicit IndexReaderError(BinaryFormatErrorKind kind) : kind_(kind) {}
  BinaryFormatErrorKind kind() const { return kind_; }
  std::string message() const override { return index_reader_text(kind_); }
  std::string debug_string() const override;

 private:
  BinaryFormatErrorKind kind_;
};

class IndexDecodeError : public ErrorBase {
 public:
  IndexDecodeError(std::string_view label, BinaryFormatErrorKind kind);
  std::string message() const override { return msg_; }
  BoxedError source() const override { return source_; }
  std::string debug_string() const override;

 private:
  std::string msg_;
  BoxedError source_;
};

// Serialization boxing "{label} decode error: {reader text}".
ZolvaError index_decode_error(std::string_view label, BinaryFormatErrorKind kind);
// Serialization boxing the reader's text alone (state records).
ZolvaError index_reader_error(BinaryFormatErrorKind kind);
// The error once more boxed into Serialization ("Serialization error: " in
// front of its full message), as the statistics readers report it.
ZolvaError wrap_serialization(ZolvaError inner);

}  // namespace zv::text

// Inside a decoder returning ZolvaResult: unwraps a BinaryReader step or
// returns the labelled decode error (ZV_INDEX_DECODE) or the reader's own
// error (ZV_INDEX_READ, for state records).
#define ZV_INDEX_DECODE(lhs, expr, label)                                              \
  auto ZV_CONCAT(zv_index_read_, __LINE__) = (expr);                                   \
  if (!ZV_CONCAT(zv_index_read_, __LINE__).ok())                                       \
    return ::zv::make_unexpected(                                                      \
        ::zv::text::index_decode_error(label, ZV_CONCAT(zv_index_read_, __LINE__).error())); \
  lhs = ZV_CONCAT(zv_index_read_, __LINE__).value()
#define ZV_INDEX_READ(lhs, expr)                                                       \
  auto ZV_CONCAT(zv_index_read_, __LINE__) = (expr);                                   \
  if (!ZV_CONCAT(zv_index_read_, __LINE__).ok())                                       \
    return ::zv::make_unexpected(                                                      \
        ::zv::text::index_reader_error(ZV_CONCAT(zv_index_read_, __LINE__).error()));   \
  lhs = ZV_CONCAT(zv_index_read_, __LINE__).value()
