// A keyspace stand-in for journal maintenance and worker tests: a name and a settable
// highest persisted sequence number. Test-only; not thread-safe.
#pragma once

#include <optional>
#include <string>

#include "morva/src/keyspace_handle.h"

namespace morva::testing {

class TestKeyspace final : public KeyspaceHandle {
 public:
  explicit TestKeyspace(std::string name) : name_(std::move(name)) {}
  std::string name() const override { return name_; }
  std::optional<uint64_t> highest_persisted_seqno() const override { return persisted; }
  std::optional<uint64_t> persisted;

 private:
  std::string name_;
};

}  // namespace morva::testing
