#include "src/backends/snapshot_tree.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "platform/panic.h"

namespace zv {

namespace {

using Node = SnapshotTree::Node;

// A leaf splits once its entries outgrow this; an internal node past this
// many children. Sized so a range read touches few blocks and a write moves
// little.
constexpr size_t kLeafBytes = 4096;
constexpr size_t kFanout = 64;
constexpr size_t kEntryHeader = 8;

// Entry lengths never leave memory, so they are kept in the host's order.
uint32_t load32(const char* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

std::string_view entry_key(const Node& n, size_t i) {
  const char* p = n.buf.data() + n.offs[i];
  return {p + kEntryHeader, load32(p)};
}

std::string_view entry_value(const Node& n, size_t i) {
  const char* p = n.buf.data() + n.offs[i];
  return {p + kEntryHeader + load32(p), load32(p + 4)};
}

size_t entry_len(const Node& n, size_t i) {
  const char* p = n.buf.data() + n.offs[i];
  return kEntryHeader + load32(p) + load32(p + 4);
}

// The first entry whose key is at or after `key`.
size_t leaf_lower_bound(const Node& n, std::string_view key) {
  size_t lo = 0, hi = n.offs.size();
  while (lo < hi) {
    const size_t mid = lo + (hi - lo) / 2;
    if (entry_key(n, mid) < key) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return lo;
}

// The child whose range holds `key`: the last separator at or before it.
size_t child_index(const Node& n, std::string_view key) {
  size_t lo = 1, hi = n.offs.size();
  while (lo < hi) {
    const size_t mid = lo + (hi - lo) / 2;
    if (key < entry_key(n, mid)) {
      hi = mid;
    } else {
      lo = mid + 1;
    }
  }
  return lo - 1;
}

bool is_empty(const Node& n) { return n.offs.empty(); }

// The node in `slot`, first copied when a snapshot (or another parent) still
// shares it, so that it can be changed in place.
Node* own(std::shared_ptr<Node>& slot) {
  if (slot.use_count() != 1) slot = std::make_shared<Node>(*slot);
  return slot.get();
}

// Replaces `old_len` bytes of entry i (0 for a new entry at i) with the pair.
void splice_entry(Node& n, size_t i, bool replace, std::string_view key, std::string_view value) {
  ZV_CHECK(key.size() <= std::numeric_limits<uint32_t>::max() &&
               value.size() <= std::numeric_limits<uint32_t>::max(),
           "key or value too large for the in-memory backend");
  const size_t at = i < n.offs.size() ? n.offs[i] : n.buf.size();
  const size_t old_len = replace ? entry_len(n, i) : 0;
  const size_t len = kEntryHeader + key.size() + value.size();
  n.buf.replace(at, old_len, len, '\0');
  char* p = n.buf.data() + at;
  const uint32_t klen = static_cast<uint32_t>(key.size()), vlen = static_cast<uint32_t>(value.size());
  std::memcpy(p, &klen, 4);
  std::memcpy(p + 4, &vlen, 4);
  std::memcpy(p + kEntryHeader, key.data(), key.size());
  std::memcpy(p + kEntryHeader + key.size(), value.data(), value.size());
  if (!replace) n.offs.insert(n.offs.begin() + static_cast<ptrdiff_t>(i), at);
  for (size_t j = i + 1; j < n.offs.size(); ++j) n.offs[j] = n.offs[j] + len - old_len;
}

struct Split {
  std::string sep;
  std::shared_ptr<Node> right;
};

void erase_entry(Node& n, size_t i) {
  const size_t len = entry_len(n, i);
  n.buf.erase(n.offs[i], len);
  n.offs.erase(n.offs.begin() + static_cast<ptrdiff_t>(i));
  for (size_t j = i; j < n.offs.size(); ++j) n.offs[j] -= len;
}

// Moves entries from `mid` on (and their children) to a new right sibling.
Split split_at(Node& n, size_t mid) {
  auto right = std::make_shared<Node>();
  right->leaf = n.leaf;
  const size_t cut = n.offs[mid];
  right->buf.assign(n.buf, cut);
  right->offs.reserve(n.offs.size() - mid);
  for (size_t j = mid; j < n.offs.size(); ++j) right->offs.push_back(n.offs[j] - cut);
  n.buf.resize(cut);
  n.buf.shrink_to_fit();
  n.offs.resize(mid);
  if (!n.leaf) {
    right->kids.assign(n.kids.begin() + static_cast<ptrdiff_t>(mid), n.kids.end());
    n.kids.resize(mid);
  }
  std::string sep(entry_key(*right, 0));
  return Split{std::move(sep), std::move(right)};
}

std::optional<Split> split_leaf(Node& n) {
  if (n.buf.size() <= kLeafBytes || n.offs.size() < 2) return std::nullopt;
  size_t mid = 1;
  while (mid + 1 < n.offs.size() && n.offs[mid] < n.buf.size() / 2) ++mid;
  return split_at(n, mid);
}

std::optional<Split> split_internal(Node& n) {
  if (n.kids.size() <= kFanout) return std::nullopt;
  return split_at(n, n.kids.size() / 2);
}

std::optional<Split> insert(std::shared_ptr<Node>& slot, std::string_view key, std::string_view value,
                            bool& added) {
  Node* n = own(slot);
  if (n->leaf) {
    const size_t i = leaf_lower_bound(*n, key);
    const bool exists = i < n->offs.size() && entry_key(*n, i) == key;
    if (exists && entry_value(*n, i).size() == value.size()) {
      std::memcpy(n->buf.data() + n->offs[i] + kEntryHeader + key.size(), value.data(), value.size());
      return std::nullopt;
    }
    splice_entry(*n, i, exists, key, value);
    added = !exists;
    return split_leaf(*n);
  }
  const size_t c = child_index(*n, key);
  std::optional<Split> s = insert(n->kids[c], key, value, added);
  if (!s) return std::nullopt;
  splice_entry(*n, c + 1, false, s->sep, {});
  n->kids.insert(n->kids.begin() + static_cast<ptrdiff_t>(c + 1), std::move(s->right));
  return split_internal(*n);
}

// Removes `key`, known to be present; drops children left empty.
void erase_present(std::shared_ptr<Node>& slot, std::string_view key) {
  Node* n = own(slot);
  if (n->leaf) {
    erase_entry(*n, leaf_lower_bound(*n, key));
    return;
  }
  const size_t c = child_index(*n, key);
  erase_present(n->kids[c], key);
  if (is_empty(*n->kids[c])) {
    n->kids.erase(n->kids.begin() + static_cast<ptrdiff_t>(c));
    erase_entry(*n, c);
  }
}

// Builds a tree bottom-up from entries handed over in ascending key order:
// leaves are filled to three quarters of their split size and internal
// nodes to three quarters of the fanout, so later inserts split rarely.
class BulkBuilder {
 public:
  void add(std::string_view key, std::string_view value) {
    const size_t len = kEntryHeader + key.size() + value.size();
    if (!leaf_ || (leaf_->buf.size() + len > kLeafBytes * 3 / 4 && !leaf_->offs.empty())) {
      if (leaf_) level_.push_back(std::move(leaf_));
      leaf_ = std::make_shared<Node>();
      leaf_->buf.reserve(kLeafBytes);
    }
    splice_entry(*leaf_, leaf_->offs.size(), false, key, value);
  }

  std::shared_ptr<Node> finish() {
    if (leaf_) level_.push_back(std::move(leaf_));
    if (level_.empty()) return std::make_shared<Node>();
    std::vector<std::shared_ptr<Node>> level = std::move(level_);
    constexpr size_t kFill = kFanout * 3 / 4;
    while (level.size() > 1) {
      std::vector<std::shared_ptr<Node>> up;
      up.reserve(level.size() / kFill + 1);
      for (size_t i = 0; i < level.size(); i += kFill) {
        auto parent = std::make_shared<Node>();
        parent->leaf = false;
        const size_t end = std::min(level.size(), i + kFill);
        for (size_t j = i; j < end; ++j) {
          splice_entry(*parent, j - i, false, entry_key(*level[j], 0), {});
          parent->kids.push_back(std::move(level[j]));
        }
        up.push_back(std::move(parent));
      }
      level = std::move(up);
    }
    return std::move(level[0]);
  }

 private:
  std::shared_ptr<Node> leaf_;
  std::vector<std::shared_ptr<Node>> level_;
};

// The first write of the next key: writes of one key are adjacent.
size_t next_key(std::span<const SnapshotTree::Write> writes, size_t i) {
  const size_t from = i;
  while (i < writes.size() && writes[i].key == writes[from].key) ++i;
  return i;
}

}  // namespace

SnapshotTree::SnapshotTree() : root_(std::make_shared<Node>()) {}

std::optional<std::string_view> SnapshotTree::find(std::string_view key) const {
  const Node* n = root_.get();
  while (!n->leaf) n = n->kids[child_index(*n, key)].get();
  const size_t i = leaf_lower_bound(*n, key);
  if (i < n->offs.size() && entry_key(*n, i) == key) return entry_value(*n, i);
  return std::nullopt;
}

void SnapshotTree::put(std::string_view key, std::string_view value) {
  bool added = false;
  std::optional<Split> s = insert(root_, key, value, added);
  if (s) {
    auto root = std::make_shared<Node>();
    root->leaf = false;
    splice_entry(*root, 0, false, {}, {});
    splice_entry(*root, 1, false, s->sep, {});
    root->kids = {std::move(root_), std::move(s->right)};
    root_ = std::move(root);
  }
  if (added) ++size_;
}

void SnapshotTree::erase(std::string_view key) {
  // An absent key copies nothing a snapshot shares.
  if (!find(key)) return;
  erase_present(root_, key);
  --size_;
  while (!root_->leaf && root_->kids.size() == 1) {
    std::shared_ptr<Node> only = root_->kids[0];
    root_ = std::move(only);
  }
  if (is_empty(*root_)) root_ = std::make_shared<Node>();
}

void SnapshotTree::apply_sorted(std::span<const Write> writes) {
  // Below this share of the tree, rewriting every node costs more than
  // descending once per key.
  if (writes.size() < 256 || writes.size() * 8 < size_) {
    for (const Write& w : writes) {
      if (w.value) {
        put(w.key, *w.value);
      } else {
        erase(w.key);
      }
    }
    return;
  }
  BulkBuilder out;
  size_t count = 0;
  Cursor c(root_.get());
  c.seek({});
  size_t i = 0;
  while (i < writes.size() || c.valid()) {
    if (i == writes.size() || (c.valid() && c.key() < writes[i].key)) {
      out.add(c.key(), c.value());
      ++count;
      c.next();
      continue;
    }
    const size_t end = next_key(writes, i);
    const Write& last = writes[end - 1];
    if (c.valid() && c.key() == last.key) c.next();
    if (last.value) {
      out.add(last.key, *last.value);
      ++count;
    }
    i = end;
  }
  root_ = out.finish();
  size_ = count;
}

void SnapshotTree::Cursor::seek(std::string_view key) {
  path_.clear();
  const Node* n = root_;
  while (!n->leaf) {
    const size_t c = child_index(*n, key);
    path_.emplace_back(n, c);
    n = n->kids[c].get();
  }
  leaf_ = n;
  pos_ = leaf_lower_bound(*n, key);
  settle();
}

std::string_view SnapshotTree::Cursor::key() const { return entry_key(*leaf_, pos_); }

std::string_view SnapshotTree::Cursor::value() const { return entry_value(*leaf_, pos_); }

void SnapshotTree::Cursor::next() {
  ++pos_;
  settle();
}

void SnapshotTree::Cursor::descend_leftmost(const Node* n) {
  while (!n->leaf) {
    path_.emplace_back(n, 0);
    n = n->kids[0].get();
  }
  leaf_ = n;
  pos_ = 0;
}

void SnapshotTree::Cursor::settle() {
  while (leaf_ != nullptr && pos_ >= leaf_->offs.size()) {
    leaf_ = nullptr;
    while (!path_.empty()) {
      const Node* parent = path_.back().first;
      const size_t c = ++path_.back().second;
      if (c < parent->kids.size()) {
        descend_leftmost(parent->kids[c].get());
        break;
      }
      path_.pop_back();
    }
  }
}

}  // namespace zv
