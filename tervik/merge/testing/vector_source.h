// Test helper: a double-ended source over a fixed list of entries, some of
// which may be errors. The ends never cross. Test-only.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tervik/core/read_item.h"
#include "tervik/merge/merger.h"

namespace tervik::testing {

struct SourceStep {
  InternalValue entry;
  bool error = false;  // this position yields an error instead
};

class VectorSource final : public DoubleEndedSource {
 public:
  explicit VectorSource(std::vector<SourceStep> steps) : steps_(std::move(steps)), hi_(steps_.size()) {}

  ReadItem next() override {
    if (lo_ == hi_) return std::nullopt;
    return yield(steps_[lo_++]);
  }
  ReadItem next_back() override {
    if (lo_ == hi_) return std::nullopt;
    return yield(steps_[--hi_]);
  }

 private:
  static ReadItem yield(const SourceStep& s) {
    if (s.error) return ReadItem(zv::make_unexpected(TervikError::invalid_trailer()));
    return ReadItem(s.entry);
  }
  std::vector<SourceStep> steps_;
  size_t lo_ = 0;
  size_t hi_;
};

inline InternalValue iv(std::string_view k, SeqNo s, ValueType t = ValueType::kValue) {
  return InternalValue(InternalKey(Slice(k), s, t), Slice());
}

// "k:5:V", "ERR" for an error, "END" for the end.
inline std::string show(const ReadItem& item) {
  if (!item) return "END";
  if (!item->ok()) return "ERR";
  const InternalValue& v = item->value();
  return std::string(v.key.user_key.view()) + ":" + std::to_string(v.key.seqno) + ":" +
         std::string(value_type_short(v.key.value_type));
}

// A merge over boxed vector sources, one per list of steps.
inline Merger<std::unique_ptr<DoubleEndedSource>> merge_of(
    const std::vector<std::vector<SourceStep>>& sources) {
  std::vector<std::unique_ptr<DoubleEndedSource>> boxed;
  for (const auto& s : sources) boxed.push_back(std::make_unique<VectorSource>(s));
  return Merger<std::unique_ptr<DoubleEndedSource>>(std::move(boxed));
}

}  // namespace tervik::testing
