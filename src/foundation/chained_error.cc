#include "src/foundation/chained_error.h"

#include "src/foundation/binary_format_error.h"

namespace zv {

namespace {
constexpr std::string_view kDecodeErrorInfix = " decode error: ";
}  // namespace

ChainedError::ChainedError(std::string msg)
    : msg_(std::move(msg)), backtrace_(Backtrace::capture_if_enabled()) {}

ChainedError::ChainedError(std::string msg, BoxedError source)
    : msg_(std::move(msg)), source_(std::move(source)), backtrace_(Backtrace::capture_if_enabled()) {}

std::string ChainedError::debug_string() const {
  std::string out = "ChainedError { msg: " + debug_quote(msg_);
  out += ", source: " + debug_optional(source_);
  out += ", backtrace: ";
  if (backtrace_) {
    out += "Some(" + debug_quote(backtrace_->to_string()) + ")";
  } else {
    out += "None";
  }
  out += " }";
  return out;
}

DecodeMsgError::DecodeMsgError(std::string msg, uint8_t format_code)
    : msg_(std::move(msg)), source_(box_error(BinaryFormatError(format_code))) {}

std::string DecodeMsgError::debug_string() const {
  return "DecodeMsgError { msg: " + debug_quote(msg_) + ", source: " + source_->debug_string() + " }";
}

std::string decode_error_message(std::string_view label, std::string_view format_error_text) {
  std::string out(label);
  out += kDecodeErrorInfix;
  out += format_error_text;
  return out;
}

}  // namespace zv
