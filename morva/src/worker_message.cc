#include "morva/src/worker_message.h"

namespace morva {

std::string WorkerMessage::to_string() const {
  switch (tag) {
    case WorkerMessageTag::kFlush: return "WorkerMessage:Flush";
    case WorkerMessageTag::kCompact: return "WorkerMessage:Compact(" + keyspace->name() + ")";
    case WorkerMessageTag::kClose: return "WorkerMessage:Close";
    case WorkerMessageTag::kRotate:
      return "WorkerMessage:Rotate(" + keyspace->name() + ", " + std::to_string(memtable_id) + ")";
  }
  return "WorkerMessage:Close";
}

}  // namespace morva
