// For fuzz targets that damage table files: the fuzz input read as numbers,
// and the block frames of a table file's sections, re-framed (a recomputed
// checksum) after a block was damaged so that the damage reaches the
// decoders behind the checksum. Test-only.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/fs.h"
#include "platform/panic.h"
#include "tervik/block/block.h"
#include "tervik/table/testing/table_builder.h"

namespace tervik::testing {

// The fuzz input, read front to back; zeros once it is used up.
class FuzzBytes {
 public:
  FuzzBytes(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool empty() const { return pos_ >= size_; }
  uint8_t u8() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint32_t u16() { return u8() | (uint32_t{u8()} << 8); }
  uint32_t u32() { return u16() | (u16() << 16); }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

struct Frame {
  size_t section;
  size_t pos;  // header position in the section
};

// The block frames of every section that holds blocks.
inline std::vector<Frame> frames_of(const std::vector<Section>& sections) {
  std::vector<Frame> out;
  for (size_t s = 0; s < sections.size(); ++s) {
    const std::string& b = sections[s].bytes;
    size_t pos = 0;
    while (b.size() - pos >= kBlockHeaderSize) {
      auto h = BlockHeader::decode(std::string_view(b).substr(pos));
      if (!h.ok()) break;
      out.push_back({s, pos});
      pos += kBlockHeaderSize + h->data_length;
      if (pos > b.size()) break;
    }
  }
  return out;
}

// Re-frames the block at `f` after its payload or header fields changed.
inline void reseal(std::vector<Section>& sections, const Frame& f, BlockHeader h) {
  std::string& b = sections[f.section].bytes;
  if (b.size() - f.pos < kBlockHeaderSize) return;
  const size_t avail = b.size() - f.pos - kBlockHeaderSize;
  const size_t stored = std::min<size_t>(h.data_length, avail);
  h.checksum = Checksum::of(std::string_view(b).substr(f.pos + kBlockHeaderSize, stored));
  std::string header;
  h.encode_to(&header);
  b.replace(f.pos, kBlockHeaderSize, header);
}

// Damages the data blocks of the table file at `path`, keeping every
// section's length, so that the open table's regions stay where they are.
inline void damage_data_blocks(FuzzBytes& in, const std::string& path) {
  std::vector<Section> sections = read_sections(path);
  std::vector<Frame> frames;
  for (const Frame& f : frames_of(sections)) {
    if (sections[f.section].name == "data") frames.push_back(f);
  }
  if (frames.empty()) return;
  for (int ops = 0; ops < 4 && !in.empty(); ++ops) {
    const Frame& f = frames[in.u16() % frames.size()];
    std::string& b = sections[f.section].bytes;
    auto h = BlockHeader::decode(std::string_view(b).substr(f.pos));
    if (!h.ok()) continue;
    switch (in.u8() % 4) {
      case 0:
      case 1: {
        const size_t len = std::min<size_t>(h->data_length, b.size() - f.pos - kBlockHeaderSize);
        if (len == 0) continue;
        b[f.pos + kBlockHeaderSize + in.u16() % len] ^= static_cast<char>(in.u8() | 1);
        break;
      }
      case 2:
        h->data_length = in.u32();
        break;
      default:
        h->uncompressed_length = in.u32();
        break;
    }
    reseal(sections, f, *h);
  }
  if (!zv::fs::write_file(path, build_container(sections)).ok()) zv::panic("fuzz: rewrite table");
}

}  // namespace tervik::testing
