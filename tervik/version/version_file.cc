#include "tervik/version/version_file.h"

#include <algorithm>

#include "archive/src/reader.h"
#include "archive/src/writer.h"
#include "platform/coding.h"
#include "platform/fs.h"
#include "platform/log.h"
#include "tervik/core/archive_error_conversion.h"
#include "tervik/core/archive_sink.h"
#include "tervik/core/byte_stream.h"
#include "tervik/core/checksummed_io.h"
#include "tervik/version/section_cursor.h"

namespace tervik {

namespace {

constexpr uint64_t kMaxByteCount = 0xFF;
constexpr uint64_t kMaxWordCount = 0xFFFF'FFFFull;

TervikError too_many(const std::string& what, uint64_t count, uint64_t limit) {
  return TervikError(zv::IoError(zv::IoErrorKind::kInvalidInput,
                                 what + " holds " + std::to_string(count) +
                                     " entries; a version file stores at most " +
                                     std::to_string(limit)));
}

TervikError logged_unrecoverable(const std::string& message) {
  return TervikError::logged_unrecoverable(kVersionRecoveryTarget, message);
}

TervikStatus check_checksum_type(uint8_t type) {
  if (type != kVersionChecksumTypeXxh3) {
    return zv::make_unexpected(TervikError::invalid_tag(kChecksumTypeTagName, type));
  }
  return {};
}

void put_checksum(std::string* out, const Checksum& c) {
  zv::coding::put_u8(out, kVersionChecksumTypeXxh3);
  c.encode_to(out);
}

std::string missing_section_message(std::string_view section, uint64_t version_id) {
  return std::string(section) + " section not found in version #" + std::to_string(version_id) +
         " - maybe the file is corrupted?";
}

// The bytes of a named section, or the logged Unrecoverable when absent.
TervikResult<std::string> read_section(const std::string& path, const zv::archive::Toc& toc,
                                       std::string_view name, uint64_t version_id) {
  const zv::archive::TocEntry* entry = toc.section(name);
  if (entry == nullptr) {
    return zv::make_unexpected(logged_unrecoverable(missing_section_message(name, version_id)));
  }
  ZV_ASSIGN_OR_RETURN(zv::archive::SectionReader reader, zv::archive::section_reader(path, *entry));
  std::string bytes;  // grows with the bytes actually present, never by the stored length
  ZV_TRY(reader.read_to_end(&bytes));
  return bytes;
}

}  // namespace

std::string version_file_name(uint64_t id) {
  return std::string(kVersionFilePrefix) + std::to_string(id);
}

TervikResult<std::string> encode_tables_section(const std::vector<PersistedLevel>& levels) {
  if (levels.size() > kMaxByteCount) return zv::make_unexpected(too_many("tables", levels.size(), kMaxByteCount));
  size_t total = 1;
  for (size_t l = 0; l < levels.size(); ++l) {
    if (levels[l].size() > kMaxByteCount) {
      return zv::make_unexpected(
          too_many("level " + std::to_string(l), levels[l].size(), kMaxByteCount));
    }
    total += 1;
    for (const PersistedRun& run : levels[l]) {
      if (run.size() > kMaxWordCount) {
        return zv::make_unexpected(
            too_many("a run of level " + std::to_string(l), run.size(), kMaxWordCount));
      }
      total += kRunHeaderSize + run.size() * kPersistedTableSize;
    }
  }
  std::string out;
  out.reserve(total);
  zv::coding::put_u8(&out, static_cast<uint8_t>(levels.size()));
  for (const PersistedLevel& level : levels) {
    zv::coding::put_u8(&out, static_cast<uint8_t>(level.size()));
    for (const PersistedRun& run : level) {
      zv::coding::put_u32_le(&out, static_cast<uint32_t>(run.size()));
      for (const PersistedTable& t : run) {
        zv::coding::put_u64_le(&out, t.id);
        put_checksum(&out, t.checksum);
        zv::coding::put_u64_le(&out, t.global_seqno);
      }
    }
  }
  return out;
}

TervikResult<std::vector<PersistedLevel>> decode_tables_section(std::string_view section,
                                                                uint64_t version_id) {
  SectionCursor in(section);
  ZV_ASSIGN_OR_RETURN(uint8_t level_count, in.u8());
  if (level_count == 0) {
    return zv::make_unexpected(logged_unrecoverable(
        "version #" + std::to_string(version_id) + " has no levels - maybe the file is corrupted?"));
  }
  ZV_TRY(in.expect_records(level_count, 1));
  std::vector<PersistedLevel> levels(level_count);
  for (PersistedLevel& level : levels) {
    ZV_ASSIGN_OR_RETURN(uint8_t run_count, in.u8());
    ZV_TRY(in.expect_records(run_count, kRunHeaderSize));
    level.reserve(run_count);
    for (uint8_t r = 0; r < run_count; ++r) {
      ZV_ASSIGN_OR_RETURN(uint32_t table_count, in.u32());
      if (table_count == 0) return zv::make_unexpected(logged_unrecoverable(kFatalPersistedRunEmpty));
      ZV_TRY(in.expect_records(table_count, kPersistedTableSize));
      PersistedRun& run = level.emplace_back();
      run.reserve(table_count);
      for (uint32_t i = 0; i < table_count; ++i) {
        PersistedTable t;
        ZV_ASSIGN_OR_RETURN(t.id, in.u64());
        ZV_ASSIGN_OR_RETURN(uint8_t type, in.u8());
        ZV_TRY(check_checksum_type(type));
        ZV_ASSIGN_OR_RETURN(t.checksum, in.checksum());
        ZV_ASSIGN_OR_RETURN(t.global_seqno, in.u64());
        run.push_back(t);
      }
    }
  }
  return levels;
}

TervikResult<std::string> encode_blob_files_section(const std::vector<PersistedBlobFile>& files) {
  if (files.size() > kMaxWordCount) {
    return zv::make_unexpected(too_many("blob_files", files.size(), kMaxWordCount));
  }
  std::string out;
  out.reserve(4 + files.size() * kPersistedBlobFileSize);
  zv::coding::put_u32_le(&out, static_cast<uint32_t>(files.size()));
  for (const PersistedBlobFile& f : files) {
    zv::coding::put_u64_le(&out, f.id);
    put_checksum(&out, f.checksum);
  }
  return out;
}

TervikResult<std::vector<PersistedBlobFile>> decode_blob_files_section(std::string_view section) {
  SectionCursor in(section);
  ZV_ASSIGN_OR_RETURN(uint32_t count, in.u32());
  ZV_TRY(in.expect_records(count, kPersistedBlobFileSize));
  std::vector<PersistedBlobFile> files;
  files.reserve(count);
  for (uint32_t i = 0; i < count; ++i) {
    PersistedBlobFile f;
    ZV_ASSIGN_OR_RETURN(f.id, in.u64());
    ZV_ASSIGN_OR_RETURN(uint8_t type, in.u8());
    ZV_TRY(check_checksum_type(type));
    ZV_ASSIGN_OR_RETURN(f.checksum, in.checksum());
    files.push_back(f);
  }
  return files;
}

TervikResult<std::string> encode_version_file(const VersionFileContents& contents) {
  ZV_ASSIGN_OR_RETURN(std::string tables, encode_tables_section(contents.levels));
  ZV_ASSIGN_OR_RETURN(std::string blob_files, encode_blob_files_section(contents.blob_files));
  ZV_ASSIGN_OR_RETURN(std::string gc_stats, encode_blob_gc_stats(contents.gc_stats));
  if (contents.levels.size() > kMaxByteCount) {
    return zv::make_unexpected(too_many("level_count", contents.levels.size(), kMaxByteCount));
  }

  StringArchiveSink sink;
  zv::archive::ArchiveWriter archive(sink);
  const std::string format(1, static_cast<char>(kVersionFileFormatVersion));
  const std::string tree_type(1, static_cast<char>(contents.tree_type));
  const std::string level_count(1, static_cast<char>(contents.levels.size()));
  const std::string filter_hash(1, static_cast<char>(kVersionFilterHashXxh3));
  const std::pair<std::string_view, std::string_view> sections[] = {
      {kSectionFormatVersion, format},   {kSectionCoreVersion, kVersionFileCoreVersion},
      {kSectionTreeType, tree_type},     {kSectionLevelCount, level_count},
      {kSectionFilterHashType, filter_hash}, {kSectionTables, tables},
      {kSectionBlobFiles, blob_files},   {kSectionBlobGcStats, gc_stats},
  };
  for (const auto& [name, bytes] : sections) {
    ZV_TRY(archive.start_section(name));
    ZV_TRY(sink.write_all(bytes));
  }
  ZV_TRY(from_archive_result(archive.finish()));
  return sink.take();
}

TervikResult<Checksum> write_version_file(VersionFs& fs, const std::string& path,
                                          const VersionFileContents& contents) {
  // Encode first: a version the format cannot hold leaves no file behind.
  ZV_ASSIGN_OR_RETURN(std::string bytes, encode_version_file(contents));
  const Checksum checksum = Checksum::of(bytes);

  // The file at `path` may be the one "current" names (a retry after a
  // failure that came after the rename): it is only ever replaced whole, by
  // a rename of a complete, synced temporary file.
  const std::string tmp_path = path + std::string(kVersionTempSuffix);
  auto written = [&]() -> TervikStatus {
    ZV_ASSIGN_OR_RETURN(zv::File file, with_sharing_retry(fs, [&] { return fs.create(tmp_path); }));
    ZV_TRY(fs.write_all(file, bytes));
    ZV_TRY(fs.sync_file(file));
    ZV_TRY(file.close());
    ZV_TRY(fs.rename(tmp_path, path));
    return {};
  }();
  if (!written.ok()) {
    (void)fs.remove(tmp_path);  // best effort; recovery removes leftovers too
    return zv::make_unexpected(std::move(written).error());
  }
  return checksum;
}

TervikResult<VersionFileContents> read_version_file(const std::string& path, uint64_t version_id) {
  ZV_ASSIGN_OR_RETURN(zv::archive::Toc toc,
                      from_archive_result(zv::archive::ArchiveReader::open(path)));
  VersionFileContents out;
  {
    ZV_ASSIGN_OR_RETURN(std::string bytes, read_section(path, toc, kSectionTables, version_id));
    ZV_ASSIGN_OR_RETURN(out.levels, decode_tables_section(bytes, version_id));
  }
  {
    ZV_ASSIGN_OR_RETURN(std::string bytes, read_section(path, toc, kSectionBlobFiles, version_id));
    ZV_ASSIGN_OR_RETURN(out.blob_files, decode_blob_files_section(bytes));
    std::sort(out.blob_files.begin(), out.blob_files.end(),
              [](const PersistedBlobFile& a, const PersistedBlobFile& b) { return a.id < b.id; });
  }
  {
    ZV_ASSIGN_OR_RETURN(std::string bytes, read_section(path, toc, kSectionBlobGcStats, version_id));
    ZV_ASSIGN_OR_RETURN(out.gc_stats, decode_blob_gc_stats(bytes));
  }
  {
    ZV_ASSIGN_OR_RETURN(std::string bytes, read_section(path, toc, kSectionTreeType, version_id));
    SectionCursor in(bytes);
    ZV_ASSIGN_OR_RETURN(uint8_t type, in.u8());
    if (type > static_cast<uint8_t>(TreeType::kBlob)) {
      return zv::make_unexpected(TervikError::invalid_header(kTreeTypeName));
    }
    out.tree_type = static_cast<TreeType>(type);
  }
  if (const zv::archive::TocEntry* entry = toc.section(kSectionLevelCount); entry != nullptr) {
    ZV_ASSIGN_OR_RETURN(std::string bytes, read_section(path, toc, kSectionLevelCount, version_id));
    SectionCursor in(bytes);
    ZV_ASSIGN_OR_RETURN(out.level_count, in.u8());
  }
  return out;
}

std::string encode_current(uint64_t version_id, const Checksum& checksum) {
  std::string out;
  out.reserve(kCurrentFileSize);
  zv::coding::put_u64_le(&out, version_id);
  checksum.encode_to(&out);
  zv::coding::put_u8(&out, kVersionChecksumTypeXxh3);
  return out;
}

TervikResult<CurrentPointer> read_current(const std::string& folder) {
  ZV_ASSIGN_OR_RETURN(zv::File file, zv::File::open_read(zv::fs::join(folder, std::string(kCurrentFileName))));
  uint8_t id[8];
  ZV_TRY(file.read_exact(id, sizeof(id)));
  CurrentPointer out;
  out.version_id = zv::coding::get_u64_le(id);
  // The checksum part is advisory: a short or odd one leaves it unknown.
  uint8_t rest[kCurrentFileSize - sizeof(id)];
  auto got = file.read(rest, sizeof(rest));
  if (got.ok() && *got == sizeof(rest) && rest[Checksum::kEncodedSize] == kVersionChecksumTypeXxh3) {
    out.checksum = Checksum::decode(rest);
  }
  return out;
}

TervikResult<Checksum> checksum_of_file(const std::string& path) {
  ZV_ASSIGN_OR_RETURN(zv::File file, zv::File::open_read(path));
  zv::Xxh3Hasher128 hasher;
  std::vector<uint8_t> buf(kVersionFileBufferSize);
  for (;;) {
    ZV_ASSIGN_OR_RETURN(size_t n, file.read(buf.data(), buf.size()));
    if (n == 0) break;
    hasher.update(buf.data(), n);
  }
  return Checksum(hasher.digest());
}

}  // namespace tervik
