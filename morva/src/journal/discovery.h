// Journal discovery: finds the journal files of a database folder when it is
// opened again, tells the active journal (the highest number) from the
// sealed ones, and opens the active one for writing, or creates journal 1
// when no journal file is left. A name that only looks like a journal (wrong
// case, sign, letters) stops the open rather than being passed over, so that
// no acknowledged write is silently left out of a replay. Runs once, on the
// opening thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "morva/src/db_config.h"
#include "morva/src/error.h"
#include "morva/src/journal/journal.h"

namespace morva {

struct SealedJournalFile {
  uint64_t number = 0;
  std::string path;
};

struct RecoveryResult {
  std::shared_ptr<Journal> active;
  std::vector<SealedJournalFile> sealed;  // ascending by number
  bool was_active_created = false;

  // "RecoveryResult { active: <path>, sealed: [2, 3], was_active_created: false }".
  std::string debug_string() const;
};

// The extension of a folder entry's name: the text after its last "." (a
// leading "." does not count); empty when there is none.
std::string_view file_extension(std::string_view name);

// Lists `config.path` and opens or creates the active journal with the
// configuration's compression.
MorvaResult<RecoveryResult> discover_journals(const DatabaseConfig& config);

}  // namespace morva
