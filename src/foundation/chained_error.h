// The payloads that carry a message: ChainedError (message, optional cause,
// optional backtrace) behind the message-carrying variants of the core error,
// and DecodeMsgError (a decoder's message over a binary format error).
// Immutable after construction apart from assignment; copies share the cause
// and the backtrace, so they are safe to hand between threads.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/backtrace.h"
#include "src/foundation/boxed_error.h"

namespace zv {

class ChainedError {
 public:
  // Copies the message, no cause, and captures a backtrace when capture is on.
  explicit ChainedError(std::string msg);
  ChainedError(std::string msg, BoxedError source);

  const std::string& msg() const { return msg_; }
  const BoxedError& source() const { return source_; }
  const std::shared_ptr<const Backtrace>& backtrace() const { return backtrace_; }

  // "ChainedError { msg: ..., source: ..., backtrace: ... }".
  std::string debug_string() const;

 private:
  std::string msg_;
  BoxedError source_;
  std::shared_ptr<const Backtrace> backtrace_;
};

class DecodeMsgError : public ErrorBase {
 public:
  // The message, with the binary format error of the given code as source.
  DecodeMsgError(std::string msg, uint8_t format_code);

  std::string message() const override { return msg_; }
  BoxedError source() const override { return source_; }
  std::string debug_string() const override;

  const std::string& msg() const { return msg_; }

 private:
  std::string msg_;
  BoxedError source_;
};

// "{} decode error: {}", used by the decoders of index records.
std::string decode_error_message(std::string_view label, std::string_view format_error_text);

}  // namespace zv
