// SnapshotTree: an ordered map of byte keys to byte values kept as a B+tree
// whose leaves pack their entries into one buffer in key order, so a range
// is read from a few contiguous blocks rather than one heap node per entry.
// Nodes are shared copy-on-write: snapshot() hands out the current root, and
// a later write copies each node on its path that a snapshot still holds, so
// a snapshot never changes while writers go on. Not synchronised: the owner
// serialises writes against reads of the live tree and against taking and
// dropping snapshots (InMemoryBackend does so with its lock); reading a
// snapshot's nodes needs no lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zv {

class SnapshotTree {
 public:
  // A node packs its entries back to back in key order, each a 4-byte key
  // length, a 4-byte value length (host order), the key and the value;
  // `offs` holds where each begins. A leaf's entries are the pairs. An
  // internal node's entry i is the separator of kids[i] (empty value): the
  // child holds the keys at or after it and before the next separator
  // (separator 0 bounds nothing below). Packed, a search reads few lines.
  struct Node {
    bool leaf = true;
    std::string buf;
    std::vector<size_t> offs;
    std::vector<std::shared_ptr<Node>> kids;
  };
  // A root and everything under it, never modified while held.
  using Snapshot = std::shared_ptr<const Node>;

  SnapshotTree();

  // The value of `key`, viewing the live tree (valid until the next write).
  std::optional<std::string_view> find(std::string_view key) const;
  // Inserts the pair or replaces the value of an existing key.
  void put(std::string_view key, std::string_view value);
  // Removes the key; an absent key changes nothing.
  void erase(std::string_view key);

  // One write of a batch: a put of `value`, or an erase when it is none.
  struct Write {
    std::string_view key;
    std::optional<std::string_view> value;
  };
  // Applies writes sorted by key, a key's writes in batch order (the last
  // one decides). A batch large next to the tree is merged with it in one
  // pass into new, packed nodes (the old nodes are left to the snapshots that
  // hold them); a smaller one goes key by key, in key order, so that
  // neighbouring keys find their path already in cache.
  void apply_sorted(std::span<const Write> writes);
  size_t size() const { return size_; }
  Snapshot snapshot() const { return root_; }
  const Node* root() const { return root_.get(); }

  // Walks the entries of a tree (live or snapshot) in ascending unsigned byte
  // order of the keys. Holds raw pointers: the caller keeps the root alive
  // and, for the live tree, writes out.
  class Cursor {
   public:
    explicit Cursor(const Node* root) : root_(root) {}
    // Positions at the first key at or after `key`.
    void seek(std::string_view key);
    bool valid() const { return leaf_ != nullptr; }
    std::string_view key() const;
    std::string_view value() const;
    void next();

   private:
    void descend_leftmost(const Node* n);
    // Moves on from an exhausted leaf to the next non-empty one, or ends.
    void settle();

    const Node* root_;
    std::vector<std::pair<const Node*, size_t>> path_;  // internal nodes, child index
    const Node* leaf_ = nullptr;
    size_t pos_ = 0;
  };

 private:
  std::shared_ptr<Node> root_;
  size_t size_ = 0;
};

}  // namespace zv
