#include "src/runtime/ip_address.h"

#include <cstdio>
#include <vector>

namespace zv {

namespace {

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool parse_v4(std::string_view s, uint8_t out[4]) {
  int part = 0;
  size_t i = 0;
  while (true) {
    if (part == 4 || i >= s.size() || s[i] < '0' || s[i] > '9') return false;
    size_t start = i;
    unsigned v = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
      v = v * 10 + static_cast<unsigned>(s[i] - '0');
      if (i - start >= 3 || v > 255) return false;
      ++i;
    }
    if (i - start > 1 && s[start] == '0') return false;  // leading zero
    out[part++] = static_cast<uint8_t>(v);
    if (i == s.size()) return part == 4;
    if (s[i] != '.') return false;
    ++i;
  }
}

// Colon-separated hex groups (possibly empty text), the last of which may be
// a dotted IPv4 part when allow_v4 is set. Appends 16-bit groups.
bool parse_groups(std::string_view s, bool allow_v4, std::vector<uint16_t>* groups) {
  if (s.empty()) return true;
  size_t i = 0;
  while (true) {
    size_t end = s.find(':', i);
    std::string_view g = s.substr(i, end == std::string_view::npos ? s.npos : end - i);
    if (end == std::string_view::npos && allow_v4 && g.find('.') != std::string_view::npos) {
      uint8_t v4[4];
      if (!parse_v4(g, v4)) return false;
      groups->push_back(static_cast<uint16_t>(v4[0] << 8 | v4[1]));
      groups->push_back(static_cast<uint16_t>(v4[2] << 8 | v4[3]));
      return true;
    }
    if (g.empty() || g.size() > 4) return false;
    unsigned v = 0;
    for (char c : g) {
      int d = hex_digit(c);
      if (d < 0) return false;
      v = v * 16 + static_cast<unsigned>(d);
    }
    groups->push_back(static_cast<uint16_t>(v));
    if (end == std::string_view::npos) return true;
    i = end + 1;
  }
}

}  // namespace

std::optional<IpAddress> parse_ip_address(std::string_view text) {
  IpAddress addr;
  if (text.find(':') == std::string_view::npos) {
    if (!parse_v4(text, addr.bytes.data())) return std::nullopt;
    return addr;
  }
  addr.family = IpAddress::Family::kV6;
  std::vector<uint16_t> head, tail;
  size_t gap = text.find("::");
  if (gap == std::string_view::npos) {
    if (!parse_groups(text, true, &head) || head.size() != 8) return std::nullopt;
  } else {
    std::string_view left = text.substr(0, gap), right = text.substr(gap + 2);
    if (right.find("::") != std::string_view::npos) return std::nullopt;
    if (!parse_groups(left, false, &head) || !parse_groups(right, true, &tail)) return std::nullopt;
    if (head.size() + tail.size() > 7) return std::nullopt;  // "::" stands for at least one group
  }
  size_t k = 0;
  for (uint16_t g : head) {
    addr.bytes[k++] = static_cast<uint8_t>(g >> 8);
    addr.bytes[k++] = static_cast<uint8_t>(g);
  }
  k = 16 - 2 * tail.size();
  for (uint16_t g : tail) {
    addr.bytes[k++] = static_cast<uint8_t>(g >> 8);
    addr.bytes[k++] = static_cast<uint8_t>(g);
  }
  return addr;
}

std::string IpAddress::to_string() const {
  char buf[48];
  if (family == Family::kV4) {
    std::snprintf(buf, sizeof(buf), "%u.%u.%u.%u", bytes[0], bytes[1], bytes[2], bytes[3]);
    return buf;
  }
  std::string out;
  for (int i = 0; i < 8; ++i) {
    std::snprintf(buf, sizeof(buf), i ? ":%x" : "%x", bytes[2 * i] << 8 | bytes[2 * i + 1]);
    out += buf;
  }
  return out;
}

}  // namespace zv
