#include <gtest/gtest.h>

#include <string>

#include "platform/fs.h"
#include "platform/testing/temp_dir.h"
#include "src/storage/path_check.h"
#include "src/storage/schema_marker.h"

namespace zv {
namespace {

TEST(PathCheck, RefusesParentComponentsOnly) {
  struct Case {
    const char* path;
    bool ok;
  } cases[] = {
      {"db/../other", false}, {"..\\x", false},      {"..", false},
      {"a\\..\\b", false},    {"/abs/../x", false},  {"db/.../x", true},
      {"db/..x", true},       {"./db", true},        {"db", true},
      {"x..", true},          {"\\\\?\\C:\\a\\..\\b", false},
      // After a verbatim prefix the slash is part of a name.
      {"\\\\?\\C:\\a/../b", true},
  };
  for (const Case& c : cases) {
    auto r = validate_storage_path(c.path);
    EXPECT_EQ(r.ok(), c.ok) << c.path;
    if (!r.ok()) {
      EXPECT_EQ(r.error().message(),
                std::string("Validation error on path: Path '") + c.path +
                    "' contains '..' traversal \xE2\x80\x94 rejected for security");
    }
  }
}

class SchemaMarker : public ::testing::Test {
 protected:
  std::string marker() const { return fs::join(dir_.path(), ".zolva.schema"); }
  void write(const std::string& bytes) { ASSERT_TRUE(fs::write_file(marker(), bytes).ok()); }
  std::string header(uint32_t version, uint32_t flags, uint32_t min) {
    return schema::encode_header({version, flags, min});
  }
  std::string ensure_error() {
    auto r = schema::ensure(dir_.path());
    return r.ok() ? "ok" : r.error().message();
  }
  testing::TempDir dir_;
};

TEST_F(SchemaMarker, FirstWritableOpenWritesGoldenBytesAndNoTemporaryFile) {
  auto h = schema::ensure(dir_.path());
  ASSERT_TRUE(h.ok());
  EXPECT_EQ(*h, (schema::SchemaHeader{2, 0, 1}));
  auto bytes = fs::read_file(marker());
  ASSERT_TRUE(bytes.ok());
  std::string golden("ZLDBv001", 8);
  golden += std::string("\x02\0\0\0\0\0\0\0\x01\0\0\0", 12);
  golden += std::string(52, '\0');
  EXPECT_EQ(*bytes, golden);
  auto entries = fs::list_dir(dir_.path());
  ASSERT_TRUE(entries.ok());
  EXPECT_EQ(*entries, std::vector<std::string>{".zolva.schema"});
  // A second open reads it back and rewrites nothing.
  EXPECT_TRUE(schema::ensure(dir_.path()).ok());
  EXPECT_TRUE(schema::require(dir_.path()).ok());
}

TEST_F(SchemaMarker, RequireWithoutMarkerFailsAndWritesNothing) {
  auto r = schema::require(dir_.path());
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message(),
            "Schema error: no schema file found; database may be uninitialised or corrupt");
  EXPECT_FALSE(fs::exists(marker()));
}

TEST_F(SchemaMarker, DamagedOrIncompatibleMarkersFailWithTheirMessages) {
  struct Case {
    std::string bytes;
    std::string message;
  } cases[] = {
      {std::string(10, 'Z'),
       "Schema error: Invalid storage header: schema file truncated: read 10 bytes, expected 72"},
      {std::string(), "Schema error: Invalid storage header: schema file truncated: read 0 bytes, "
                      "expected 72"},
      {"X" + header(2, 0, 1).substr(1),
       "Schema error: Invalid storage header: bad magic bytes: [88, 76, 68, 66, 118, 48, 48, 49], "
       "expected [90, 76, 68, 66, 118, 48, 48, 49]"},
      {header(3, 0, 1),
       "Schema error: Storage schema version 3 is too new. Maximum supported: 2"},
      {header(1, 0, 2),
       "Schema error: Storage schema version 1 is too old. Minimum required: 2"},
  };
  for (const Case& c : cases) {
    write(c.bytes);
    EXPECT_EQ(ensure_error(), c.message);
    auto r = schema::require(dir_.path());
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message(), c.message);
    // A damaged marker is reported, never rewritten.
    EXPECT_EQ(*fs::read_file(marker()), c.bytes);
  }
}

TEST_F(SchemaMarker, FlagsAndTrailingBytesAreNotChecked) {
  write(header(2, 0xFFFFFFFFu, 1) + "trailing bytes");
  auto h = schema::require(dir_.path());
  ASSERT_TRUE(h.ok());
  EXPECT_EQ(h->flags, 0xFFFFFFFFu);
  write(header(0, 7, 0));
  EXPECT_TRUE(schema::ensure(dir_.path()).ok());
}

TEST_F(SchemaMarker, WriteIntoMissingDirectoryFailsWithCreateMessage) {
  auto r = schema::ensure(fs::join(dir_.path(), "missing"));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message().rfind(
                "Schema error: Invalid storage header: cannot create schema file: ", 0),
            0u)
      << r.error().message();
}

}  // namespace
}  // namespace zv
