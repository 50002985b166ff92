#include "src/record/field_value.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "platform/checksum.h"
#include "platform/debug_quote.h"
#include "src/record/float_text.h"

namespace zv {
namespace {

constexpr std::string_view kKindNames[kFieldKindCount] = {
    "String", "Int", "Float", "Bool", "DateTime", "ListString",
    "ListInt", "ListFloat", "ListBool", "ListDateTime", "Null"};

constexpr uint64_t kCanonicalNanBits = 0x7FF8000000000000ULL;

template <class T>
std::partial_ordering scalar_cmp(const T& a, const T& b) {
  if constexpr (std::is_same_v<T, double>) {
    return a <=> b;
  } else if constexpr (std::is_same_v<T, std::string>) {
    // Byte-wise over unsigned bytes.
    const int c = std::memcmp(a.data(), b.data(), std::min(a.size(), b.size()));
    if (c != 0) return c < 0 ? std::partial_ordering::less : std::partial_ordering::greater;
    return a.size() <=> b.size();
  } else {
    return a <=> b;
  }
}

template <class T>
std::partial_ordering list_cmp(const std::vector<T>& a, const std::vector<T>& b) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    const std::partial_ordering c = scalar_cmp<T>(a[i], b[i]);
    if (c != std::partial_ordering::equivalent) return c;
  }
  return a.size() <=> b.size();
}

void append_escaped(std::string_view s, std::string* out) { *out += debug_quote(s); }

template <class T, class Fn>
void append_list(const std::vector<T>& v, Fn&& elem, std::string* out) {
  out->push_back('[');
  bool first = true;
  for (const auto& x : v) {
    if (!first) *out += ", ";
    first = false;
    elem(x, out);
  }
  out->push_back(']');
}

void debug_string_elem(const std::string& s, std::string* out) { append_escaped(s, out); }
void debug_int_elem(int64_t v, std::string* out) { *out += std::to_string(v); }
void debug_float_elem(double v, std::string* out) { *out += float_debug(v); }
void debug_bool_elem(bool v, std::string* out) { *out += v ? "true" : "false"; }
void debug_dt_elem(const DateTime& t, std::string* out) { append_datetime_z(t, out); }

}  // namespace

std::string_view field_kind_name(FieldKind kind) {
  return kKindNames[static_cast<size_t>(kind)];
}

std::optional<FieldKind> field_kind_from_name(std::string_view name) {
  for (uint32_t i = 0; i < kFieldKindCount; ++i) {
    if (kKindNames[i] == name) return static_cast<FieldKind>(i);
  }
  return std::nullopt;
}

uint64_t canonical_float_bits(double v) {
  if (std::isnan(v)) return kCanonicalNanBits;
  if (v == 0.0) return 0;
  return std::bit_cast<uint64_t>(v);
}

bool operator==(const FieldValue& a, const FieldValue& b) {
  // std::variant's == compares within a variant with the element's ==, which
  // for double (and vector<double>) is IEEE equality.
  return a.v_ == b.v_;
}

std::partial_ordering operator<=>(const FieldValue& a, const FieldValue& b) {
  if (a.kind() != b.kind()) return a.v_.index() <=> b.v_.index();
  switch (a.kind()) {
    case FieldKind::kString: return scalar_cmp(*a.if_string(), *b.if_string());
    case FieldKind::kInt: return *a.if_int() <=> *b.if_int();
    case FieldKind::kFloat: return *a.if_float() <=> *b.if_float();
    case FieldKind::kBool: return *a.if_bool() <=> *b.if_bool();
    case FieldKind::kDateTime: return *a.if_date_time() <=> *b.if_date_time();
    case FieldKind::kListString: return list_cmp(*a.if_list_string(), *b.if_list_string());
    case FieldKind::kListInt: return list_cmp(*a.if_list_int(), *b.if_list_int());
    case FieldKind::kListFloat: return list_cmp(*a.if_list_float(), *b.if_list_float());
    case FieldKind::kListBool: {
      const auto& x = *a.if_list_bool();
      const auto& y = *b.if_list_bool();
      const size_t n = std::min(x.size(), y.size());
      for (size_t i = 0; i < n; ++i) {
        if (x[i] != y[i]) return bool{x[i]} <=> bool{y[i]};
      }
      return x.size() <=> y.size();
    }
    case FieldKind::kListDateTime:
      return list_cmp(*a.if_list_date_time(), *b.if_list_date_time());
    case FieldKind::kNull: return std::partial_ordering::equivalent;
  }
  return std::partial_ordering::unordered;
}

std::vector<std::string> FieldValue::to_strings() const {
  auto dt = [](const DateTime& t) { return format_datetime_offset(t); };
  std::vector<std::string> out;
  switch (kind()) {
    case FieldKind::kString: out.push_back(*if_string()); break;
    case FieldKind::kInt: out.push_back(std::to_string(*if_int())); break;
    case FieldKind::kFloat: out.push_back(float_display(*if_float())); break;
    case FieldKind::kBool: out.push_back(*if_bool() ? "true" : "false"); break;
    case FieldKind::kDateTime: out.push_back(dt(*if_date_time())); break;
    case FieldKind::kListString: out = *if_list_string(); break;
    case FieldKind::kListInt:
      for (int64_t x : *if_list_int()) out.push_back(std::to_string(x));
      break;
    case FieldKind::kListFloat:
      for (double x : *if_list_float()) out.push_back(float_display(x));
      break;
    case FieldKind::kListBool:
      for (bool x : *if_list_bool()) out.push_back(x ? "true" : "false");
      break;
    case FieldKind::kListDateTime:
      for (const auto& t : *if_list_date_time()) out.push_back(dt(t));
      break;
    case FieldKind::kNull: out.push_back("null"); break;
  }
  return out;
}

std::vector<FieldValue> FieldValue::index_scalars() const {
  std::vector<FieldValue> out;
  switch (kind()) {
    case FieldKind::kListString:
      for (const auto& x : *if_list_string()) out.push_back(string(x));
      break;
    case FieldKind::kListInt:
      for (int64_t x : *if_list_int()) out.push_back(integer(x));
      break;
    case FieldKind::kListFloat:
      for (double x : *if_list_float()) out.push_back(floating(x));
      break;
    case FieldKind::kListBool:
      for (bool x : *if_list_bool()) out.push_back(boolean(x));
      break;
    case FieldKind::kListDateTime:
      for (const auto& t : *if_list_date_time()) out.push_back(date_time(t));
      break;
    default: out.push_back(*this); break;
  }
  return out;
}

std::string FieldValue::debug_string() const {
  if (is_null()) return "Null";
  std::string out(field_kind_name(kind()));
  out.push_back('(');
  switch (kind()) {
    case FieldKind::kString: debug_string_elem(*if_string(), &out); break;
    case FieldKind::kInt: debug_int_elem(*if_int(), &out); break;
    case FieldKind::kFloat: debug_float_elem(*if_float(), &out); break;
    case FieldKind::kBool: debug_bool_elem(*if_bool(), &out); break;
    case FieldKind::kDateTime: debug_dt_elem(*if_date_time(), &out); break;
    case FieldKind::kListString: append_list(*if_list_string(), debug_string_elem, &out); break;
    case FieldKind::kListInt: append_list(*if_list_int(), debug_int_elem, &out); break;
    case FieldKind::kListFloat: append_list(*if_list_float(), debug_float_elem, &out); break;
    case FieldKind::kListBool: append_list(*if_list_bool(), debug_bool_elem, &out); break;
    case FieldKind::kListDateTime: append_list(*if_list_date_time(), debug_dt_elem, &out); break;
    case FieldKind::kNull: break;
  }
  out.push_back(')');
  return out;
}

bool FieldValueKeyEq::operator()(const FieldValue& a, const FieldValue& b) const {
  if (a.kind() != b.kind()) return false;
  if (const double* x = a.if_float()) return canonical_float_bits(*x) == canonical_float_bits(*b.if_float());
  if (const auto* x = a.if_list_float()) {
    const auto& y = *b.if_list_float();
    if (x->size() != y.size()) return false;
    for (size_t i = 0; i < y.size(); ++i) {
      if (canonical_float_bits((*x)[i]) != canonical_float_bits(y[i])) return false;
    }
    return true;
  }
  return a == b;
}

bool FieldValueKeyEq::operator()(const std::optional<FieldValue>& a,
                                 const std::optional<FieldValue>& b) const {
  if (a.has_value() != b.has_value()) return false;
  return !a.has_value() || (*this)(*a, *b);
}

namespace {
size_t hash_fed(const FieldValue* v, bool optional_form) {
  std::string buf;
  auto sink = [&buf](const void* p, size_t n) { buf.append(static_cast<const char*>(p), n); };
  if (optional_form) {
    const uint64_t present = v != nullptr ? 1 : 0;
    sink(&present, 8);
  }
  if (v != nullptr) v->feed_hash(sink);
  return static_cast<size_t>(xxh3_64(buf.data(), buf.size()));
}
}  // namespace

size_t FieldValueHash::operator()(const FieldValue& v) const { return hash_fed(&v, false); }

size_t FieldValueHash::operator()(const std::optional<FieldValue>& v) const {
  return hash_fed(v ? &*v : nullptr, true);
}

}  // namespace zv
