#include "tervik/blob/recover_blob_files.h"

#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "platform/fs.h"
#include "platform/log.h"
#include "platform/testing/temp_dir.h"
#include "tervik/blob/testing/blob_files.h"

namespace tervik::vlog {
namespace {

using testing::BlobValue;
using testing::Properties;

void write_good(const std::string& blobs, uint64_t id) {
  std::vector<BlobValue> values = {{"k" + std::to_string(id), "value"}};
  testing::write_blob_file(blobs, id, 1, &values);
}

void put(const std::string& blobs, const std::string& name, const std::string& bytes) {
  ASSERT_TRUE(zv::fs::write_file(zv::fs::join(blobs, name), bytes).ok());
}

// A blob file whose meta section holds `props`, stored as file 1.
void put_meta(const std::string& blobs, const Properties& props) {
  put(blobs, "1", testing::crafted_blob_file("", testing::meta_section(props)));
}

Properties without(std::string key) {
  Properties p = testing::good_properties();
  std::erase_if(p, [&](const auto& kv) { return kv.first == key; });
  return p;
}

Properties with(std::string key, std::string value) {
  Properties p = without(key);
  p.emplace_back(std::move(key), std::move(value));
  return p;
}

std::set<std::string> listing(const std::string& dir) {
  std::set<std::string> names;
  if (!zv::fs::exists(dir)) return names;
  auto list = zv::fs::list_dir(dir);
  if (list.ok()) names.insert(list->begin(), list->end());
  return names;
}

struct Case {
  const char* name;
  std::function<void(const std::string& blobs)> setup;
  std::vector<uint64_t> listed;
  // Success: the ids opened and orphan names, in listing order.
  std::vector<uint64_t> opened = {};
  std::vector<std::string> orphans = {};
  // Failure, when `fails`: its kind and the text logged at error level.
  bool fails = false;
  TervikErrorKind kind = TervikErrorKind::kIo;
  std::string logged = {};
};

TEST(RecoverBlobFiles, EdgeCases) {
  const std::vector<Case> cases = {
      {"no folder, none listed", [](auto& b) { (void)zv::fs::remove_dir_all(b); }, {}, {}, {}},
      {"no folder, one listed", [](auto& b) { (void)zv::fs::remove_dir_all(b); }, {1}, {}, {},
       true, TervikErrorKind::kUnrecoverable, "is missing but the version lists 1 blob files"},
      {"listed file missing", [](auto& b) { write_good(b, 1); }, {1, 2}, {}, {}, true,
       TervikErrorKind::kUnrecoverable, "found 1 of 2 blob files"},
      {"unlisted files are orphans, never opened",
       [](auto& b) {
         write_good(b, 1);
         put(b, "17", "");
         put(b, "18", "not a blob file");
       },
       {1}, {1}, {"17", "18"}},
      {"skipped names",
       [](auto& b) {
         write_good(b, 2);
         put(b, ".DS_Store", "x");
         put(b, "._17", "x");
       },
       {2}, {2}, {}},
      {"plus sign and leading zeros name the id",
       [](auto& b) {
         write_good(b, 3);
         ASSERT_TRUE(zv::fs::rename(zv::fs::join(b, "3"), zv::fs::join(b, "+003")).ok());
       },
       {3}, {3}, {}},
      {"temporary file", [](auto& b) { write_good(b, 1); put(b, "17.tmp", ""); }, {1}, {}, {},
       true, TervikErrorKind::kUnrecoverable, "invalid blob file name"},
      {"empty plus", [](auto& b) { put(b, "+", ""); }, {}, {}, {}, true,
       TervikErrorKind::kUnrecoverable, "invalid blob file name"},
      {"id beyond u64", [](auto& b) { put(b, "18446744073709551616", ""); }, {}, {}, {}, true,
       TervikErrorKind::kUnrecoverable, "invalid blob file name"},
      {"folder inside blobs",
       [](auto& b) {
         write_good(b, 1);
         ASSERT_TRUE(zv::fs::create_dir(zv::fs::join(b, "18")).ok());
       },
       {1}, {}, {}, true, TervikErrorKind::kUnrecoverable, kLogBlobFolderIsDir},
      {"one id twice",
       [](auto& b) {
         write_good(b, 1);
         put(b, "01", *zv::fs::read_file(zv::fs::join(b, "1")));
       },
       {1, 2}, {}, {}, true, TervikErrorKind::kUnrecoverable, "blob file #1 exists twice"},
      {"no meta section",
       [](auto& b) { put(b, "1", zv::archive::testing::build_archive({{"data", "x"}})); }, {1},
       {}, {}, true, TervikErrorKind::kUnrecoverable,
       "meta section in blob file #1 is missing - maybe the file is corrupted?"},
      {"meta section shorter than its magic",
       [](auto& b) { put(b, "1", testing::crafted_blob_file("", "MET")); }, {1}, {}, {}, true,
       TervikErrorKind::kIo},
      {"meta magic",
       [](auto& b) {
         std::string m = testing::meta_section(testing::good_properties());
         m[0] = 'X';
         put(b, "1", testing::crafted_blob_file("", m));
       },
       {1}, {}, {}, true, TervikErrorKind::kInvalidHeader},
      {"meta block checksum",
       [](auto& b) {
         std::string m = testing::meta_section(testing::good_properties());
         m[m.size() - 40] ^= 1;  // inside the payload
         put(b, "1", testing::crafted_blob_file("", m));
       },
       {1}, {}, {}, true, TervikErrorKind::kChecksumMismatch, "Checksum mismatch"},
      {"meta payload cut short",
       [](auto& b) {
         std::string m = testing::meta_section(testing::good_properties());
         m.resize(m.size() - 1);
         put(b, "1", testing::crafted_blob_file("", m));
       },
       {1}, {}, {}, true, TervikErrorKind::kIo},
      {"short id", [](auto& b) { put_meta(b, with("id", "1234567")); }, {1}, {}, {}, true,
       TervikErrorKind::kIo},
      {"short created_at", [](auto& b) { put_meta(b, with("created_at", std::string(15, 0))); },
       {1}, {}, {}, true, TervikErrorKind::kIo},
      {"empty compression", [](auto& b) { put_meta(b, with("compression", "")); }, {1}, {}, {},
       true, TervikErrorKind::kIo},
      {"compression 2", [](auto& b) { put_meta(b, with("compression", "\x02")); }, {1}, {}, {},
       true, TervikErrorKind::kInvalidTag},
      {"missing created_at", [](auto& b) { put_meta(b, without("created_at")); }, {1}, {}, {},
       true, TervikErrorKind::kUnrecoverable, "meta property created_at should exist"},
      {"missing compression", [](auto& b) { put_meta(b, without("compression")); }, {1}, {}, {},
       true, TervikErrorKind::kUnrecoverable, "compression should exist"},
      {"missing key#max", [](auto& b) { put_meta(b, without("key#max")); }, {1}, {}, {}, true,
       TervikErrorKind::kUnrecoverable, "key max should exist"},
      {"meta section reaching past the file",
       [](auto& b) {
         put(b, "1", testing::archive_with_toc("META", {{"meta", 0, uint64_t{1} << 40}}));
       },
       {1}, {}, {}, true, TervikErrorKind::kIo},
      {"extra property bytes are ignored",
       [](auto& b) { put_meta(b, with("id", std::string("\x01\0\0\0\0\0\0\0", 8) + "9")); }, {1},
       {1}, {}},
      {"stored id differs from the name",
       [](auto& b) {
         write_good(b, 1);
         put(b, "2", *zv::fs::read_file(zv::fs::join(b, "1")));
       },
       {1, 2}, {}, {}, true, TervikErrorKind::kUnrecoverable, "stores id 1, its name says 2"},
  };
  for (const Case& c : cases) {
    zv::testing::TempDir dir;
    const std::string blobs = zv::fs::join(dir.path(), "blobs");
    ASSERT_TRUE(zv::fs::create_dir(blobs).ok());
    c.setup(blobs);
    const std::set<std::string> before = listing(blobs);
    std::vector<std::pair<uint64_t, Checksum>> expected;
    for (uint64_t id : c.listed) expected.emplace_back(id, Checksum(id, 0));

    zv::log::CaptureSink sink(zv::log::Level::kError);
    auto r = recover_blob_files(blobs, expected, 4, nullptr);
    if (c.fails) {
      ASSERT_FALSE(r.ok()) << c.name;
      EXPECT_EQ(r.error().kind(), c.kind) << c.name << ": " << r.error().to_string();
      if (c.kind == TervikErrorKind::kIo) {
        EXPECT_EQ(r.error().io_error().kind(), zv::IoErrorKind::kUnexpectedEof) << c.name;
      }
      if (c.kind == TervikErrorKind::kInvalidHeader) {
        EXPECT_EQ(r.error().header_name(), "BlobFileMeta");
      }
      if (c.kind == TervikErrorKind::kInvalidTag) {
        EXPECT_EQ(r.error().tag_name(), "CompressionType");
        EXPECT_EQ(r.error().tag_byte(), 2);
      }
      if (!c.logged.empty()) {
        EXPECT_TRUE(sink.contains(c.logged)) << c.name;
      }
    } else {
      ASSERT_TRUE(r.ok()) << c.name << ": " << r.error().to_string();
      std::vector<uint64_t> ids;
      for (const auto& f : r->blob_files) {
        ids.push_back(f->id());
        EXPECT_EQ(f->checksum(), Checksum(f->id(), 0)) << c.name << ": from the list";
        EXPECT_EQ(f->tree_id(), 4u);
        EXPECT_NE(f->handle(), nullptr);
      }
      EXPECT_EQ(ids, c.opened) << c.name;
      std::vector<std::string> orphans;
      for (const auto& p : r->orphans) orphans.push_back(zv::fs::file_name(p));
      EXPECT_EQ(orphans, c.orphans) << c.name;
    }
    // Recovery never deletes anything.
    EXPECT_EQ(listing(blobs), before) << c.name;
  }
}

TEST(RecoverBlobFiles, WithADescriptorCacheTheRecordReadsThroughIt) {
  zv::testing::TempDir dir;
  std::vector<BlobValue> values = {{"a", "1"}, {"c", "22"}};
  testing::write_blob_file(dir.path(), 6, 1, &values, CompressionType::kLz4);
  auto cache = std::make_shared<FileDescriptorCache>(4);
  auto r = recover_blob_files(dir.path(), {{6, Checksum(1, 2)}}, 9, cache);
  ASSERT_TRUE(r.ok()) << r.error().to_string();
  ASSERT_EQ(r->blob_files.size(), 1u);
  const BlobFile& f = *r->blob_files[0];
  EXPECT_EQ(f.handle(), nullptr);
  EXPECT_EQ(f.descriptor_cache(), cache);
  EXPECT_EQ(cache->size(), 0u) << "the first read opens the file";
  EXPECT_EQ(f.meta().id, 6u);
  EXPECT_EQ(f.meta().item_count, 2u);
  EXPECT_EQ(f.meta().file_size, values[0].handle.on_disk_size + values[1].handle.on_disk_size);
  EXPECT_EQ(f.meta().uncompressed_size, 3u);
  EXPECT_EQ(f.meta().key_min.view(), "a");
  EXPECT_EQ(f.meta().key_max.view(), "c");
  EXPECT_EQ(f.meta().compression, CompressionType::kLz4);
  EXPECT_EQ(f.file_length(), *zv::fs::file_size(f.path()));
}

}  // namespace
}  // namespace tervik::vlog
