// Feeds arbitrary bytes, and mutations of a valid token, to the cursor
// reader. It must never crash, recurse without bound or read past the text;
// a token it accepts must write back to a text it reads as the same token.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "src/search/cursor.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view in(reinterpret_cast<const char*>(data), size);
  std::string text(in);
  if (size > 0 && (data[0] & 1)) {
    // Splice the input into a valid token at a position it chooses.
    const std::string valid = R"({"v":1,"fp":7,"offset":3,"key":"k","node_id":"12"})";
    const size_t at = size > 1 ? data[1] % (valid.size() + 1) : 0;
    text = valid.substr(0, at) + std::string(in.substr(size > 1 ? 2 : 1)) + valid.substr(at);
  }
  auto token = zv::search::read_cursor_token(text);
  (void)zv::search::parse_cursor(text, 7);
  if (!token) return 0;
  auto again = zv::search::read_cursor_token(zv::search::write_cursor(*token));
  if (!again || !(*again == *token)) std::abort();
  return 0;
}
