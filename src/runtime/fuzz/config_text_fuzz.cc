// Feeds arbitrary text to the configuration parsers that read user values:
// sizes, IP addresses, floats and the prefetch words. None may crash or read
// out of bounds; a parsed size must be what the digits say.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/env.h"
#include "platform/panic.h"
#include "src/runtime/config_parse.h"
#include "src/runtime/ip_address.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  // The environment hands the parsers valid UTF-8 only.
  if (!zv::is_valid_utf8(text)) return 0;
  std::string_view trimmed = zv::config::trim(text);
  ZV_CHECK(trimmed.data() >= text.data() && trimmed.data() + trimmed.size() <= text.data() + text.size(),
           "trim left its input");
  auto limit = zv::config::parse_memory_limit(text);
  if (limit.ok() && trimmed.find_first_not_of("+0123456789") == std::string_view::npos) {
    auto plain = zv::config::parse_unsigned(trimmed, UINT64_MAX);
    ZV_CHECK(plain.ok() && *plain == *limit, "a plain number changed its value");
  }
  if (auto ip = zv::parse_ip_address(text)) {
    auto again = zv::parse_ip_address(ip->to_string());
    ZV_CHECK(again && *again == *ip, "an address did not survive its text form");
  }
  (void)zv::config::parse_f32(text);
  (void)zv::config::parse_prefetch_mode(text);
  (void)zv::config::quote(text);
  return 0;
}
