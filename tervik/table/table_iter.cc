#include "tervik/table/table_iter.h"

#include "tervik/table/load_block.h"
#include "tervik/table/table_inner.h"

namespace tervik {

namespace {

// Lower bounds reach the index as (key, the largest seqno): every version of
// the key qualifies.
constexpr SeqNo kAllVersions = ~SeqNo{0};

}  // namespace

TableIter::TableIter(std::shared_ptr<const TableInner> table, Bound lower, Bound upper)
    : table_(std::move(table)), lower_(std::move(lower)), upper_(std::move(upper)) {
  auto it = table_->block_index.iter();
  if (it.ok()) {
    index_.emplace(std::move(*it));
  } else {
    index_error_.emplace(std::move(it).error());
  }
}

TervikResult<bool> TableIter::position() {
  positioned_ = true;
  if (index_error_) return zv::make_unexpected(*index_error_);
  if (lower_.kind != BoundKind::kUnbounded) {
    ZV_ASSIGN_OR_RETURN(bool any, index_->seek_lower(lower_.key.view(), kAllVersions));
    if (!any) return false;
  }
  if (upper_.kind != BoundKind::kUnbounded) {
    ZV_ASSIGN_OR_RETURN(bool any, index_->seek_upper(upper_.key.view(), kAllVersions));
    if (!any) return false;
  }
  return true;
}

TervikResult<DataBlockDecoder> TableIter::open_block(const IndexBlockEntry& entry) {
  ZV_ASSIGN_OR_RETURN(Block block, util::load_block(*table_->ctx, entry.handle, BlockType::kData,
                                                    table_->meta.data_compression));
  ZV_ASSIGN_OR_RETURN(DataBlockDecoder d, DataBlockDecoder::open(block));
  auto apply_lower = [&]() -> TervikStatus {
    if (lower_.kind == BoundKind::kIncluded) ZV_TRY(d.seek(lower_.key.view()));
    if (lower_.kind == BoundKind::kExcluded) ZV_TRY(d.seek_exclusive(lower_.key.view()));
    return {};
  };
  auto apply_upper = [&]() -> TervikStatus {
    if (upper_.kind == BoundKind::kIncluded) ZV_TRY(d.seek_upper(upper_.key.view()));
    if (upper_.kind == BoundKind::kExcluded) ZV_TRY(d.seek_upper_exclusive(upper_.key.view()));
    return {};
  };
  // The decoder takes its two seeks in either order; both bounds apply to
  // every block, whichever end opened it.
  ZV_TRY(apply_lower());
  ZV_TRY(apply_upper());
  return d;
}

ReadItem TableIter::yield(InternalValue v) const {
  v.key.seqno += table_->global_seqno;
  return ReadItem(std::move(v));
}

ReadItem TableIter::fail(TervikError e) {
  // A failed block is not skipped: the iterator ends here at both ends.
  front_.reset();
  back_.reset();
  done_ = true;
  return ReadItem(zv::make_unexpected(std::move(e)));
}

ReadItem TableIter::finish() {
  front_.reset();
  back_.reset();
  done_ = true;
  return std::nullopt;
}

ReadItem TableIter::next() {
  if (done_) return std::nullopt;
  if (front_) {
    auto step = front_->next();
    if (!step.ok()) return fail(std::move(step).error());
    if (step->has_value()) return yield(std::move(**step));
  }
  if (!positioned_) {
    auto any = position();
    if (!any.ok()) return fail(std::move(any).error());
    if (!*any) return finish();
  }
  for (;;) {
    auto entry = index_->next();
    if (!entry.ok()) return fail(std::move(entry).error());
    if (!entry->has_value()) break;
    auto d = open_block(**entry);
    if (!d.ok()) return fail(std::move(d).error());
    front_.emplace(std::move(*d));
    auto step = front_->next();
    if (!step.ok()) return fail(std::move(step).error());
    if (step->has_value()) return yield(std::move(**step));
  }
  // The index is used up: the rest lies in the block the back end reads.
  if (back_) {
    auto step = back_->next();
    if (!step.ok()) return fail(std::move(step).error());
    if (step->has_value()) return yield(std::move(**step));
  }
  return finish();
}

ReadItem TableIter::next_back() {
  if (done_) return std::nullopt;
  if (back_) {
    auto step = back_->next_back();
    if (!step.ok()) return fail(std::move(step).error());
    if (step->has_value()) return yield(std::move(**step));
  }
  if (!positioned_) {
    auto any = position();
    if (!any.ok()) return fail(std::move(any).error());
    if (!*any) return finish();
  }
  for (;;) {
    auto entry = index_->next_back();
    if (!entry.ok()) return fail(std::move(entry).error());
    if (!entry->has_value()) break;
    auto d = open_block(**entry);
    if (!d.ok()) return fail(std::move(d).error());
    back_.emplace(std::move(*d));
    auto step = back_->next_back();
    if (!step.ok()) return fail(std::move(step).error());
    if (step->has_value()) return yield(std::move(**step));
  }
  if (front_) {
    auto step = front_->next_back();
    if (!step.ok()) return fail(std::move(step).error());
    if (step->has_value()) return yield(std::move(**step));
  }
  return finish();
}

}  // namespace tervik
