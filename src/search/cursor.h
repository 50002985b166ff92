// The continuation cursor of a search: the token naming the last hit a page
// delivered and how many hits came before, its compact JSON text, and the
// strict reader that turns a caller's text back into a position. The reader
// keeps no document and skips unknown members of any depth without
// recursion. Pure functions.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "src/foundation/error.h"
#include "src/foundation/node_id.h"

namespace zv::search {

// Fields in their written order.
struct CursorToken {
  uint8_t v = 1;
  uint64_t fp = 0;       // plan fingerprint of the request that wrote it
  uint64_t offset = 0;   // hits delivered by this page and those before it
  std::string key;       // key of the last hit delivered
  std::string node_id;   // its node id in decimal

  bool operator==(const CursorToken&) const = default;
};

inline constexpr uint8_t kCursorVersion = 1;

// {"v":1,"fp":..,"offset":..,"key":"..","node_id":".."}: these five members in
// this order, no white space.
std::string write_cursor(const CursorToken& token);

// The token of a text in the read form (an object with the five members in
// any order, or an array of the five values), or none for anything else.
std::optional<CursorToken> read_cursor_token(std::string_view text);

// A decimal unsigned 128-bit number with an optional leading "+".
std::optional<NodeId> parse_node_id_text(std::string_view text);

// Where a checked cursor says the previous page stopped.
struct CursorPosition {
  uint64_t offset = 0;
  std::string key;
  NodeId node_id = 0;
};

// Reads a request's cursor and checks, in order, its form, its version, its
// node id and that it was written for a request with this fingerprint. Every
// refusal is InvalidInput with the code SEARCH_CURSOR_INVALID.
ZolvaResult<CursorPosition> parse_cursor(std::string_view text, uint64_t expected_fp);

}  // namespace zv::search
