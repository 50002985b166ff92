#include "src/foundation/boxed_error.h"

#include <cstdio>

namespace zv {

namespace {

class IoErrorBox : public ErrorBase {
 public:
  explicit IoErrorBox(IoError e) : e_(std::move(e)) {}
  std::string message() const override { return e_.message(); }
  std::string debug_string() const override { return io_error_debug_string(e_); }

 private:
  IoError e_;
};

constexpr std::string_view kJsonPositionLine = " at line ";
constexpr std::string_view kJsonPositionColumn = " column ";

}  // namespace

BoxedError box_error(IoError e) { return std::make_shared<const IoErrorBox>(std::move(e)); }

std::string io_error_debug_string(const IoError& e) {
  std::string out = "IoError { kind: ";
  out += debug_quote(io_error_kind_name(e.kind()));
  out += ", os_code: ";
  out += std::to_string(e.os_code());
  out += ", message: ";
  out += debug_quote(e.message());
  out += " }";
  return out;
}

std::string debug_optional(const BoxedError& e) {
  if (!e) return "None";
  return "Some(" + e->debug_string() + ")";
}

std::string JsonError::message() const {
  if (!position_) return msg_;
  std::string out = msg_;
  out += kJsonPositionLine;
  out += std::to_string(position_->line);
  out += kJsonPositionColumn;
  out += std::to_string(position_->column);
  return out;
}

std::string JsonError::debug_string() const {
  std::string out = "JsonError { msg: " + debug_quote(msg_);
  if (position_) {
    out += ", line: " + std::to_string(position_->line);
    out += ", column: " + std::to_string(position_->column);
  }
  out += " }";
  return out;
}

}  // namespace zv
