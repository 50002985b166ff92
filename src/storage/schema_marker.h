// The schema marker ".zolva.schema": a fixed 72-byte file in a database
// directory recording the storage format version. A writable open creates it
// when missing (through a temporary file renamed into place, so a crash never
// leaves a short marker) and checks it otherwise; a read-only open requires
// it. Functions on paths; thread-safe as far as the file system is.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/result.h"
#include "src/foundation/error.h"
#include "src/foundation/storage_schema_error.h"

namespace zv::schema {

inline constexpr const char* kSchemaFileName = ".zolva.schema";
inline constexpr size_t kSchemaFileLen = 72;
inline constexpr char kSchemaMagic[8] = {'Z', 'L', 'D', 'B', 'v', '0', '0', '1'};
inline constexpr uint32_t kCurrentVersion = 2;
inline constexpr uint32_t kWrittenMinCompatible = 1;

struct SchemaHeader {
  uint32_t version = 0;
  uint32_t flags = 0;
  uint32_t min_compatible_version = 0;
  bool operator==(const SchemaHeader&) const = default;
};

template <class T>
using SchemaResult = Result<T, StorageSchemaError>;

// The 72 bytes of a header: magic, the three fields, 52 zero bytes.
std::string encode_header(const SchemaHeader& h);

// Writes the marker atomically beside its final place.
SchemaResult<void> write_header(const std::string& path, const SchemaHeader& h);
// None when the file's metadata cannot be read (no file).
SchemaResult<std::optional<SchemaHeader>> read_header(const std::string& path);
// TooOld / TooNew checks of a header read from disk.
SchemaResult<void> check_header(const SchemaHeader& h);

// Writable open: creates the marker when missing, else checks it.
ZolvaResult<SchemaHeader> ensure(const std::string& dir);
// Read-only open: the marker must exist and pass the check.
ZolvaResult<SchemaHeader> require(const std::string& dir);

}  // namespace zv::schema
