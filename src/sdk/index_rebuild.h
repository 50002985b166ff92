// The full rebuilds of the derived (namespace and payload), sparse and text
// indexes of a handle's database: each takes the engine, holds its index
// gate exclusively (so no record write is between its engine write and its
// record change) and the text-index mutex, reads every stored node and
// replaces the index in one batch followed by a new state record. A thread
// holding the gate shared must not call them. Thread-safe otherwise.
#pragma once

#include "src/foundation/error.h"
#include "src/sdk/embedded_db.h"
#include "src/text/index_rebuild.h"
#include "src/text/text_rebuild.h"

namespace zv {

ZolvaResult<text::DerivedRebuildStats> rebuild_derived_index(const EmbeddedDb& db);
ZolvaResult<text::SparseRebuildStats> rebuild_sparse_index(const EmbeddedDb& db);
// Also counts text_index_rebuild_ms and text_postings_written.
ZolvaResult<text::TextRebuildStats> rebuild_text_index(const EmbeddedDb& db);

}  // namespace zv
