#include "src/storage/schema_marker.h"

#include <cstring>

#include "platform/coding.h"
#include "platform/file.h"
#include "platform/fs.h"
#include "src/foundation/error.h"

namespace zv::schema {

using namespace ::zv::coding;

namespace {

SchemaResult<void> fail(std::string text) {
  return make_unexpected(StorageSchemaError::invalid_header(std::move(text)));
}

}  // namespace

std::string encode_header(const SchemaHeader& h) {
  std::string out(kSchemaMagic, sizeof(kSchemaMagic));
  put_u32_le(&out, h.version);
  put_u32_le(&out, h.flags);
  put_u32_le(&out, h.min_compatible_version);
  out.resize(kSchemaFileLen, '\0');
  return out;
}

SchemaResult<void> write_header(const std::string& path, const SchemaHeader& h) {
  const std::string bytes = encode_header(h);
  auto tmp = fs::TempFile::create_in(fs::parent(path), fs::file_name(path) + ".");
  if (!tmp.ok()) return fail("cannot create schema file: " + tmp.error().message());
  // write_all_at repeats partial writes and retries interrupted ones.
  if (auto w = tmp->file().write_all_at(bytes.data(), bytes.size(), 0); !w.ok())
    return fail("cannot write schema file: " + w.error().message());
  if (auto s = tmp->file().sync_all(); !s.ok())
    return fail("cannot sync schema file: " + s.error().message());
  if (auto p = tmp->persist(path); !p.ok())
    return fail("cannot sync schema file: " + p.error().message());
  return {};
}

SchemaResult<std::optional<SchemaHeader>> read_header(const std::string& path) {
  if (!fs::file_size(path).ok()) return std::optional<SchemaHeader>();
  auto file = File::open_read(path);
  if (!file.ok())
    return make_unexpected(
        StorageSchemaError::invalid_header("cannot open schema file: " + file.error().message()));
  uint8_t buf[kSchemaFileLen];
  auto n = file->read_at(buf, sizeof(buf), 0);
  if (!n.ok())
    return make_unexpected(
        StorageSchemaError::invalid_header("cannot read schema file: " + n.error().message()));
  if (*n < kSchemaFileLen)
    return make_unexpected(StorageSchemaError::invalid_header(
        "schema file truncated: read " + std::to_string(*n) + " bytes, expected " +
        std::to_string(kSchemaFileLen)));
  if (std::memcmp(buf, kSchemaMagic, sizeof(kSchemaMagic)) != 0)
    return make_unexpected(StorageSchemaError::invalid_header(
        "bad magic bytes: " + magic_byte_list({buf, 8}) + ", expected " +
        magic_byte_list({reinterpret_cast<const uint8_t*>(kSchemaMagic), 8})));
  return std::optional<SchemaHeader>(
      SchemaHeader{get_u32_le(buf + 8), get_u32_le(buf + 12), get_u32_le(buf + 16)});
}

SchemaResult<void> check_header(const SchemaHeader& h) {
  if (h.version < h.min_compatible_version)
    return make_unexpected(StorageSchemaError::too_old(h.version, h.min_compatible_version));
  if (h.version > kCurrentVersion)
    return make_unexpected(StorageSchemaError::too_new(h.version, kCurrentVersion));
  return {};
}

namespace {

ZolvaResult<SchemaHeader> open_marker(const std::string& dir, bool create) {
  const std::string path = fs::join(dir, kSchemaFileName);
  auto read = read_header(path);
  if (!read.ok()) return make_unexpected(ZolvaError(read.error()));
  if (!read->has_value()) {
    if (!create)
      return make_unexpected(ZolvaError::schema(
          "no schema file found; database may be uninitialised or corrupt"));
    const SchemaHeader fresh{kCurrentVersion, 0, kWrittenMinCompatible};
    if (auto w = write_header(path, fresh); !w.ok()) return make_unexpected(ZolvaError(w.error()));
    return fresh;
  }
  const SchemaHeader h = **read;
  if (auto c = check_header(h); !c.ok()) return make_unexpected(ZolvaError(c.error()));
  return h;
}

}  // namespace

ZolvaResult<SchemaHeader> ensure(const std::string& dir) { return open_marker(dir, true); }

ZolvaResult<SchemaHeader> require(const std::string& dir) { return open_marker(dir, false); }

}  // namespace zv::schema
