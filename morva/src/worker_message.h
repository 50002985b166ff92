// The messages the background workers take from their channel (Flush,
// Compact, Close, Rotate) with their display texts, the flush task the flush
// queue carries, and the capacity of both channels. Plain values.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "morva/src/channel.h"
#include "morva/src/keyspace_handle.h"

namespace morva {

inline constexpr size_t kWorkerChannelCapacity = 1000;

enum class WorkerMessageTag : uint8_t { kFlush = 0, kCompact = 1, kClose = 2, kRotate = 3 };

struct WorkerMessage {
  WorkerMessageTag tag = WorkerMessageTag::kFlush;
  std::shared_ptr<KeyspaceHandle> keyspace;  // Compact and Rotate
  uint64_t memtable_id = 0;                  // Rotate

  // Take one task from the flush queue.
  static WorkerMessage flush() { return {WorkerMessageTag::kFlush, nullptr, 0}; }
  static WorkerMessage compact(std::shared_ptr<KeyspaceHandle> ks) {
    return {WorkerMessageTag::kCompact, std::move(ks), 0};
  }
  static WorkerMessage close() { return {WorkerMessageTag::kClose, nullptr, 0}; }
  // Seal the keyspace's active memtable if it still has this id.
  static WorkerMessage rotate(uint64_t memtable_id, std::shared_ptr<KeyspaceHandle> ks) {
    return {WorkerMessageTag::kRotate, std::move(ks), memtable_id};
  }

  // "WorkerMessage:Flush", "WorkerMessage:Compact(name)",
  // "WorkerMessage:Close", "WorkerMessage:Rotate(name, 7)".
  std::string to_string() const;
};

// A keyspace whose sealed memtables wait for a flush.
struct FlushTask {
  std::shared_ptr<KeyspaceHandle> keyspace;
};

using WorkerSender = Sender<WorkerMessage>;
using WorkerReceiver = Receiver<WorkerMessage>;
using FlushQueueSender = Sender<std::shared_ptr<FlushTask>>;
using FlushQueueReceiver = Receiver<std::shared_ptr<FlushTask>>;

inline std::pair<FlushQueueSender, FlushQueueReceiver> make_flush_queue() {
  return bounded_channel<std::shared_ptr<FlushTask>>(kWorkerChannelCapacity);
}

}  // namespace morva
