// An IPv4 or IPv6 address as written in configuration lists (no port, no
// prefix length), and its strict text parser. Plain value; parsing is pure.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zv {

struct IpAddress {
  enum class Family : uint8_t { kV4, kV6 };
  Family family = Family::kV4;
  // Network order; an IPv4 address uses the first four bytes.
  std::array<uint8_t, 16> bytes{};

  bool operator==(const IpAddress&) const = default;
  // Dotted decimal, or eight colon-separated hex groups (no "::" shortening).
  std::string to_string() const;
};

// Dotted decimal with four parts of 0-255 and no leading zeros, or IPv6 text
// with at most one "::" and an optional trailing dotted IPv4 part. Nullopt for
// anything else.
std::optional<IpAddress> parse_ip_address(std::string_view text);

}  // namespace zv
