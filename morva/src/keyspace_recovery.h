// Keyspace recovery: rebuilds the keyspace map of a database opened again
// from its "keyspaces" folder and the meta keyspace. A folder whose id has a
// name entry and whose tree has a "current" version is reopened with its
// stored options; a folder the meta keyspace does not name, or one that a
// creation left without a tree, is removed; the keyspace id counter is set
// past every id seen. A folder name that is not a keyspace id fails the open
// (Unrecoverable) and nothing is removed for it. Runs on the opening thread.
#pragma once

#include "morva/src/error.h"

namespace morva {

struct DatabaseState;

inline constexpr const char* kTreeCurrentFileName = "current";

MorvaStatus recover_keyspaces(DatabaseState& db);

}  // namespace morva
