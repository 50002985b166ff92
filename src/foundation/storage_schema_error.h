// The error of the schema-marker check at open. It never leaves the storage
// engine as itself: it becomes the core error's `Schema` carrying its text.
// Plain value.
#pragma once

#include <cstdint>
#include <string>

namespace zv {

class StorageSchemaError {
 public:
  enum class Kind : uint8_t { kTooOld, kTooNew, kInvalidHeader };

  static StorageSchemaError too_old(uint32_t found, uint32_t min);
  static StorageSchemaError too_new(uint32_t found, uint32_t max);
  static StorageSchemaError invalid_header(std::string text);

  Kind kind() const { return kind_; }
  uint32_t found() const { return found_; }
  // `min` for TooOld, `max` for TooNew.
  uint32_t bound() const { return bound_; }
  const std::string& text() const { return text_; }

  std::string message() const;

 private:
  Kind kind_ = Kind::kInvalidHeader;
  uint32_t found_ = 0;
  uint32_t bound_ = 0;
  std::string text_;
};

}  // namespace zv
