#include "src/foundation/storage_schema_error.h"

namespace zv {

namespace {
constexpr std::string_view kSchemaVersionPrefix = "Storage schema version ";
constexpr std::string_view kTooOldInfix = " is too old. Minimum required: ";
constexpr std::string_view kTooNewInfix = " is too new. Maximum supported: ";
constexpr std::string_view kInvalidHeaderPrefix = "Invalid storage header: ";
}  // namespace

StorageSchemaError StorageSchemaError::too_old(uint32_t found, uint32_t min) {
  StorageSchemaError e;
  e.kind_ = Kind::kTooOld;
  e.found_ = found;
  e.bound_ = min;
  return e;
}

StorageSchemaError StorageSchemaError::too_new(uint32_t found, uint32_t max) {
  StorageSchemaError e;
  e.kind_ = Kind::kTooNew;
  e.found_ = found;
  e.bound_ = max;
  return e;
}

StorageSchemaError StorageSchemaError::invalid_header(std::string text) {
  StorageSchemaError e;
  e.kind_ = Kind::kInvalidHeader;
  e.text_ = std::move(text);
  return e;
}

std::string StorageSchemaError::message() const {
  std::string out;
  switch (kind_) {
    case Kind::kTooOld:
    case Kind::kTooNew:
      out += kSchemaVersionPrefix;
      out += std::to_string(found_);
      out += kind_ == Kind::kTooOld ? kTooOldInfix : kTooNewInfix;
      out += std::to_string(bound_);
      break;
    case Kind::kInvalidHeader:
      out += kInvalidHeaderPrefix;
      out += text_;
      break;
  }
  return out;
}

}  // namespace zv
