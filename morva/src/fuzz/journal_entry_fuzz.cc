// Feeds arbitrary bytes to the journal entry decoder, entry after entry:
// whatever the input, it returns entries or errors, never crashes, panics or
// allocates beyond what the input holds (a damaged length fails first).
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "morva/src/journal/entry.h"
#include "platform/panic.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  morva::MemoryJournalSource src(bytes);
  zv::Xxh3Hasher64 hasher;
  const bool ok = zv::catch_panic(
      [&] {
        while (src.remaining() > 0) {
          const size_t before = src.position();
          auto entry = morva::decode_journal_entry(src, &hasher);
          if (!entry.ok()) break;
          if (const auto* item = std::get_if<morva::JournalItem>(&*entry)) {
            // A decoded value never exceeds what the stored bytes can expand to.
            if (item->key.size() > src.position() - before) __builtin_trap();
          }
        }
      },
      nullptr);
  if (!ok) __builtin_trap();
  return 0;
}
