#include "tervik/core/error.h"

#include <cstdio>
#include <vector>

#include "platform/log.h"

namespace tervik {

namespace {

// Indents every line of `text` by four blanks.
std::string indent(const std::string& text) {
  std::string out = "    ";
  for (char c : text) {
    out += c;
    if (c == '\n') out += "    ";
  }
  return out;
}

// name(\n    payload,\n)
std::string pretty_tuple(std::string_view name, const std::string& payload) {
  return std::string(name) + "(\n" + indent(payload) + ",\n)";
}

}  // namespace

TervikError TervikError::decompress(CompressionType t) {
  TervikError e(TervikErrorKind::kDecompress);
  e.compression_ = t;
  return e;
}
TervikError TervikError::invalid_version(uint8_t version) {
  TervikError e(TervikErrorKind::kInvalidVersion);
  e.byte_ = version;
  return e;
}
TervikError TervikError::unrecoverable() { return TervikError(TervikErrorKind::kUnrecoverable); }

TervikError TervikError::logged_unrecoverable(const char* target, std::string_view message) {
  ZV_ERROR(target, std::string(message));
  return unrecoverable();
}
TervikError TervikError::checksum_mismatch(Checksum got, Checksum expected) {
  TervikError e(TervikErrorKind::kChecksumMismatch);
  e.got_ = got;
  e.expected_ = expected;
  return e;
}
TervikError TervikError::invalid_tag(std::string_view enum_name, uint8_t byte) {
  TervikError e(TervikErrorKind::kInvalidTag);
  e.text_ = std::string(enum_name);
  e.byte_ = byte;
  return e;
}
TervikError TervikError::invalid_trailer() { return TervikError(TervikErrorKind::kInvalidTrailer); }
TervikError TervikError::invalid_header(std::string_view structure) {
  TervikError e(TervikErrorKind::kInvalidHeader);
  e.text_ = std::string(structure);
  return e;
}
TervikError TervikError::utf8(Utf8Error u) {
  TervikError e(TervikErrorKind::kUtf8);
  e.utf8_ = u;
  return e;
}

std::string_view tervik_error_kind_name(TervikErrorKind k) {
  switch (k) {
    case TervikErrorKind::kIo: return "Io";
    case TervikErrorKind::kDecompress: return "Decompress";
    case TervikErrorKind::kInvalidVersion: return "InvalidVersion";
    case TervikErrorKind::kUnrecoverable: return "Unrecoverable";
    case TervikErrorKind::kChecksumMismatch: return "ChecksumMismatch";
    case TervikErrorKind::kInvalidTag: return "InvalidTag";
    case TervikErrorKind::kInvalidTrailer: return "InvalidTrailer";
    case TervikErrorKind::kInvalidHeader: return "InvalidHeader";
    case TervikErrorKind::kUtf8: return "Utf8";
  }
  return "?";
}

std::string_view io_error_kind_debug_name(zv::IoErrorKind k) {
  using K = zv::IoErrorKind;
  switch (k) {
    case K::kNotFound: return "NotFound";
    case K::kPermissionDenied: return "PermissionDenied";
    case K::kAlreadyExists: return "AlreadyExists";
    case K::kWouldBlock: return "WouldBlock";
    case K::kInvalidInput: return "InvalidInput";
    case K::kInvalidData: return "InvalidData";
    case K::kUnexpectedEof: return "UnexpectedEof";
    case K::kWriteZero: return "WriteZero";
    case K::kInterrupted: return "Interrupted";
    case K::kUnsupported: return "Unsupported";
    case K::kOutOfMemory: return "OutOfMemory";
    case K::kStorageFull: return "StorageFull";
    case K::kOther: return "Other";
  }
  return "Other";
}

namespace {

struct Field {
  std::string_view name;
  std::string value;
};

std::string braces(std::string_view name, const std::vector<Field>& fields, bool pretty) {
  std::string out(name);
  if (!pretty) {
    out += " { ";
    for (size_t i = 0; i < fields.size(); ++i) {
      if (i) out += ", ";
      out += std::string(fields[i].name) + ": " + fields[i].value;
    }
    return out + " }";
  }
  out += " {\n";
  for (const Field& f : fields) out += indent(std::string(f.name) + ": " + f.value) + ",\n";
  return out + "}";
}

std::vector<Field> io_fields(const zv::IoError& e) {
  if (e.os_code() != 0) {
    return {{"code", std::to_string(e.os_code())},
            {"kind", std::string(io_error_kind_debug_name(e.kind()))},
            {"message", debug_quote(e.message())}};
  }
  return {{"kind", std::string(io_error_kind_debug_name(e.kind()))},
          {"error", debug_quote(e.message())}};
}

std::vector<Field> utf8_fields(const Utf8Error& u) {
  return {{"valid_up_to", std::to_string(u.valid_up_to)},
          {"error_len", u.error_len ? "Some(" + std::to_string(*u.error_len) + ")" : "None"}};
}

}  // namespace

std::string io_error_debug_string(const zv::IoError& e) {
  return braces(e.os_code() != 0 ? "Os" : "Custom", io_fields(e), false);
}

std::string io_error_debug_string_pretty(const zv::IoError& e) {
  return braces(e.os_code() != 0 ? "Os" : "Custom", io_fields(e), true);
}

std::string TervikError::debug_string() const {
  const std::string name(tervik_error_kind_name(kind_));
  switch (kind_) {
    case TervikErrorKind::kIo: return name + "(" + io_error_debug_string(io_) + ")";
    case TervikErrorKind::kDecompress:
      return name + "(" + std::string(compression_type_name(compression_)) + ")";
    case TervikErrorKind::kInvalidVersion: return name + "(" + std::to_string(byte_) + ")";
    case TervikErrorKind::kChecksumMismatch:
      return braces(name, {{"got", got_.debug_string()}, {"expected", expected_.debug_string()}},
                    false);
    case TervikErrorKind::kInvalidTag:
      return name + "((" + debug_quote(text_) + ", " + std::to_string(byte_) + "))";
    case TervikErrorKind::kInvalidHeader: return name + "(" + debug_quote(text_) + ")";
    case TervikErrorKind::kUtf8: return name + "(" + braces("Utf8Error", utf8_fields(utf8_), false) + ")";
    case TervikErrorKind::kUnrecoverable:
    case TervikErrorKind::kInvalidTrailer: return name;
  }
  return name;
}

std::string TervikError::debug_string_pretty() const {
  const std::string name(tervik_error_kind_name(kind_));
  switch (kind_) {
    case TervikErrorKind::kIo: return pretty_tuple(name, io_error_debug_string_pretty(io_));
    case TervikErrorKind::kDecompress:
      return pretty_tuple(name, std::string(compression_type_name(compression_)));
    case TervikErrorKind::kInvalidVersion: return pretty_tuple(name, std::to_string(byte_));
    case TervikErrorKind::kChecksumMismatch:
      return braces(name, {{"got", got_.debug_string()}, {"expected", expected_.debug_string()}},
                    true);
    case TervikErrorKind::kInvalidTag:
      return pretty_tuple(name, "(\n" + indent(debug_quote(text_) + ",\n" + std::to_string(byte_)) +
                                    ",\n)");
    case TervikErrorKind::kInvalidHeader: return pretty_tuple(name, debug_quote(text_));
    case TervikErrorKind::kUtf8:
      return pretty_tuple(name, braces("Utf8Error", utf8_fields(utf8_), true));
    case TervikErrorKind::kUnrecoverable:
    case TervikErrorKind::kInvalidTrailer: return name;
  }
  return name;
}

std::string TervikError::to_string() const {
  return std::string(kTervikErrorDisplayPrefix) + debug_string();
}

}  // namespace tervik
