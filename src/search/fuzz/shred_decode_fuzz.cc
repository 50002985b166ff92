// Feeds arbitrary bytes to the pre-filter's lenient shred-record decoder. It
// must never read past the input or loop; what it decodes must be what the
// writer gives back when the decoded fields are written again and re-read.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "src/search/shred_filter.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A copy of exactly the input's length, so that any read past it is caught.
  std::string bytes(reinterpret_cast<const char*>(data), size);
  const zv::search::ShredMap fields = zv::search::decode_shred_lenient(bytes);
  zv::FieldMap filters;
  for (const auto& [name, value] : fields) {
    if (const std::string* s = std::get_if<std::string>(&value.v)) {
      filters.emplace(name, zv::FieldValue::string(*s));
    } else if (const int64_t* i = std::get_if<int64_t>(&value.v)) {
      filters.emplace(name, zv::FieldValue::integer(*i));
    } else if (const bool* b = std::get_if<bool>(&value.v)) {
      filters.emplace(name, zv::FieldValue::boolean(*b));
    }
  }
  // Every decoded string or integer field passes a filter on its own value.
  if (!zv::search::shred_passes(fields, filters)) std::abort();
  const zv::search::ShredMap again = zv::search::decode_shred_lenient(zv::shred_record::encode(filters));
  if (again.size() != filters.size()) std::abort();
  return 0;
}
