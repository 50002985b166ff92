// The pre-filter's view of a record's shred record: a lenient decoder that
// keeps every entry before the first malformed one (a later entry of the
// same name replaces an earlier one), and the equality test of a filter map
// against the decoded fields. Pure functions.
#pragma once

#include <map>
#include <string>
#include <string_view>

#include "src/record/field_value.h"
#include "src/storage/shred_record.h"

namespace zv::search {

using ShredMap = std::map<std::string, ShredValue, std::less<>>;

// Entries until the bytes end, or until an entry's length field, name, type
// byte or value does not fit, or its type byte is 4 or more. A name that is
// not UTF-8 reads as ""; a string value's invalid bytes become U+FFFD.
ShredMap decode_shred_lenient(std::string_view bytes);

// Every filter entry is present and equal (same scalar kind); an empty map
// passes no filter, an empty filter map passes everything.
bool shred_passes(const ShredMap& fields, const FieldMap& filters);

// Whether every filter value is of a kind a shred record can hold (Int,
// Float, Bool, String); other filters can only be tested on the record.
bool shred_can_test(const FieldMap& filters);

}  // namespace zv::search
