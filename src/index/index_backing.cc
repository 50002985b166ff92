#include "src/index/index_backing.h"

#include "platform/file.h"

namespace zv {

IndexBacking IndexBacking::unmapped(std::string path) {
  IndexBacking b;
  b.state_ = State::kUnmapped;
  b.path_ = std::move(path);
  return b;
}

IndexBacking IndexBacking::mapped(std::string path, std::shared_ptr<MemoryMap> map) {
  IndexBacking b;
  b.state_ = State::kMapped;
  b.path_ = std::move(path);
  b.map_ = std::move(map);
  return b;
}

std::optional<std::string> IndexBacking::path() const {
  if (state_ == State::kInMemory) return std::nullopt;
  return path_;
}

std::optional<uint64_t> resident_bytes(const MemoryMap& map) {
  if (map.data() == nullptr || map.size() == 0) return uint64_t{0};
  auto pages = map.resident_pages(0, map.size());
  if (!pages.ok()) return std::nullopt;
  return static_cast<uint64_t>(*pages) * MemoryMap::page_size();
}

std::optional<uint64_t> IndexBacking::mmap_resident_bytes() const {
  switch (state_) {
    case State::kInMemory: return std::nullopt;
    case State::kMapped: return map_ ? resident_bytes(*map_) : std::nullopt;
    case State::kUnmapped: {
      auto file = File::open_read(path_);
      if (!file.ok()) return std::nullopt;
      auto map = MemoryMap::map_file(*file, false);
      if (!map.ok()) return std::nullopt;
      return resident_bytes(*map);
    }
  }
  return std::nullopt;
}

}  // namespace zv
