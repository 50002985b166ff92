// Type-erased errors: the payload of `Serialization` and the optional cause of
// a ChainedError. A boxed error is immutable once made, so one box can be
// shared by copies of an error and read from any thread.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/debug_quote.h"
#include "platform/io_error.h"

namespace zv {

class ErrorBase;
// Owned, shareable, type-erased error; null means "no error".
using BoxedError = std::shared_ptr<const ErrorBase>;

class ErrorBase {
 public:
  virtual ~ErrorBase() = default;
  // The display text.
  virtual std::string message() const = 0;
  // The underlying cause, or null.
  virtual BoxedError source() const { return nullptr; }
  // The diagnostic rendering: type name and fields.
  virtual std::string debug_string() const = 0;
};

template <class E>
BoxedError box_error(E e) {
  static_assert(std::is_base_of_v<ErrorBase, E>, "box_error needs an ErrorBase");
  return std::make_shared<const E>(std::move(e));
}
// An I/O error of the platform layer, boxed as itself.
BoxedError box_error(IoError e);

// The diagnostic rendering of an I/O error, shared by the core error and boxes.
std::string io_error_debug_string(const IoError& e);


// A boxed error as "Some(<debug>)" or "None".
std::string debug_optional(const BoxedError& e);

// An error of the JSON reader or writer. Its text is the reader's message,
// followed by " at line {} column {}" when the error has a position.
class JsonError : public ErrorBase {
 public:
  explicit JsonError(std::string msg) : msg_(std::move(msg)) {}
  JsonError(std::string msg, uint64_t line, uint64_t column)
      : msg_(std::move(msg)), position_(Position{line, column}) {}

  std::string message() const override;
  std::string debug_string() const override;

  const std::string& raw_message() const { return msg_; }
  bool has_position() const { return position_.has_value(); }
  uint64_t line() const { return position_ ? position_->line : 0; }
  uint64_t column() const { return position_ ? position_->column : 0; }

 private:
  struct Position {
    uint64_t line;
    uint64_t column;
  };
  std::string msg_;
  std::optional<Position> position_;
};

}  // namespace zv
