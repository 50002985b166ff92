// The case and accent folding with which snippets compare text with query
// words: ASCII capitals to lower case, and the Latin-1 letters with an
// accent (U+00C0..U+00FF, apart from nine) to their plain ASCII letter. Every
// other character is left as it is, so a folded text is never longer than
// its input. Pure functions.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zv::snippet {

// Bit i set: U+00C0 + i folds to an ASCII letter (clear for Æ Ð × Þ ß æ ð ÷ þ).
inline constexpr uint64_t kLatin1FoldMask = 0xBF7EFFBF3F7EFFBFULL;

// The folding table for U+00C0 + i; 0 where the character stays.
extern const char kLatin1Fold[64];

// One character's folded form (the character itself when the table leaves it).
uint32_t fold_char(uint32_t cp);

std::string fold_text(std::string_view text);

// The offset in `text` whose folded prefix is `folded_offset` bytes long: a
// position found in fold_text(text) translated back to the text itself.
// Past the folded length it gives the text's length.
size_t unfolded_offset(std::string_view text, size_t folded_offset);

}  // namespace zv::snippet
