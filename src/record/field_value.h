// FieldValue: the one typed metadata value (record metadata, node fields,
// filters, the payload index), with its equality, ordering, key hashing and
// text renderings. Plain value, deep-copied; safe to read from many threads.
#pragma once

#include <compare>
#include <map>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <variant>
#include <vector>

#include "src/record/datetime.h"

namespace zv {

// Variant index: the tag the binary form writes and the order across variants.
enum class FieldKind : uint8_t {
  kString = 0,
  kInt = 1,
  kFloat = 2,
  kBool = 3,
  kDateTime = 4,
  kListString = 5,
  kListInt = 6,
  kListFloat = 7,
  kListBool = 8,
  kListDateTime = 9,
  kNull = 10,
};
inline constexpr uint32_t kFieldKindCount = 11;

// "String", "Int", ... "Null".
std::string_view field_kind_name(FieldKind kind);
// The kind of an exact, case-sensitive variant name; none for any other text.
std::optional<FieldKind> field_kind_from_name(std::string_view name);

class FieldValue {
 public:
  FieldValue() = default;  // Null

  static FieldValue string(std::string v) { return FieldValue(Storage(std::in_place_index<0>, std::move(v))); }
  static FieldValue integer(int64_t v) { return FieldValue(Storage(std::in_place_index<1>, v)); }
  static FieldValue floating(double v) { return FieldValue(Storage(std::in_place_index<2>, v)); }
  static FieldValue boolean(bool v) { return FieldValue(Storage(std::in_place_index<3>, v)); }
  static FieldValue date_time(DateTime v) { return FieldValue(Storage(std::in_place_index<4>, v)); }
  static FieldValue list_string(std::vector<std::string> v) { return FieldValue(Storage(std::in_place_index<5>, std::move(v))); }
  static FieldValue list_int(std::vector<int64_t> v) { return FieldValue(Storage(std::in_place_index<6>, std::move(v))); }
  static FieldValue list_float(std::vector<double> v) { return FieldValue(Storage(std::in_place_index<7>, std::move(v))); }
  static FieldValue list_bool(std::vector<bool> v) { return FieldValue(Storage(std::in_place_index<8>, std::move(v))); }
  static FieldValue list_date_time(std::vector<DateTime> v) { return FieldValue(Storage(std::in_place_index<9>, std::move(v))); }
  static FieldValue null() { return FieldValue(); }

  FieldKind kind() const { return static_cast<FieldKind>(v_.index()); }
  bool is_null() const { return kind() == FieldKind::kNull; }

  // The payload of one variant, or null when the value is another variant.
  const std::string* if_string() const { return std::get_if<0>(&v_); }
  const int64_t* if_int() const { return std::get_if<1>(&v_); }
  const double* if_float() const { return std::get_if<2>(&v_); }
  const bool* if_bool() const { return std::get_if<3>(&v_); }
  const DateTime* if_date_time() const { return std::get_if<4>(&v_); }
  const std::vector<std::string>* if_list_string() const { return std::get_if<5>(&v_); }
  const std::vector<int64_t>* if_list_int() const { return std::get_if<6>(&v_); }
  const std::vector<double>* if_list_float() const { return std::get_if<7>(&v_); }
  const std::vector<bool>* if_list_bool() const { return std::get_if<8>(&v_); }
  const std::vector<DateTime>* if_list_date_time() const { return std::get_if<9>(&v_); }

  // IEEE equality for floats (NaN equals nothing, 0.0 equals -0.0); the
  // equality of filters. Hash containers use FieldValueKeyEq instead.
  friend bool operator==(const FieldValue& a, const FieldValue& b);
  // Order by variant index across variants; within a variant by value, IEEE
  // for floats (a NaN makes the result unordered).
  friend std::partial_ordering operator<=>(const FieldValue& a, const FieldValue& b);

  // Feeds the hash byte sequence into `sink(const void*, size_t)`, with -0.0
  // written as 0.0 and every NaN as one quiet NaN, so that values equal under
  // FieldValueKeyEq feed equal bytes.
  template <class Sink>
  void feed_hash(Sink&& sink) const;

  // One string per scalar: the value statistics' text forms.
  std::vector<std::string> to_strings() const;
  // Lists expand into one scalar value per element; scalars into themselves.
  std::vector<FieldValue> index_scalars() const;
  // "Int(-3)", "String(\"ab\")", "ListInt([1, 2])", "Null": the grouping key.
  std::string debug_string() const;

 private:
  struct NullTag {
    bool operator==(const NullTag&) const = default;
  };
  using Storage = std::variant<std::string, int64_t, double, bool, DateTime,
                               std::vector<std::string>, std::vector<int64_t>,
                               std::vector<double>, std::vector<bool>,
                               std::vector<DateTime>, NullTag>;
  explicit FieldValue(Storage v) : v_(std::move(v)) {}
  Storage v_{NullTag{}};
};

// Key equality for hash containers: like ==, except that floats compare by
// their canonical bit pattern, so NaN equals NaN and 0.0 equals -0.0 (a key
// must equal itself for the container to find it).
struct FieldValueKeyEq {
  bool operator()(const FieldValue& a, const FieldValue& b) const;
  bool operator()(const std::optional<FieldValue>& a,
                  const std::optional<FieldValue>& b) const;
};

// Hash for hash containers, consistent with FieldValueKeyEq.
struct FieldValueHash {
  size_t operator()(const FieldValue& v) const;
  // An optional value writes its presence as an 8-byte word first.
  size_t operator()(const std::optional<FieldValue>& v) const;
};

template <class T>
using FieldValueHashMap = std::unordered_map<FieldValue, T, FieldValueHash, FieldValueKeyEq>;
using FieldValueHashSet = std::unordered_set<FieldValue, FieldValueHash, FieldValueKeyEq>;
using OptionalFieldValueHashSet =
    std::unordered_set<std::optional<FieldValue>, FieldValueHash, FieldValueKeyEq>;

// A sorted map of named values: record metadata and node fields. Names order
// by unsigned bytes.
using FieldMap = std::map<std::string, FieldValue, std::less<>>;

// The canonical bit pattern used by key hashing and key equality.
uint64_t canonical_float_bits(double v);

template <class Sink>
void FieldValue::feed_hash(Sink&& sink) const {
  const uint8_t tag = static_cast<uint8_t>(kind());
  sink(&tag, 1);
  auto u64 = [&](uint64_t x) { sink(&x, 8); };
  auto str = [&](const std::string& s) {
    sink(s.data(), s.size());
    const uint8_t ff = 0xFF;
    sink(&ff, 1);
  };
  auto dt = [&](const DateTime& t) {
    const std::optional<int64_t> n = t.unix_nanos();
    u64(static_cast<uint64_t>(n.value_or(0)));
  };
  switch (kind()) {
    case FieldKind::kString: str(*if_string()); break;
    case FieldKind::kInt: u64(static_cast<uint64_t>(*if_int())); break;
    case FieldKind::kFloat: u64(canonical_float_bits(*if_float())); break;
    case FieldKind::kBool: { const uint8_t b = *if_bool() ? 1 : 0; sink(&b, 1); break; }
    case FieldKind::kDateTime: dt(*if_date_time()); break;
    case FieldKind::kListString:
      u64(if_list_string()->size());
      for (const auto& s : *if_list_string()) str(s);
      break;
    case FieldKind::kListInt:
      u64(if_list_int()->size());
      for (int64_t x : *if_list_int()) u64(static_cast<uint64_t>(x));
      break;
    case FieldKind::kListFloat:
      for (double x : *if_list_float()) u64(canonical_float_bits(x));
      break;
    case FieldKind::kListBool:
      u64(if_list_bool()->size());
      for (bool x : *if_list_bool()) { const uint8_t b = x ? 1 : 0; sink(&b, 1); }
      break;
    case FieldKind::kListDateTime:
      for (const auto& t : *if_list_date_time()) dt(t);
      break;
    case FieldKind::kNull: break;
  }
}

}  // namespace zv
