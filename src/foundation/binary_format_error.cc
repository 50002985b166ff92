#include "src/foundation/binary_format_error.h"

namespace zv {

namespace {

struct KindInfo {
  const char* name;
  const char* text;
};

// Indexed by the kind's code.
constexpr KindInfo kKinds[kBinaryFormatErrorKindCount] = {
    {"Unsupported", "This is a feature that the serializer does not support"},
    {"NotImplemented", "This is a feature that is not implemented"},
    {"BufferFull", "The serialize buffer is full"},
    {"LengthUnknown", "The length of a sequence must be known"},
    {"UnexpectedEnd", "Hit the end of buffer, expected more data"},
    {"BadVarint", "Found a varint that did not terminate within its width"},
    {"BadBool", "Found a bool that wasn't 0 or 1"},
    {"BadChar", "Found an invalid unicode char"},
    {"BadUtf8", "Tried to parse invalid utf-8"},
    {"BadOption", "Found an Option discriminant that wasn't 0 or 1"},
    {"BadEnum", "Found an enum discriminant that was larger than a u32"},
    {"BadEncoding", "The original data was not well encoded"},
    {"BadCrc", "Bad CRC while deserializing"},
    {"EncodeCustom", "A value failed to encode"},
    {"DecodeCustom", "A value failed to decode"},
    {"TextRenderFailed", "Rendering a value as text failed while encoding"},
};

constexpr const char* kUnknownKindName = "Unknown";
constexpr const char* kUnknownKindText = "Unknown binary format error";

}  // namespace

const char* binary_format_error_text(BinaryFormatErrorKind kind) {
  auto code = static_cast<uint8_t>(kind);
  return code < kBinaryFormatErrorKindCount ? kKinds[code].text : kUnknownKindText;
}

const char* binary_format_error_name(BinaryFormatErrorKind kind) {
  auto code = static_cast<uint8_t>(kind);
  return code < kBinaryFormatErrorKindCount ? kKinds[code].name : kUnknownKindName;
}

std::string BinaryFormatError::message() const { return binary_format_error_text(kind_); }

std::string BinaryFormatError::debug_string() const {
  if (code() >= kBinaryFormatErrorKindCount) {
    return std::string(kUnknownKindName) + "(" + std::to_string(code()) + ")";
  }
  return binary_format_error_name(kind_);
}

}  // namespace zv
