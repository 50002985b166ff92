#include "morva/src/version_marker.h"

#include "morva/src/format_version.h"
#include "platform/fs.h"
#include "platform/log.h"

namespace morva {
namespace {

constexpr const char* kLogTarget = "morva::version";

std::string marker_bytes() {
  std::string out(kVersionMagic);
  out.push_back(static_cast<char>(kCurrentFormatVersion));
  return out;
}

}  // namespace

zv::IoStatus write_version_marker(zv::FsFile& file) {
  const std::string bytes = marker_bytes();
  return file.write_at(bytes.data(), bytes.size(), 0);
}

MorvaStatus write_version_marker_file(zv::FileSystem& fs, const std::string& folder) {
  ZV_TRY(zv::replace_file_durably(fs, zv::fs::join(folder, kVersionFileName), marker_bytes()));
  return {};
}

MorvaStatus check_version_marker(std::string_view content) {
  if (content.size() < 4 || content.substr(0, 3) != kVersionMagic) {
    return zv::make_unexpected(MorvaError::invalid_version(std::nullopt));
  }
  const std::optional<FormatVersion> v = parse_format_version(static_cast<uint8_t>(content[3]));
  if (v == FormatVersion::kV3) return {};
  if (v == FormatVersion::kV2) ZV_ERROR(kLogTarget, kV2RefusalMessage);
  return zv::make_unexpected(MorvaError::invalid_version(v));
}

MorvaStatus read_version_marker(zv::FileSystem& fs, const std::string& folder) {
  ZV_ASSIGN_OR_RETURN(std::string content, zv::read_whole_file(fs, zv::fs::join(folder, kVersionFileName)));
  return check_version_marker(content);
}

}  // namespace morva
