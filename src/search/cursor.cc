#include "src/search/cursor.h"

#include <vector>

#include "src/search/request.h"

namespace zv::search {
namespace {

constexpr std::string_view kNotAToken = "cursor is not a valid continuation token";
constexpr std::string_view kBadNodeId = "cursor carries an invalid node id";
constexpr std::string_view kFingerprintMismatch =
    "cursor does not belong to this search request (plan fingerprint mismatch)";

void append_json_string(std::string* out, std::string_view s) {
  static constexpr char kHex[] = "0123456789abcdef";
  out->push_back('"');
  for (char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"': *out += "\\\""; break;
      case '\\': *out += "\\\\"; break;
      case '\b': *out += "\\b"; break;
      case '\f': *out += "\\f"; break;
      case '\n': *out += "\\n"; break;
      case '\r': *out += "\\r"; break;
      case '\t': *out += "\\t"; break;
      default:
        if (c < 0x20) {
          *out += "\\u00";
          out->push_back(kHex[c >> 4]);
          out->push_back(kHex[c & 15]);
        } else {
          out->push_back(ch);  // bytes of any key are kept as they are
        }
    }
  }
  out->push_back('"');
}

// A cursor over the token text. Every reader returns false at the first
// byte that does not fit; nothing recurses.
class Reader {
 public:
  explicit Reader(std::string_view s) : s_(s) {}

  bool at_end() const { return i_ == s_.size(); }
  void ws() {
    while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\n' || s_[i_] == '\r')) ++i_;
  }
  bool peek(char c) const { return i_ < s_.size() && s_[i_] == c; }
  bool eat(char c) {
    if (!peek(c)) return false;
    ++i_;
    return true;
  }

  // A JSON string, escapes decoded; bytes from 0x80 up are taken as they are.
  bool string(std::string* out) {
    if (!eat('"')) return false;
    while (i_ < s_.size()) {
      const auto c = static_cast<unsigned char>(s_[i_++]);
      if (c == '"') return true;
      if (c < 0x20) return false;
      if (c != '\\') {
        if (out) out->push_back(static_cast<char>(c));
        continue;
      }
      if (i_ >= s_.size()) return false;
      const char e = s_[i_++];
      char plain = 0;
      switch (e) {
        case '"': plain = '"'; break;
        case '\\': plain = '\\'; break;
        case '/': plain = '/'; break;
        case 'b': plain = '\b'; break;
        case 'f': plain = '\f'; break;
        case 'n': plain = '\n'; break;
        case 'r': plain = '\r'; break;
        case 't': plain = '\t'; break;
        case 'u': {
          uint32_t cp;
          if (!hex4(&cp)) return false;
          if (cp >= 0xDC00 && cp <= 0xDFFF) return false;  // lone low surrogate
          if (cp >= 0xD800 && cp <= 0xDBFF) {
            uint32_t lo;
            if (!eat('\\') || !eat('u') || !hex4(&lo) || lo < 0xDC00 || lo > 0xDFFF) return false;
            cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
          }
          if (out) append_utf8(out, cp);
          continue;
        }
        default: return false;
      }
      if (out) out->push_back(plain);
    }
    return false;
  }

  // A JSON number; *integer is set when it has no sign, fraction or exponent
  // and fits 64 bits.
  bool number(std::optional<uint64_t>* integer) {
    const size_t start = i_;
    bool plain = true;
    if (eat('-')) plain = false;
    if (eat('0')) {
      // no further integer digits after a leading zero
    } else if (i_ < s_.size() && s_[i_] >= '1' && s_[i_] <= '9') {
      while (i_ < s_.size() && is_digit(s_[i_])) ++i_;
    } else {
      return false;
    }
    const size_t int_end = i_;
    if (eat('.')) {
      plain = false;
      if (!digits()) return false;
    }
    if (peek('e') || peek('E')) {
      ++i_;
      plain = false;
      if (!eat('+')) eat('-');
      if (!digits()) return false;
    }
    if (integer) {
      integer->reset();
      if (!plain) return true;
      uint64_t v = 0;
      for (size_t k = start; k < int_end; ++k) {
        const uint64_t d = static_cast<uint64_t>(s_[k] - '0');
        if (v > (UINT64_MAX - d) / 10) return true;  // out of range
        v = v * 10 + d;
      }
      *integer = v;
    }
    return true;
  }

  bool literal(std::string_view word) {
    if (s_.substr(i_, word.size()) != word) return false;
    i_ += word.size();
    return true;
  }

  // Any JSON value, nested to any depth, with an explicit stack.
  bool skip_value() {
    std::vector<char> open;  // '{' or '['
    for (;;) {
      ws();
      // One value start.
      if (eat('{')) {
        ws();
        if (!eat('}')) {
          open.push_back('{');
          if (!member_key()) return false;
          continue;
        }
      } else if (eat('[')) {
        ws();
        if (!eat(']')) {
          open.push_back('[');
          continue;
        }
      } else if (!scalar()) {
        return false;
      }
      // After a value: separators and closers until the next value starts.
      for (;;) {
        if (open.empty()) return true;
        ws();
        if (eat(',')) {
          if (open.back() == '{' && !member_key()) return false;
          break;
        }
        if (!eat(open.back() == '{' ? '}' : ']')) return false;
        open.pop_back();
      }
    }
  }

  // ws, a string, ws, ':' (the key itself is discarded).
  bool member_key() {
    ws();
    if (!string(nullptr)) return false;
    ws();
    return eat(':');
  }

 private:
  static bool is_digit(char c) { return c >= '0' && c <= '9'; }
  bool digits() {
    const size_t start = i_;
    while (i_ < s_.size() && is_digit(s_[i_])) ++i_;
    return i_ > start;
  }
  bool hex4(uint32_t* out) {
    if (s_.size() - i_ < 4) return false;
    uint32_t v = 0;
    for (int k = 0; k < 4; ++k) {
      const char c = s_[i_++];
      v <<= 4;
      if (c >= '0' && c <= '9') v |= static_cast<uint32_t>(c - '0');
      else if (c >= 'a' && c <= 'f') v |= static_cast<uint32_t>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F') v |= static_cast<uint32_t>(c - 'A' + 10);
      else return false;
    }
    *out = v;
    return true;
  }
  static void append_utf8(std::string* out, uint32_t cp) {
    if (cp < 0x80) {
      out->push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  bool scalar() {
    if (peek('"')) return string(nullptr);
    if (peek('t')) return literal("true");
    if (peek('f')) return literal("false");
    if (peek('n')) return literal("null");
    return number(nullptr);
  }

  std::string_view s_;
  size_t i_ = 0;
};

enum Field { kV = 0, kFp, kOffset, kKey, kNodeId, kFieldCount };

std::optional<Field> field_of(std::string_view name) {
  if (name == "v") return kV;
  if (name == "fp") return kFp;
  if (name == "offset") return kOffset;
  if (name == "key") return kKey;
  if (name == "node_id") return kNodeId;
  return std::nullopt;
}

// One of the five values, of its type and range, into the token.
bool read_field(Reader& r, Field f, CursorToken* t) {
  r.ws();
  if (f == kKey) return r.string(&t->key);
  if (f == kNodeId) return r.string(&t->node_id);
  std::optional<uint64_t> n;
  if (r.peek('"') || !r.number(&n) || !n) return false;
  if (f == kV) {
    if (*n > 255) return false;
    t->v = static_cast<uint8_t>(*n);
  } else if (f == kFp) {
    t->fp = *n;
  } else {
    t->offset = *n;
  }
  return true;
}

bool read_object(Reader& r, CursorToken* t) {
  bool seen[kFieldCount] = {};
  r.ws();
  if (r.eat('}')) return false;  // members missing
  for (;;) {
    r.ws();
    std::string name;
    if (!r.string(&name)) return false;
    r.ws();
    if (!r.eat(':')) return false;
    if (std::optional<Field> f = field_of(name)) {
      if (seen[*f] || !read_field(r, *f, t)) return false;
      seen[*f] = true;
    } else if (!r.skip_value()) {
      return false;
    }
    r.ws();
    if (r.eat('}')) break;
    if (!r.eat(',')) return false;
  }
  for (bool s : seen) {
    if (!s) return false;
  }
  return true;
}

bool read_array(Reader& r, CursorToken* t) {
  for (int f = kV; f < kFieldCount; ++f) {
    if (f > kV) {
      r.ws();
      if (!r.eat(',')) return false;
    }
    if (!read_field(r, static_cast<Field>(f), t)) return false;
  }
  r.ws();
  return r.eat(']');
}

}  // namespace

std::string write_cursor(const CursorToken& t) {
  std::string out = "{\"v\":" + std::to_string(t.v) + ",\"fp\":" + std::to_string(t.fp) +
                    ",\"offset\":" + std::to_string(t.offset) + ",\"key\":";
  append_json_string(&out, t.key);
  out += ",\"node_id\":";
  append_json_string(&out, t.node_id);
  out += '}';
  return out;
}

std::optional<CursorToken> read_cursor_token(std::string_view text) {
  Reader r(text);
  CursorToken t;
  r.ws();
  bool ok = false;
  if (r.eat('{')) {
    ok = read_object(r, &t);
  } else if (r.eat('[')) {
    ok = read_array(r, &t);
  }
  if (!ok) return std::nullopt;
  r.ws();
  if (!r.at_end()) return std::nullopt;
  return t;
}

std::optional<NodeId> parse_node_id_text(std::string_view text) {
  if (!text.empty() && text[0] == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  NodeId v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto d = static_cast<NodeId>(c - '0');
    if (v > (kMaxNodeId - d) / 10) return std::nullopt;
    v = v * 10 + d;
  }
  return v;
}

ZolvaResult<CursorPosition> parse_cursor(std::string_view text, uint64_t expected_fp) {
  std::optional<CursorToken> t = read_cursor_token(text);
  if (!t) return make_unexpected(search_refusal(kSearchCursorInvalid, kNotAToken));
  if (t->v != kCursorVersion) {
    return make_unexpected(
        search_refusal(kSearchCursorInvalid, "unsupported cursor version " + std::to_string(t->v)));
  }
  std::optional<NodeId> id = parse_node_id_text(t->node_id);
  if (!id) return make_unexpected(search_refusal(kSearchCursorInvalid, kBadNodeId));
  if (t->fp != expected_fp) return make_unexpected(search_refusal(kSearchCursorInvalid, kFingerprintMismatch));
  return CursorPosition{t->offset, std::move(t->key), *id};
}

}  // namespace zv::search
