#include "tervik/version/testing/power_loss_image.h"

#include <map>
#include <optional>

#include "platform/fs.h"

namespace tervik::testing {
namespace {

struct Entry {
  bool dir = false;
  uint64_t file = 0;
};

struct FileState {
  std::string live;
  std::string durable;
  std::vector<const FsEvent*> unsynced;  // writes and truncations since the last sync
};

struct DirState {
  std::optional<std::map<std::string, Entry>> durable;  // none before its first sync
  std::vector<const FsEvent*> unsynced;                 // entry changes since then
};

void apply_content(std::string& content, const FsEvent& e) {
  if (e.kind == FsEvent::Kind::kTruncate) {
    content.resize(e.offset, '\0');
    return;
  }
  if (content.size() < e.offset + e.bytes.size()) content.resize(e.offset + e.bytes.size(), '\0');
  content.replace(e.offset, e.bytes.size(), e.bytes);
}

std::string parent_of(const std::string& path) { return zv::fs::parent(path); }

class Builder {
 public:
  Builder(std::mt19937_64& rng, const std::string& hole_suffix) : rng_(rng), hole_suffix_(hole_suffix) {}

  void replay(const FsEvent& e) {
    switch (e.kind) {
      case FsEvent::Kind::kCreate:
        live_[e.path] = {false, e.file};
        files_[e.file] = FileState();
        dirs_[parent_of(e.path)].unsynced.push_back(&e);
        break;
      case FsEvent::Kind::kWrite:
      case FsEvent::Kind::kTruncate: {
        FileState& f = files_[e.file];
        apply_content(f.live, e);
        f.unsynced.push_back(&e);
        break;
      }
      case FsEvent::Kind::kSync: {
        FileState& f = files_[e.file];
        f.durable = f.live;
        f.unsynced.clear();
        break;
      }
      case FsEvent::Kind::kMkdir:
        live_[e.path] = {true, 0};
        dirs_[parent_of(e.path)].unsynced.push_back(&e);
        break;
      case FsEvent::Kind::kUnlink:
      case FsEvent::Kind::kRmdir:
        live_.erase(e.path);
        dirs_[parent_of(e.path)].unsynced.push_back(&e);
        break;
      case FsEvent::Kind::kRename:
        if (auto it = live_.find(e.path); it != live_.end()) {
          live_[e.target] = it->second;
          live_.erase(it);
        }
        dirs_[parent_of(e.target)].unsynced.push_back(&e);
        if (parent_of(e.path) != parent_of(e.target)) dirs_[parent_of(e.path)].unsynced.push_back(&e);
        break;
      case FsEvent::Kind::kSyncDir: {
        DirState& d = dirs_[e.path];
        std::map<std::string, Entry> entries;
        for (const auto& [path, entry] : live_) {
          if (parent_of(path) == e.path) entries[zv::fs::file_name(path)] = entry;
        }
        d.durable = std::move(entries);
        d.unsynced.clear();
        break;
      }
      case FsEvent::Kind::kMark: break;
    }
  }

  bool write_dir(const std::string& path, const std::string& out) {
    if (!zv::fs::create_dir_all(out).ok()) return false;
    DirState& d = dirs_[path];
    std::map<std::string, Entry> entries = d.durable.value_or(std::map<std::string, Entry>());
    // Some prefix of the entry changes after the last sync reached the disk.
    const size_t applied = pick(d.unsynced.size());
    for (size_t i = 0; i < applied; ++i) {
      const FsEvent& e = *d.unsynced[i];
      switch (e.kind) {
        case FsEvent::Kind::kCreate: entries[zv::fs::file_name(e.path)] = {false, e.file}; break;
        case FsEvent::Kind::kMkdir: entries[zv::fs::file_name(e.path)] = {true, 0}; break;
        case FsEvent::Kind::kUnlink:
        case FsEvent::Kind::kRmdir: entries.erase(zv::fs::file_name(e.path)); break;
        case FsEvent::Kind::kRename: {
          std::optional<Entry> moved;
          if (parent_of(e.path) == path) {
            if (auto it = entries.find(zv::fs::file_name(e.path)); it != entries.end()) {
              moved = it->second;
              entries.erase(it);
            }
          } else if (auto it = live_.find(e.target); it != live_.end()) {
            moved = it->second;
          }
          if (moved && parent_of(e.target) == path) entries[zv::fs::file_name(e.target)] = *moved;
          break;
        }
        default: break;
      }
    }
    for (const auto& [name, entry] : entries) {
      const std::string child = zv::fs::join(path, name);
      const std::string child_out = zv::fs::join(out, name);
      if (entry.dir) {
        if (!write_dir(child, child_out)) return false;
      } else if (!zv::fs::write_file(child_out, content_of(entry.file, name)).ok()) {
        return false;
      }
    }
    return true;
  }

 private:
  // 0 .. n, each end as likely as the middle.
  size_t pick(size_t n) {
    if (n == 0) return 0;
    switch (rng_() % 4) {
      case 0: return 0;
      case 1: return n;
      default: return rng_() % (n + 1);
    }
  }

  std::string content_of(uint64_t file, const std::string& name) {
    auto it = files_.find(file);
    if (it == files_.end()) return {};
    FileState& f = it->second;
    std::string content = f.durable;
    const size_t applied = pick(f.unsynced.size());
    std::vector<std::pair<uint64_t, uint64_t>> written;  // ranges of the applied writes
    for (size_t i = 0; i < applied; ++i) {
      apply_content(content, *f.unsynced[i]);
      if (f.unsynced[i]->kind == FsEvent::Kind::kWrite) {
        written.emplace_back(f.unsynced[i]->offset, f.unsynced[i]->offset + f.unsynced[i]->bytes.size());
      }
    }
    // A page of the unsynced writes that never reached the disk while a later
    // one did.
    if (name.ends_with(hole_suffix_) && !written.empty() && rng_() % 2 == 0) {
      const auto [begin, end] = written[rng_() % written.size()];
      const uint64_t page = (begin + rng_() % (end - begin)) / kPowerLossPageSize * kPowerLossPageSize;
      if (page + kPowerLossPageSize < content.size()) {
        std::fill(content.begin() + static_cast<std::ptrdiff_t>(std::max(page, begin)),
                  content.begin() + static_cast<std::ptrdiff_t>(std::min(page + kPowerLossPageSize, end)), '\0');
      }
    }
    return content;
  }

  std::mt19937_64& rng_;
  const std::string& hole_suffix_;
  std::map<std::string, Entry> live_;  // live path -> entry
  std::map<uint64_t, FileState> files_;
  std::map<std::string, DirState> dirs_;
};

}  // namespace

bool build_power_loss_image(const std::vector<FsEvent>& events, size_t cut, const std::string& root,
                            const std::string& image, std::mt19937_64& rng, const std::string& hole_suffix) {
  Builder b(rng, hole_suffix);
  for (size_t i = 0; i < cut && i < events.size(); ++i) b.replay(events[i]);
  return b.write_dir(root, image);
}

}  // namespace tervik::testing
