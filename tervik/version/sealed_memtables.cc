#include "tervik/version/sealed_memtables.h"

namespace tervik {

std::shared_ptr<const SealedMemtables> SealedMemtables::with_added(std::shared_ptr<Memtable> sealed) const {
  std::vector<std::shared_ptr<Memtable>> list;
  list.reserve(memtables_.size() + 1);
  list = memtables_;
  list.push_back(std::move(sealed));
  return std::make_shared<const SealedMemtables>(std::move(list));
}

std::shared_ptr<const SealedMemtables> SealedMemtables::without(uint64_t id) const {
  std::vector<std::shared_ptr<Memtable>> list;
  list.reserve(memtables_.size());
  for (const auto& m : memtables_) {
    if (m->id() != id) list.push_back(m);
  }
  return std::make_shared<const SealedMemtables>(std::move(list));
}

bool SealedMemtables::contains(uint64_t id) const {
  for (const auto& m : memtables_) {
    if (m->id() == id) return true;
  }
  return false;
}

uint64_t SealedMemtables::approximate_size() const {
  uint64_t n = 0;
  for (const auto& m : memtables_) n += m->size();
  return n;
}

std::optional<SeqNo> SealedMemtables::highest_seqno() const {
  std::optional<SeqNo> out;
  for (const auto& m : memtables_) {
    if (auto s = m->get_highest_seqno(); s && (!out || *s > *out)) out = s;
  }
  return out;
}

}  // namespace tervik
