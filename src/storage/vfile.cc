#include "src/storage/vfile.h"

#include <cstdlib>
#include <cstring>
#include <limits>

#include "platform/clock.h"
#include "platform/coding.h"
#include "platform/log.h"
#include "platform/panic.h"
#include "platform/residency.h"

namespace zv {

using namespace ::zv::coding;

namespace {

constexpr const char* kLogTarget = "zivir::storage::vfile";
constexpr uint64_t kMaxMapLen = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());

ZolvaError io_error(IoErrorKind kind, std::string text) {
  return ZolvaError::io(IoError(kind, std::move(text)));
}

bool all_zero(const uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (p[i]) return false;
  return true;
}

ZolvaError read_only_error(const char* reason) {
  return ZolvaError::validation("read_only", reason);
}

ZolvaError no_backing_file() { return ZolvaError::validation("backing_file", "no backing file"); }

ZolvaResult<std::shared_ptr<MemoryMap>> map_whole(const File& file, bool writable) {
  auto len = file.size();
  if (!len.ok()) return make_unexpected(ZolvaError::io(len.error()));
  if (*len > kMaxMapLen)
    return make_unexpected(io_error(IoErrorKind::kOther, "memory map length overflows isize"));
  auto m = MemoryMap::map(file, 0, static_cast<size_t>(*len), writable);
  if (!m.ok()) return make_unexpected(ZolvaError::io(m.error()));
  return std::make_shared<MemoryMap>(std::move(*m));
}

}  // namespace

void FreeDeleter::operator()(uint8_t* p) const { std::free(p); }

ZolvaResult<ZeroedBuffer> alloc_zeroed(uint64_t size) {
  if (size > (uint64_t{1} << 63) - 4)
    return make_unexpected(ZolvaError::validation(
        "alloc", "in-memory vstore buffer size " + std::to_string(size) +
                     " overflows layout with align 4"));
  void* p = std::calloc(size == 0 ? 1 : static_cast<size_t>(size), 1);
  if (p == nullptr)
    return make_unexpected(ZolvaError::resource_limit(
        "in-memory vstore allocation of " + std::to_string(size) + " bytes failed"));
  return ZeroedBuffer(static_cast<uint8_t*>(p));
}

ResidentBytes range_resident_bytes(const void* addr, uint64_t len) {
  if (addr == nullptr || len == 0) return {true, 0};
  if (len > std::numeric_limits<size_t>::max()) return {false, 0};
  const Residency r = resident_pages_in_range(addr, static_cast<size_t>(len));
  if (!r.known) return {false, 0};
  return {true, r.pages * residency_page_size()};
}

ZolvaStatus check_record_limits(NodeId id, uint64_t vector_len, uint64_t edge_count) {
  if (vector_len > kVectorLenLimit)
    return make_unexpected(ZolvaError::vector_len_overflow(id, vector_len));
  if (edge_count > kEdgeCountLimit)
    return make_unexpected(ZolvaError::edge_count_overflow(id, edge_count));
  return {};
}

void VFile::install_map(std::shared_ptr<MemoryMap> map) {
  map_ = std::move(map);
  data_ = map_->data();
}

void VFile::write_fresh_header() {
  std::memset(data_, 0, kSegmentHeaderLen);
  std::memcpy(data_, kSegmentMagic.data(), 4);
  data_[4] = static_cast<uint8_t>(kSegmentVersion);
  data_[5] = static_cast<uint8_t>(kSegmentVersion >> 8);
  const uint64_t now = now_ms();
  for (int i = 0; i < 8; ++i) data_[8 + i] = static_cast<uint8_t>(now >> (8 * i));
  for (int i = 0; i < 8; ++i) data_[16 + i] = static_cast<uint8_t>(kSegmentHeaderLen >> (8 * i));
}

ZolvaResult<VFile> VFile::open(const std::string& path, uint64_t initial_size, bool read_only) {
  OpenOptions opts;
  opts.read = true;
  opts.write = !read_only;
  opts.create = !read_only;
  auto file = File::open(path, opts);
  if (!file.ok()) return make_unexpected(ZolvaError::io(file.error()));
  auto len = file->size();
  if (!len.ok()) return make_unexpected(ZolvaError::io(len.error()));
  const bool fresh = *len < kSegmentHeaderLen;
  if (fresh) {
    if (read_only)
      return make_unexpected(ZolvaError::validation("file_size", "File " + path + " too small"));
    if (auto s = file->set_len(std::max(initial_size, kSegmentHeaderLen)); !s.ok())
      return make_unexpected(ZolvaError::io(s.error()));
  }

  VFile v;
  v.read_only_ = read_only;
  v.path_ = path;
  ZV_ASSIGN_OR_RETURN(auto map, map_whole(*file, !read_only));
  v.install_map(std::move(map));
  v.capacity_ = v.map_->size();

  if (!read_only && std::memcmp(v.data_, kSegmentMagic.data(), 4) != 0 &&
      (fresh || all_zero(v.data_, kSegmentHeaderLen))) {
    // Only a new file is initialised; a foreign header fails below and the
    // file stays as it was.
    v.write_fresh_header();
    if (auto f = v.map_->flush(0, kSegmentHeaderLen); !f.ok())
      return make_unexpected(ZolvaError::io(f.error()));
  }

  const uint8_t* d = v.data_;
  const uint16_t version = get_u16_le(d + 4);
  const Magic found = {d[0], d[1], d[2], d[3]};
  if (found != kSegmentMagic)
    return make_unexpected(ZolvaError::incompatible_format(
        kSegmentMagic, kSegmentVersion, found, version,
        "File: expected magic " + magic_byte_list(kSegmentMagic) + ", found " +
            magic_byte_list(found)));
  if (version > kSegmentVersion)
    return make_unexpected(ZolvaError::incompatible_format(
        kSegmentMagic, kSegmentVersion, found, version,
        "File: file version " + std::to_string(version) +
            " is newer than this software (max " + std::to_string(kSegmentVersion) + ")"));

  // Appends may leave the stored offset up to 63 bytes past the file's end
  // (growth need not keep the length a multiple of 64); the next append grows
  // the file first. Anything else cannot be trusted, and restarting at 64
  // would overwrite live records, so the end of the file is taken instead.
  const uint64_t stored = get_u64_le(d + 16);
  const uint64_t limit = round_up_64(v.capacity_);
  if (stored >= kSegmentHeaderLen && stored <= limit) {
    v.write_offset_ = round_up_64(stored);
  } else {
    v.write_offset_ = std::max(limit, kSegmentHeaderLen);
    ZV_WARN(kLogTarget, "vector store write offset out of range; appending after the file's end",
            {"path", path}, {"stored_write_offset", std::to_string(stored)},
            {"write_offset", std::to_string(v.write_offset_)});
  }
  v.file_ = std::move(*file);
  return v;
}

VFile VFile::in_memory(uint64_t capacity) {
  const uint64_t size = std::max(capacity, kSegmentHeaderLen);
  auto buf = alloc_zeroed(size);
  if (!buf.ok()) panic("in-memory vstore allocation failed at construction (OOM)");
  VFile v;
  v.buffer_ = std::move(*buf);
  v.buffer_len_ = size;
  v.data_ = v.buffer_.get();
  v.capacity_ = size;
  v.write_fresh_header();
  return v;
}

VFileHeader VFile::header() const {
  return VFileHeader{get_u64_le(data_ + 8), get_u32_le(data_), get_u16_le(data_ + 4),
                     get_u16_le(data_ + 6)};
}

ZolvaResult<std::span<uint8_t>> VFile::bytes_mut() {
  if (read_only_) return make_unexpected(read_only_error("File is read-only"));
  return std::span<uint8_t>(data_, capacity_);
}

ZolvaStatus VFile::write_node_header(uint64_t position, const NodeRecordHeader& h) {
  if (position % kRecordAlign != 0)
    return make_unexpected(io_error(IoErrorKind::kInvalidInput, "misaligned"));
  if (capacity_ < kNodeHeaderLen || position > capacity_ - kNodeHeaderLen)
    return make_unexpected(io_error(IoErrorKind::kUnexpectedEof, "out of bounds"));
  ZV_ASSIGN_OR_RETURN(std::span<uint8_t> out, bytes_mut());
  h.encode(out.data() + position);
  return {};
}

std::optional<NodeRecordHeader> VFile::node_header_at(uint64_t position) const {
  if (position % kRecordAlign != 0) return std::nullopt;
  if (capacity_ < kNodeHeaderLen || position > capacity_ - kNodeHeaderLen) return std::nullopt;
  const uint8_t* p = data_ + position;
  if (get_u64_le(p + 32) & 3) return std::nullopt;
  return NodeRecordHeader::decode(p);
}

std::optional<DiskNodeHeader> VFile::disk_node_header_at(uint64_t position) const {
  auto h = node_header_at(position);
  if (!h) return std::nullopt;
  return DiskNodeHeader{h->vector_offset, h->vector_len, h->flags};
}

ZolvaResult<uint64_t> VFile::append_node(const EngineNode& node) {
  if (read_only_) return make_unexpected(read_only_error("File is read-only"));
  const StoreVectorLayout layout = store_vector_layout(node.vector);
  ZV_TRY(check_record_limits(node.id, layout.len, node.edges.size()));

  const uint64_t p = write_offset_;
  const uint64_t end = saturating_add(saturating_add(p, kNodeHeaderLen), layout.payload_bytes);
  if (end > capacity_) {
    const uint64_t doubled = capacity_ > UINT64_MAX / 2 ? UINT64_MAX : capacity_ * 2;
    ZV_TRY(grow_to(std::max(doubled, saturating_add(end, 4096))));
  }

  NodeRecordHeader h;
  h.node_id = node.id;
  h.filter_word0 = node.bitset.size() > 0 ? node.bitset[0] : 0;
  h.filter_word1 = node.bitset.size() > 1 ? node.bitset[1] : 0;
  h.vector_offset = p + kNodeHeaderLen;
  h.confidence_score = node.confidence_score;
  h.importance = node.importance;
  h.vector_len = static_cast<uint32_t>(layout.len);
  h.flags = (node.flags & ~kVectorKindMask) |
            (static_cast<uint32_t>(layout.kind) << kVectorKindShift);
  h.edge_count = static_cast<uint16_t>(node.edges.size());
  h.tier = node.tier == Tier::kHot ? 1 : 0;
  ZV_TRY(write_node_header(p, h));

  uint8_t* out = data_ + h.vector_offset;
  const VectorRepr& v = node.vector;
  switch (layout.kind) {
    case StoreVectorKind::kBinary: {
      const auto& w = v.as_binary()->words;
      for (size_t i = 0; i < w.size(); ++i)
        for (int b = 0; b < 8; ++b) out[8 * i + b] = static_cast<uint8_t>(w[i] >> (8 * b));
      break;
    }
    case StoreVectorKind::kTurbo:
      if (layout.len) std::memcpy(out, v.as_turbo()->bytes.data(), layout.len);
      break;
    case StoreVectorKind::kSq8: {
      const Sq8Code& q = *v.as_sq8();
      if (layout.len) std::memcpy(out, q.codes.data(), layout.len);
      uint32_t s;
      std::memcpy(&s, &q.scale, 4);
      for (int b = 0; b < 4; ++b) out[layout.len + b] = static_cast<uint8_t>(s >> (8 * b));
      break;
    }
    case StoreVectorKind::kF32: {
      // Little-endian host: the f32 values are copied as they lie.
      const F32View view = *v.as_f32_slice();
      if (layout.len) std::memcpy(out, view.bytes(), layout.payload_bytes);
      break;
    }
    case StoreVectorKind::kNone: break;
  }
  write_offset_ = round_up_64(end);
  ZV_TRY(store_write_offset());
  return p;
}

ZolvaStatus VFile::store_write_offset() {
  ZV_ASSIGN_OR_RETURN(std::span<uint8_t> out, bytes_mut());
  for (int i = 0; i < 8; ++i) out[16 + i] = static_cast<uint8_t>(write_offset_ >> (8 * i));
  return {};
}

ZolvaStatus VFile::grow_to(uint64_t new_size) {
  if (new_size < capacity_)
    return make_unexpected(ZolvaError::validation(
        "new_size", "grow_to called with new_size " + std::to_string(new_size) +
                        " < current size " + std::to_string(capacity_)));
  if (buffer_) {
    if (buffer_len_ < new_size) {
      ZV_ASSIGN_OR_RETURN(ZeroedBuffer nb, alloc_zeroed(new_size));
      std::memcpy(nb.get(), buffer_.get(), buffer_len_);
      buffer_ = std::move(nb);
      buffer_len_ = new_size;
      data_ = buffer_.get();
    }
    capacity_ = new_size;
    return {};
  }
  if (read_only_) return make_unexpected(read_only_error("File is read-only"));
  if (!file_) return make_unexpected(no_backing_file());
  if (map_ && map_->writable()) {
    if (auto f = map_->flush(); !f.ok()) return make_unexpected(ZolvaError::io(f.error()));
    if (auto s = file_->sync_data(); !s.ok()) return make_unexpected(ZolvaError::io(s.error()));
  }
  if (auto s = file_->set_len(new_size); !s.ok()) return make_unexpected(ZolvaError::io(s.error()));
  // The capacity follows the mapping: a failed remap keeps the old one.
  ZV_TRY(remap());
  capacity_ = std::min<uint64_t>(new_size, map_->size());
  return {};
}

ZolvaStatus VFile::remap() {
  if (read_only_) return make_unexpected(read_only_error("read-only"));
  if (buffer_) return {};
  if (!file_) return make_unexpected(no_backing_file());
  ZV_ASSIGN_OR_RETURN(auto map, map_whole(*file_, true));
  install_map(std::move(map));
  if (capacity_ > map_->size()) capacity_ = map_->size();
  return {};
}

ZolvaStatus VFile::reopen(uint64_t capacity) {
  if (read_only_) return make_unexpected(read_only_error("read-only"));
  if (buffer_) {
    capacity_ = std::min(capacity, buffer_len_);
    return {};
  }
  auto file = File::open_read_write(path_);
  if (!file.ok()) return make_unexpected(ZolvaError::io(file.error()));
  file_ = std::move(*file);
  capacity_ = capacity;
  return remap();
}

ZolvaStatus VFile::flush() {
  if (buffer_ || read_only_ || !map_) return {};
  if (auto f = map_->flush(); !f.ok()) return make_unexpected(ZolvaError::io(f.error()));
  if (auto s = file_->sync_all(); !s.ok()) return make_unexpected(ZolvaError::io(s.error()));
  return {};
}

}  // namespace zv
