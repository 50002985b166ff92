#include "tervik/core/internal_value.h"

#include "platform/panic.h"
#include "tervik/core/fatal.h"

namespace tervik {

std::string_view value_type_short(ValueType t) {
  switch (t) {
    case ValueType::kValue: return "V";
    case ValueType::kTombstone: return "T";
    case ValueType::kWeakTombstone: return "W";
    case ValueType::kIndirection: return "Vb";
  }
  return "?";
}

std::string_view value_type_name(ValueType t) {
  switch (t) {
    case ValueType::kValue: return "Value";
    case ValueType::kTombstone: return "Tombstone";
    case ValueType::kWeakTombstone: return "WeakTombstone";
    case ValueType::kIndirection: return "Indirection";
  }
  return "?";
}

void check_key_length(const UserKey& key) {
  if (key.size() > kMaxUserKeyLength) zv::panic(kFatalKeyTooLong);
}

std::string InternalKey::debug_string() const {
  std::string out = user_key.debug_string();
  out += ':';
  out += std::to_string(seqno);
  out += ':';
  out += value_type_short(value_type);
  return out;
}

InternalValue InternalValue::from_components(UserKey key, UserValue value,
                                             SeqNo seqno, ValueType type) {
  check_key_length(key);
  if (key.empty()) zv::panic(kFatalKeyEmpty);
  return InternalValue(InternalKey(std::move(key), seqno, type), std::move(value));
}

InternalValue InternalValue::new_value(UserKey key, UserValue value, SeqNo seqno) {
  return from_components(std::move(key), std::move(value), seqno, ValueType::kValue);
}

InternalValue InternalValue::new_indirection(UserKey key, std::string_view indirection,
                                             SeqNo seqno) {
  return from_components(std::move(key), Slice(indirection), seqno,
                         ValueType::kIndirection);
}

InternalValue InternalValue::new_tombstone(UserKey key, SeqNo seqno) {
  return from_components(std::move(key), Slice(), seqno, ValueType::kTombstone);
}

InternalValue InternalValue::new_weak_tombstone(UserKey key, SeqNo seqno) {
  return from_components(std::move(key), Slice(), seqno, ValueType::kWeakTombstone);
}

std::string InternalValue::debug_string() const {
  std::string out = key.debug_string();
  out += " => ";
  if (value.size() >= kValuePrintLimit) {
    out += "[ ... " + std::to_string(value.size()) + " bytes ]";
  } else {
    out += value.debug_string();
  }
  return out;
}

}  // namespace tervik
