#include "archive/src/toc.h"

#include "platform/coding.h"
#include "platform/panic.h"

namespace zv::archive {

namespace {

std::string name_bytes_list(const std::string& name, bool multiline, const std::string& indent) {
  if (name.empty()) return "[]";
  std::string out = "[";
  for (size_t i = 0; i < name.size(); ++i) {
    const auto byte = std::to_string(static_cast<uint8_t>(name[i]));
    if (multiline) {
      out += "\n" + indent + "    " + byte + ",";
    } else {
      out += (i == 0 ? "" : ", ") + byte;
    }
  }
  if (multiline) out += "\n" + indent;
  return out + "]";
}

}  // namespace

std::string TocEntry::debug_string() const {
  return "TocEntry { name: " + name_bytes_list(name, false, "") +
         ", pos: " + std::to_string(pos) + ", len: " + std::to_string(len) + " }";
}

const TocEntry* Toc::section(std::string_view name) const {
  for (const auto& e : entries_) {
    if (e.name == name) return &e;
  }
  return nullptr;
}

void check_toc_entry_count(uint64_t count) {
  ZV_CHECK(count <= kMaxTocEntries, kTooManyEntriesMessage);
}

void check_section_name(std::string_view name) {
  ZV_CHECK(name.size() <= kMaxSectionNameLen, kNameTooLongMessage);
}

std::string toc_debug_multiline(const std::vector<TocEntry>& entries) {
  if (entries.empty()) return "[]";
  std::string out = "[\n";
  for (const auto& e : entries) {
    out += "    TocEntry {\n";
    out += "        name: " + name_bytes_list(e.name, true, "        ") + ",\n";
    out += "        pos: " + std::to_string(e.pos) + ",\n";
    out += "        len: " + std::to_string(e.len) + ",\n";
    out += "    },\n";
  }
  return out + "]";
}

void encode_toc(const std::vector<TocEntry>& entries, std::string* dst) {
  check_toc_entry_count(entries.size());
  dst->append(kTocMagic);
  coding::put_u32_le(dst, static_cast<uint32_t>(entries.size()));
  for (const auto& e : entries) {
    coding::put_u64_le(dst, e.pos);
    coding::put_u64_le(dst, e.len);
    check_section_name(e.name);
    coding::put_u16_le(dst, static_cast<uint16_t>(e.name.size()));
    dst->append(e.name);
  }
}

}  // namespace zv::archive
