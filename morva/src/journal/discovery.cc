#include "morva/src/journal/discovery.h"

#include <algorithm>
#include <optional>

#include "platform/fs.h"
#include "platform/log.h"
#include "platform/utf8.h"

namespace morva {
namespace {

using zv::log::Level;
constexpr const char* kLogTarget = "morva::journal::recovery";

MorvaError invalid_name(std::string_view name) {
  ZV_ERROR(kLogTarget, "Invalid journal file name: " + std::string(name));
  return MorvaError::journal_recovery(JournalRecoveryKind::kInvalidFileName);
}

bool equals_ignoring_ascii_case(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    return lower(x) == lower(y);
  });
}

MorvaResult<JournalWriter> create_journal(const DatabaseConfig& config, uint64_t number) {
  const std::string path = zv::fs::join(config.path, journal_file_name(number));
  ZV_LOG(Level::kTrace, kLogTarget, "Creating new journal at " + path);
  if (auto st = zv::fs::create_dir_all(config.path); !st.ok()) {
    ZV_ERROR(kLogTarget, "Failed to create journal folder at " + path + ": " + st.error().to_string());
    return zv::make_unexpected(std::move(st).error());
  }
  return JournalWriter::create(*config.journal_fs, path, config.journal_preallocated_size);
}

}  // namespace

std::string RecoveryResult::debug_string() const {
  std::string out = "RecoveryResult { active: ";
  auto path = active ? active->active_path() : MorvaResult<std::string>(std::string());
  out += path.ok() ? *path : std::string("?");
  out += ", sealed: [";
  for (size_t i = 0; i < sealed.size(); ++i) {
    if (i > 0) out += ", ";
    out += std::to_string(sealed[i].number);
  }
  out += "], was_active_created: ";
  out += was_active_created ? "true" : "false";
  return out + " }";
}

std::string_view file_extension(std::string_view name) {
  const size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return {};
  return name.substr(dot + 1);
}

MorvaResult<RecoveryResult> discover_journals(const DatabaseConfig& config) {
  ZV_ASSIGN_OR_RETURN(std::vector<std::string> names, config.journal_fs->list_dir(config.path));
  std::vector<SealedJournalFile> found;
  for (const std::string& name : names) {
    // Every entry, journal or not: a name that is not text is damage.
    if (!zv::is_valid_utf8(name)) return zv::make_unexpected(invalid_name(name));
    if (!equals_ignoring_ascii_case(file_extension(name), "jnl")) continue;
    const std::string path = zv::fs::join(config.path, name);
    if (!zv::fs::is_file(path)) {
      ZV_WARN(kLogTarget, "Skipping " + path + ": named like a journal but not a file");
      continue;
    }
    auto number = journal_file_number(name);
    if (!number.ok()) return zv::make_unexpected(invalid_name(name));
    found.push_back({*number, path});
  }
  std::stable_sort(found.begin(), found.end(),
                   [](const SealedJournalFile& a, const SealedJournalFile& b) { return a.number < b.number; });
  RecoveryResult result;
  std::optional<JournalWriter> writer;
  if (found.empty()) {
    result.was_active_created = true;
    ZV_ASSIGN_OR_RETURN(writer, create_journal(config, 1));
  } else {
    const std::string path = found.back().path;
    found.pop_back();
    ZV_ASSIGN_OR_RETURN(writer, JournalWriter::open_existing(*config.journal_fs, path,
                                                            config.journal_preallocated_size));
  }
  result.sealed = std::move(found);
  result.active = std::make_shared<Journal>(*config.journal_fs, std::move(*writer));
  result.active->with_compression(config.journal_compression, config.journal_compression_threshold);
  return result;
}

}  // namespace morva
