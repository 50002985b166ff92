#include "tervik/memtable/memtable.h"

#include "platform/panic.h"
#include "tervik/core/fatal.h"

namespace tervik {

namespace {

int compare_nodes(const SkipList::Node* a, const SkipList::Node* b) {
  int c = a->user_key().compare(b->user_key());
  if (c != 0) return c;
  return a->seqno() > b->seqno() ? -1 : (a->seqno() < b->seqno() ? 1 : 0);
}

}  // namespace

std::pair<uint64_t, uint64_t> Memtable::insert(InternalValue v) {
  const uint64_t item_size = v.size();
  const uint64_t before = approximate_size_.fetch_add(item_size, std::memory_order_seq_cst);
  check_key_length(v.key.user_key);
  const SeqNo seqno = v.key.seqno;
  items_.insert(std::move(v));
  SeqNo cur = highest_seqno_.load(std::memory_order_relaxed);
  while (cur < seqno && !highest_seqno_.compare_exchange_weak(cur, seqno, std::memory_order_acq_rel)) {
  }
  return {item_size, before + item_size};
}

std::optional<InternalValue> Memtable::get(std::string_view user_key, SeqNo snapshot) const {
  if (snapshot == 0) return std::nullopt;
  if (user_key.size() > kMaxUserKeyLength) zv::panic(kFatalKeyTooLong);
  const SkipList::Node* n = items_.seek(user_key, snapshot - 1);
  if (!n || n->user_key() != user_key) return std::nullopt;
  return n->load();
}

std::optional<SeqNo> Memtable::get_highest_seqno() const {
  if (is_empty()) return std::nullopt;
  return highest_seqno_.load(std::memory_order_acquire);
}

MemtableRange Memtable::range(KeyRange range, SeqNo snapshot) const {
  return MemtableRange(shared_from_this(), std::move(range), snapshot);
}

MemtableRange Memtable::iter() const {
  return MemtableRange(shared_from_this(), KeyRange::all(), std::nullopt);
}

ReadItem MemtableRange::next() {
  const SkipList& list = table_->items_;
  while (!front_done_) {
    const SkipList::Node* n;
    if (front_) {
      n = front_->next(0);
    } else {
      const Bound& lo = range_.lo;
      n = list.first_not_before(
          [&](const SkipList::Node& x) { return !lo.admits_from_below(x.user_key().view()); });
    }
    if (!n || !range_.hi.admits_from_above(n->user_key().view()) ||
        (back_ && compare_nodes(n, back_) >= 0)) {
      front_done_ = true;
      break;
    }
    front_ = n;
    if (visible(n)) return n->load();
  }
  return std::nullopt;
}

ReadItem MemtableRange::next_back() {
  const SkipList& list = table_->items_;
  while (!back_done_) {
    const SkipList::Node* n;
    if (back_) {
      const SkipList::Node* cur = back_;
      n = list.last_before([&](const SkipList::Node& x) { return compare_nodes(&x, cur) < 0; });
    } else {
      const Bound& hi = range_.hi;
      n = list.last_before(
          [&](const SkipList::Node& x) { return hi.admits_from_above(x.user_key().view()); });
    }
    if (!n || !range_.lo.admits_from_below(n->user_key().view()) ||
        (front_ && compare_nodes(n, front_) <= 0)) {
      back_done_ = true;
      break;
    }
    back_ = n;
    if (visible(n)) return n->load();
  }
  return std::nullopt;
}

}  // namespace tervik
