#include "src/wal/wal_shard_files.h"

#include <algorithm>
#include <charconv>

#include "platform/fs.h"

namespace zv::wal {
namespace {

constexpr const char* kShardInfix = ".shard";

struct NameParts {
  std::string stem;
  std::string ext_part;  // "." + extension, or empty when there is none
};

NameParts split_name(const std::string& name) {
  const size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0 || name == "..") return {name, ""};
  return {name.substr(0, dot), name.substr(dot)};
}

// An unsigned decimal number with at most one leading '+', nothing else.
std::optional<uint64_t> parse_count(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  uint64_t v = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return v;
}

}  // namespace

std::string shard_path(uint64_t n, const std::string& wal_path, uint64_t index) {
  if (n < 2) return wal_path;
  NameParts parts = split_name(fs::file_name(wal_path));
  return fs::join(fs::parent(wal_path),
                  parts.stem + kShardInfix + std::to_string(index) + parts.ext_part);
}

std::optional<uint64_t> detect_shard_count(FileSystem& fs, const std::string& wal_path) {
  if (fs.exists(wal_path)) return 1;
  auto names = fs.list_dir(dir_of(wal_path));
  if (!names.ok()) return std::nullopt;
  NameParts parts = split_name(fs::file_name(wal_path));
  const std::string prefix = parts.stem + kShardInfix;
  std::optional<uint64_t> largest;
  for (const std::string& name : *names) {
    if (name.size() <= prefix.size() + parts.ext_part.size()) continue;
    if (name.compare(0, prefix.size(), prefix) != 0) continue;
    if (name.compare(name.size() - parts.ext_part.size(), parts.ext_part.size(),
                     parts.ext_part) != 0)
      continue;
    auto number = parse_count(std::string_view(name).substr(
        prefix.size(), name.size() - prefix.size() - parts.ext_part.size()));
    if (number && *number < UINT64_MAX) largest = std::max(largest.value_or(0), *number);
  }
  if (!largest) return std::nullopt;
  return *largest + 1;
}

std::optional<uint64_t> read_shard_count(FileSystem& fs, const std::string& wal_path) {
  auto text = read_whole_file(fs, wal_path + kShardCountSuffix);
  if (!text.ok()) return std::nullopt;
  std::string_view v = *text;
  const char* ws = " \t\r\n\f\v";
  const size_t first = v.find_first_not_of(ws);
  if (first == std::string_view::npos) return std::nullopt;
  v = v.substr(first, v.find_last_not_of(ws) - first + 1);
  return parse_count(v);
}

ZolvaStatus write_shard_count(FileSystem& fs, const std::string& wal_path, uint64_t count) {
  ZV_TRY(replace_file_durably(fs, wal_path + kShardCountSuffix, std::to_string(count)));
  return {};
}

std::optional<std::string> check_round_robin_counts(const std::vector<uint64_t>& counts) {
  if (counts.empty()) return std::nullopt;
  const uint64_t m = *std::max_element(counts.begin(), counts.end());
  if (m > 1) {
    for (size_t i = 0; i < counts.size(); ++i) {
      if (counts[i] + 1 < m) {
        return "WAL shard " + std::to_string(i) + " is truncated: " + std::to_string(counts[i]) +
               " durable records, but round-robin requires at least " + std::to_string(m - 1) +
               "; aborting recovery instead of silently dropping data";
      }
    }
  }
  for (size_t i = 1; i < counts.size(); ++i) {
    if (counts[i] > counts[i - 1]) {
      return "WAL shard " + std::to_string(i) + " has " + std::to_string(counts[i]) +
             " records, more than the " + std::to_string(counts[i - 1]) + " in shard " +
             std::to_string(i - 1) +
             "; round-robin order broken (truncated tail); aborting recovery instead of "
             "silently dropping data";
    }
  }
  return std::nullopt;
}

uint64_t effective_shard_count(FileSystem& fs, const std::string& wal_path, uint64_t configured) {
  if (fs.exists(wal_path)) return 1;
  const std::optional<uint64_t> found = detect_shard_count(fs, wal_path);
  const std::optional<uint64_t> stored = read_shard_count(fs, wal_path);
  // The count file is written before the shards are created, so when it
  // names more shards than are found the missing ones belong to the log.
  if (found && stored) return std::max(*found, *stored);
  if (found) return *found;
  if (stored) return *stored;
  return configured;
}

ZolvaError too_many_shards(uint64_t count) {
  return ZolvaError::wal("WAL shard count " + std::to_string(count) +
                         " exceeds the supported maximum of " + std::to_string(kMaxShardCount));
}

}  // namespace zv::wal
