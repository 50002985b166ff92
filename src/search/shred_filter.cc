#include "src/search/shred_filter.h"

#include <cstring>

#include "platform/coding.h"
#include "platform/utf8.h"

namespace zv::search {
namespace {

// A cursor over the bytes that refuses to read past their end.
class Reader {
 public:
  explicit Reader(std::string_view bytes) : s_(bytes) {}
  bool empty() const { return pos_ >= s_.size(); }
  bool take(size_t n, std::string_view* out) {
    if (s_.size() - pos_ < n) return false;
    *out = s_.substr(pos_, n);
    pos_ += n;
    return true;
  }
  bool u32(uint32_t* v) {
    std::string_view b;
    if (!take(4, &b)) return false;
    *v = coding::get_u32_le(b.data());
    return true;
  }
  bool u64(uint64_t* v) {
    std::string_view b;
    if (!take(8, &b)) return false;
    *v = coding::get_u64_le(b.data());
    return true;
  }

 private:
  std::string_view s_;
  size_t pos_ = 0;
};

std::string lossy_utf8(std::string_view bytes) {
  if (is_valid_utf8(bytes)) return std::string(bytes);
  std::string out;
  for (size_t pos = 0; pos < bytes.size();) {
    const Utf8Char c = decode_utf8_at(bytes, pos);
    append_utf8(&out, c.cp);
    pos += c.len;
  }
  return out;
}

bool read_value(Reader& r, uint8_t type, ShredValue* out) {
  switch (static_cast<ShredKind>(type)) {
    case ShredKind::kInt: {
      uint64_t v;
      if (!r.u64(&v)) return false;
      out->v = static_cast<int64_t>(v);
      return true;
    }
    case ShredKind::kFloat: {
      uint64_t v;
      if (!r.u64(&v)) return false;
      double d;
      std::memcpy(&d, &v, sizeof d);
      out->v = d;
      return true;
    }
    case ShredKind::kBool: {
      std::string_view b;
      if (!r.take(1, &b)) return false;
      out->v = b[0] != 0;
      return true;
    }
    case ShredKind::kString: {
      uint32_t len;
      std::string_view b;
      if (!r.u32(&len) || !r.take(len, &b)) return false;
      out->v = lossy_utf8(b);
      return true;
    }
  }
  return false;  // type byte 4 or more
}

}  // namespace

ShredMap decode_shred_lenient(std::string_view bytes) {
  ShredMap fields;
  Reader r(bytes);
  while (!r.empty()) {
    uint32_t name_len;
    std::string_view name, type;
    if (!r.u32(&name_len) || !r.take(name_len, &name) || !r.take(1, &type)) break;
    ShredValue value;
    if (!read_value(r, static_cast<uint8_t>(type[0]), &value)) break;
    fields.insert_or_assign(is_valid_utf8(name) ? std::string(name) : std::string(),
                            std::move(value));
  }
  return fields;
}

bool shred_passes(const ShredMap& fields, const FieldMap& filters) {
  for (const auto& [name, value] : filters) {
    auto it = fields.find(name);
    if (it == fields.end() || !ShredValue::matches(it->second, FilterOp::kEq, value)) return false;
  }
  return true;
}

bool shred_can_test(const FieldMap& filters) {
  for (const auto& [name, value] : filters) {
    switch (value.kind()) {
      case FieldKind::kInt:
      case FieldKind::kFloat:
      case FieldKind::kBool:
      case FieldKind::kString: break;
      default: return false;
    }
  }
  return true;
}

}  // namespace zv::search
