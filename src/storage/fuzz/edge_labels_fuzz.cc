// Stored label entries and checkpoint values as the open reads them, from
// arbitrary bytes: the first input byte splits the rest into a checkpoint
// value and entries (key and value separated by 0x00, entries by 0x01).
// Loading must fail with Serialization or give a table whose ids run from 0
// and name the stored labels; decoding a checkpoint never fails.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/panic.h"
#include "src/record/binary_form.h"
#include "src/storage/checkpoint_store.h"
#include "src/storage/edge_labels.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > 4096) return 0;
  const std::string in(reinterpret_cast<const char*>(data) + 1, size - 1);
  const size_t split = std::min<size_t>(data[0] % 16, in.size());
  const std::string checkpoint = in.substr(0, split);
  const uint64_t value = zv::decode_checkpoint_value(checkpoint);
  ZV_CHECK(zv::decode_checkpoint_value(zv::encode_varint_u64(value) + checkpoint) == value,
           "checkpoint does not read back");

  std::vector<zv::KvPair> entries;
  std::string rest = in.substr(split);
  size_t pos = 0;
  while (pos <= rest.size()) {
    size_t end = rest.find('\x01', pos);
    if (end == std::string::npos) end = rest.size();
    const std::string entry = rest.substr(pos, end - pos);
    const size_t sep = entry.find('\0');
    if (sep != std::string::npos)
      entries.push_back({entry.substr(0, sep), entry.substr(sep + 1)});
    else
      entries.push_back({zv::edge_label_key(static_cast<uint32_t>(entries.size())), entry});
    pos = end + 1;
  }
  auto table = zv::edge_labels_from_entries(entries);
  if (!table.ok()) {
    ZV_CHECK(table.error().is(zv::ZolvaErrorKind::kSerialization), "label load failed oddly");
    return 0;
  }
  ZV_CHECK(table.value().size() == entries.size(), "labels lost");
  for (const zv::KvPair& kv : entries) {
    auto id = table.value().find(kv.value);
    ZV_CHECK(id && zv::edge_label_key(*id) == kv.key, "label under the wrong id");
  }
  return 0;
}
