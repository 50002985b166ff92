// Journal replay: rebuilds the memtables that had not been flushed when a
// database was last open. Each batch read back from a journal is applied to
// the trees of its keyspaces under the batch's sequence number; the sealed
// journals are replayed oldest first, each into one sealed memtable per
// keyspace (or into nothing when the keyspace's tables already hold it) and
// handed back to the journal manager; the active journal goes into the
// active memtables. Runs on the opening thread before any worker starts.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "morva/src/error.h"
#include "morva/src/journal/discovery.h"
#include "morva/src/journal/reader.h"
#include "morva/src/keyspace.h"

namespace morva {

struct DatabaseState;

// Keyspace ids resolved once per replay: through the meta keyspace's name
// entry to the keyspace map. The caller holds the map's lock.
class KeyspaceResolver {
 public:
  explicit KeyspaceResolver(const DatabaseState& db) : db_(db) {}
  // The keyspace of `id`; none when the meta keyspace has no name for it or
  // no keyspace of that name is open. A meta keyspace read error comes back.
  MorvaResult<const Keyspace*> resolve(uint64_t id);

 private:
  const DatabaseState& db_;
  std::map<uint64_t, std::optional<Keyspace>> known_;
};

// Applies the items of `batch` in order, then its clears. `on_keyspace` sees
// every resolved keyspace before its item or clear is applied. A clear that
// fails is returned when `clear_errors` is set and ignored otherwise. An
// item of a type no writer journals (an indirection) is Unrecoverable.
MorvaStatus apply_batch(const JournalBatch& batch, KeyspaceResolver& resolver, bool clear_errors,
                        const std::function<void(const Keyspace&)>& on_keyspace = {});

// Replays the sealed journals, oldest first (see above), raising the
// database's sequence-number counter past every sealed memtable.
MorvaStatus recover_sealed_journals(DatabaseState& db, const std::vector<SealedJournalFile>& sealed);

// Replays the active journal into the active memtables (its torn tail is cut
// first). Failing clears are ignored.
MorvaStatus recover_active_journal(DatabaseState& db);

}  // namespace morva
