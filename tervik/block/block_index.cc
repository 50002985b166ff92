#include "tervik/block/block_index.h"

namespace tervik {

BlockIndex BlockIndex::full_pinned(IndexBlock block) {
  return BlockIndex(Kind::kFullPinned, std::move(block), BlockHandle{}, nullptr);
}

BlockIndex BlockIndex::full_volatile(BlockHandle handle, IndexBlockFetch fetch) {
  return BlockIndex(Kind::kFullVolatile, std::nullopt, handle, std::move(fetch));
}

BlockIndex BlockIndex::two_level(IndexBlock top_level, IndexBlockFetch fetch) {
  return BlockIndex(Kind::kTwoLevel, std::move(top_level), BlockHandle{}, std::move(fetch));
}

TervikResult<BlockIndexIter> BlockIndex::iter() const {
  BlockIndexIter it(*this);
  if (kind_ == Kind::kFullPinned) {
    ZV_ASSIGN_OR_RETURN(IndexBlockDecoder d, block_->decoder());
    it.decoder_.emplace(std::move(d));
  }
  return it;
}

TervikResult<std::optional<BlockIndexIter>> BlockIndex::forward_reader(std::string_view key,
                                                                       SeqNo seqno) const {
  ZV_ASSIGN_OR_RETURN(BlockIndexIter it, iter());
  ZV_ASSIGN_OR_RETURN(bool found, it.seek_lower(key, seqno));
  if (!found) return std::optional<BlockIndexIter>();
  return std::optional<BlockIndexIter>(std::move(it));
}

TervikResult<bool> BlockIndexIter::seek_lower(std::string_view key, SeqNo seqno) {
  lower_.emplace(std::string(key), seqno);
  if (index_.kind_ == BlockIndex::Kind::kFullPinned) return decoder_->seek(key, seqno);
  return true;
}

TervikResult<bool> BlockIndexIter::seek_upper(std::string_view key, SeqNo /*seqno*/) {
  upper_.emplace(key);
  if (index_.kind_ == BlockIndex::Kind::kFullPinned) return decoder_->seek_upper(key);
  return true;
}

TervikResult<bool> BlockIndexIter::apply_bounds(IndexBlockDecoder& d) const {
  if (lower_) {
    ZV_ASSIGN_OR_RETURN(bool ok, d.seek(lower_->first, lower_->second));
    if (!ok) return false;
  }
  if (upper_) {
    ZV_ASSIGN_OR_RETURN(bool ok, d.seek_upper(*upper_));
    if (!ok) return false;
  }
  return true;
}

TervikResult<std::optional<IndexBlockDecoder>> BlockIndexIter::open_bounded(
    const Block& block) const {
  ZV_ASSIGN_OR_RETURN(IndexBlockDecoder d, IndexBlockDecoder::open(block));
  ZV_ASSIGN_OR_RETURN(bool ok, apply_bounds(d));
  if (!ok) return std::optional<IndexBlockDecoder>();
  return std::optional<IndexBlockDecoder>(std::move(d));
}

BlockIndexIter::Step BlockIndexIter::next() {
  switch (index_.kind_) {
    case BlockIndex::Kind::kFullPinned: return decoder_->next();
    case BlockIndex::Kind::kFullVolatile: return volatile_step(false);
    case BlockIndex::Kind::kTwoLevel: return two_level_checked(false);
  }
  return std::optional<IndexBlockEntry>();
}

BlockIndexIter::Step BlockIndexIter::next_back() {
  switch (index_.kind_) {
    case BlockIndex::Kind::kFullPinned: return decoder_->next_back();
    case BlockIndex::Kind::kFullVolatile: return volatile_step(true);
    case BlockIndex::Kind::kTwoLevel: return two_level_checked(true);
  }
  return std::optional<IndexBlockEntry>();
}

BlockIndexIter::Step BlockIndexIter::volatile_step(bool back) {
  if (ended_) return std::optional<IndexBlockEntry>();
  if (!decoder_) {
    // A failed fetch stores nothing: the next step fetches again.
    ZV_ASSIGN_OR_RETURN(Block block, (*index_.fetch_)(index_.handle_));
    ZV_ASSIGN_OR_RETURN(std::optional<IndexBlockDecoder> d, open_bounded(block));
    if (!d) {
      ended_ = true;
      return std::optional<IndexBlockEntry>();
    }
    decoder_ = std::move(d);
  }
  return back ? decoder_->next_back() : decoder_->next();
}

BlockIndexIter::Step BlockIndexIter::two_level_checked(bool back) {
  // A partition's top-level entry is taken before the partition is fetched:
  // going on after a failure would pass over its entries without a trace, so
  // an error ends the walk at both ends.
  Step s = two_level_step(back);
  if (!s.ok()) ended_ = true;
  return s;
}

BlockIndexIter::Step BlockIndexIter::two_level_step(bool back) {
  if (ended_) return std::optional<IndexBlockEntry>();
  std::optional<IndexBlockDecoder>& mine = back ? back_partition_ : front_partition_;
  std::optional<IndexBlockDecoder>& other = back ? front_partition_ : back_partition_;
  auto step = [back](IndexBlockDecoder& d) { return back ? d.next_back() : d.next(); };

  if (mine) {
    ZV_ASSIGN_OR_RETURN(std::optional<IndexBlockEntry> e, step(*mine));
    if (e) return e;
  }
  if (!decoder_) {
    ZV_ASSIGN_OR_RETURN(std::optional<IndexBlockDecoder> top,
                        open_bounded(index_.block_->block()));
    if (!top) {
      ended_ = true;
      return std::optional<IndexBlockEntry>();
    }
    decoder_ = std::move(top);
  }
  ZV_ASSIGN_OR_RETURN(std::optional<IndexBlockEntry> part, step(*decoder_));
  if (part) {
    ZV_ASSIGN_OR_RETURN(Block block, (*index_.fetch_)(part->handle));
    ZV_ASSIGN_OR_RETURN(std::optional<IndexBlockDecoder> d, open_bounded(block));
    if (!d) {
      ended_ = true;
      return std::optional<IndexBlockEntry>();
    }
    mine = std::move(d);
    ZV_ASSIGN_OR_RETURN(std::optional<IndexBlockEntry> e, step(*mine));
    if (e) return e;
  }
  // The top level is used up: both ends now share the other end's partition.
  if (other) return step(*other);
  return std::optional<IndexBlockEntry>();
}

}  // namespace tervik
