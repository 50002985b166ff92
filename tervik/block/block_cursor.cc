#include "tervik/block/block_cursor.h"

#include <algorithm>
#include <cstring>

#include "platform/coding.h"

namespace tervik {

BlockCursor::BlockCursor(Slice block, BlockLayout layout, BlockTrailer trailer)
    : block_(std::move(block)),
      layout_(layout),
      trailer_(trailer),
      items_end_(trailer.items_end()),
      back_interval_(trailer.restart_count),
      back_cut_(trailer.items_end()) {}

TervikResult<BlockCursor> BlockCursor::open(Slice payload, BlockLayout layout) {
  ZV_ASSIGN_OR_RETURN(BlockTrailer trailer, BlockTrailer::parse(payload.view(), layout));
  return BlockCursor(std::move(payload), layout, trailer);
}

Slice BlockCursor::key_of(const BlockItem& item) const {
  if (item.prefix_len == 0) return block_.sub(item.suffix_pos, item.suffix_len);
  const uint8_t* base = block_.data();
  return Slice::build(item.key_len(), [&](uint8_t* dst) {
    std::memcpy(dst, base + item.prefix_pos, item.prefix_len);
    std::memcpy(dst + item.prefix_len, base + item.suffix_pos, item.suffix_len);
  });
}

TervikResult<uint32_t> BlockCursor::restart_position(uint32_t k) const {
  const uint8_t* at = block_.data() + trailer_.binary_index_offset +
                      static_cast<size_t>(k) * trailer_.step_size;
  uint32_t pos = trailer_.step_size == 2 ? zv::coding::get_u16_le(at) : zv::coding::get_u32_le(at);
  if (pos >= items_end_) {
    return zv::make_unexpected(corrupt_block("restart position past the items"));
  }
  return pos;
}

TervikResult<BlockItem> BlockCursor::restart_head(uint32_t k) const {
  ZV_ASSIGN_OR_RETURN(uint32_t pos, restart_position(k));
  BlockItem item;
  const char* reason = nullptr;
  ItemParse st = parse_block_item(block_.view(), items_end_, pos, layout_, nullptr, &item, &reason);
  if (st == ItemParse::kItem) return item;
  if (st == ItemParse::kEnd) reason = "end marker at a restart position";
  return zv::make_unexpected(item_parse_error(st, block_.view(), pos, reason));
}

TervikResult<uint32_t> BlockCursor::count_restart_keys(std::string_view key,
                                                       bool inclusive) const {
  uint32_t lo = 0;
  uint32_t hi = trailer_.restart_count;
  while (lo < hi) {
    uint32_t mid = lo + (hi - lo) / 2;
    ZV_ASSIGN_OR_RETURN(BlockItem head, restart_head(mid));
    int c = compare_key(head, key);
    if (c < 0 || (inclusive && c == 0)) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return lo;
}

BlockCursor::Step BlockCursor::front_step() {
  if (front_pos_ > back_cut_) {
    back_buf_.reset();
    return std::optional<BlockItem>();
  }
  if (front_pos_ == back_cut_) {
    std::optional<BlockItem> item = std::move(back_buf_);
    back_buf_.reset();
    if (item) front_pos_ = item->next;
    return item;
  }
  const RestartKey* restart = front_left_ == 0 ? nullptr : &front_restart_;
  std::optional<BlockItem> item(std::in_place);
  const char* reason = nullptr;
  ItemParse st =
      parse_block_item(block_.view(), items_end_, front_pos_, layout_, restart, &*item, &reason);
  if (st == ItemParse::kEnd) return std::optional<BlockItem>();
  if (st != ItemParse::kItem) {
    return zv::make_unexpected(item_parse_error(st, block_.view(), front_pos_, reason));
  }
  if (restart == nullptr) {
    front_restart_ = RestartKey{item->suffix_pos, item->suffix_len};
    front_left_ = trailer_.restart_interval - 1u;
  } else {
    --front_left_;
  }
  front_pos_ = item->next;
  return item;
}

TervikStatus BlockCursor::fill_back(uint32_t interval) {
  back_stack_.clear();
  ZV_ASSIGN_OR_RETURN(BlockItem head, restart_head(interval));
  back_stack_.push_back(head);
  const RestartKey restart{head.suffix_pos, head.suffix_len};
  uint32_t pos = head.next;
  for (uint32_t i = 1; i < trailer_.restart_interval; ++i) {
    BlockItem item;
    const char* reason = nullptr;
    ItemParse st = parse_block_item(block_.view(), items_end_, pos, layout_, &restart, &item, &reason);
    if (st == ItemParse::kEnd) break;
    if (st != ItemParse::kItem) {
      return zv::make_unexpected(item_parse_error(st, block_.view(), pos, reason));
    }
    back_stack_.push_back(item);
    pos = item.next;
  }
  return {};
}

BlockCursor::Step BlockCursor::back_step() {
  for (;;) {
    if (back_stack_.empty()) {
      if (back_interval_ == 0) return std::optional<BlockItem>();
      --back_interval_;
      ZV_TRY(fill_back(back_interval_));
      continue;
    }
    BlockItem item = back_stack_.back();
    back_stack_.pop_back();
    if (item.pos >= front_pos_) {
      back_cut_ = item.pos;
      return std::optional<BlockItem>(item);
    }
    if (front_buf_ && front_buf_->pos == item.pos) {
      front_buf_.reset();
      front_pos_ = front_buf_origin_.pos;
      front_left_ = front_buf_origin_.left;
      front_restart_ = front_buf_origin_.restart;
      back_cut_ = item.pos;
      return std::optional<BlockItem>(item);
    }
    // The ends have met: whatever the front holds lies beyond the back.
    front_buf_.reset();
    back_stack_.clear();
    back_interval_ = 0;
    back_cut_ = std::min(back_cut_, item.pos);
    return std::optional<BlockItem>();
  }
}

BlockCursor::Step BlockCursor::next() {
  if (front_buf_) {
    std::optional<BlockItem> item = std::move(front_buf_);
    front_buf_.reset();
    // Both ends may hold the same item after seeks from both sides.
    if (back_buf_ && back_buf_->pos == item->pos) back_buf_.reset();
    return item;
  }
  return front_step();
}

BlockCursor::Step BlockCursor::next_back() {
  if (back_buf_) {
    std::optional<BlockItem> item = std::move(back_buf_);
    back_buf_.reset();
    if (front_buf_ && front_buf_->pos == item->pos) front_buf_.reset();
    return item;
  }
  return back_step();
}

BlockCursor::Step BlockCursor::seek(std::string_view key, bool exclusive) {
  front_buf_.reset();
  front_left_ = 0;
  if (trailer_.restart_count == 0) {
    front_pos_ = items_end_;
    return std::optional<BlockItem>();
  }
  ZV_ASSIGN_OR_RETURN(uint32_t p, count_restart_keys(key, false));
  if (p == 0) {
    front_pos_ = 0;
  } else {
    ZV_ASSIGN_OR_RETURN(front_pos_, restart_position(p - 1));
  }
  for (;;) {
    FrontState origin{front_pos_, front_left_, front_restart_};
    if (front_pos_ == back_cut_ && back_buf_) {
      // The back buffered this item: both ends hold it until one hands it
      // out, so the back still returns it when the front never does. Below
      // the key it is outside the range and neither end may return it.
      BlockItem item = *back_buf_;
      front_pos_ = item.next;
      int c = compare_key(item, key);
      if (c < 0 || (exclusive && c == 0)) {
        back_buf_.reset();
        return std::optional<BlockItem>();
      }
      front_buf_ = item;
      front_buf_origin_ = origin;
      return std::optional<BlockItem>(item);
    }
    ZV_ASSIGN_OR_RETURN(std::optional<BlockItem> item, front_step());
    if (!item) return item;
    int c = compare_key(*item, key);
    if (c < 0 || (exclusive && c == 0)) continue;
    front_buf_ = item;
    front_buf_origin_ = origin;
    return item;
  }
}

BlockCursor::Step BlockCursor::seek_upper(std::string_view key, bool exclusive) {
  back_stack_.clear();
  back_buf_.reset();
  back_cut_ = items_end_;
  if (trailer_.restart_count == 0) {
    back_interval_ = 0;
    return std::optional<BlockItem>();
  }
  ZV_ASSIGN_OR_RETURN(uint32_t p, count_restart_keys(key, true));
  back_interval_ = p == 0 ? 1 : p;
  for (;;) {
    ZV_ASSIGN_OR_RETURN(std::optional<BlockItem> item, back_step());
    if (!item) return item;
    int c = compare_key(*item, key);
    if (c > 0 || (exclusive && c == 0)) continue;
    back_buf_ = item;
    return item;
  }
}

TervikResult<bool> BlockCursor::seek_index(std::string_view key, SeqNo seqno) {
  uint32_t lo = 0;
  uint32_t hi = trailer_.restart_count;
  while (lo < hi) {
    uint32_t mid = lo + (hi - lo) / 2;
    ZV_ASSIGN_OR_RETURN(BlockItem e, restart_head(mid));
    int c = compare_key(e, key);
    bool before = c < 0 || (c == 0 && e.seqno >= seqno);
    if (before) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  front_buf_.reset();
  front_left_ = 0;
  if (lo == trailer_.restart_count) {
    front_pos_ = items_end_;
    back_stack_.clear();
    back_buf_.reset();
    back_interval_ = 0;
    return false;
  }
  ZV_ASSIGN_OR_RETURN(front_pos_, restart_position(lo));
  return true;
}

TervikResult<bool> BlockCursor::seek_index_upper(std::string_view key) {
  const uint32_t n = trailer_.restart_count;
  if (n == 0) return false;
  ZV_ASSIGN_OR_RETURN(uint32_t p, count_restart_keys(key, true));
  uint32_t idx = p == n ? n - 1 : p;
  back_stack_.clear();
  back_buf_.reset();
  back_cut_ = items_end_;
  back_interval_ = idx + 1;
  ZV_ASSIGN_OR_RETURN(back_buf_, back_step());
  return true;
}

TervikStatus BlockCursor::start_front_at_interval(uint32_t k) {
  if (k >= trailer_.restart_count) {
    return zv::make_unexpected(corrupt_block("hash bucket names a missing restart interval"));
  }
  ZV_ASSIGN_OR_RETURN(front_pos_, restart_position(k));
  front_left_ = 0;
  front_buf_.reset();
  return {};
}

}  // namespace tervik

namespace tervik {

TervikStatus BlockCursor::start_front_before(std::string_view key) {
  front_left_ = 0;
  front_buf_.reset();
  if (trailer_.restart_count == 0) {
    front_pos_ = items_end_;
    return {};
  }
  ZV_ASSIGN_OR_RETURN(uint32_t p, count_restart_keys(key, false));
  if (p == 0) {
    front_pos_ = 0;
    return {};
  }
  ZV_ASSIGN_OR_RETURN(front_pos_, restart_position(p - 1));
  return {};
}

BlockCursor::Step BlockCursor::find_visible(std::string_view key, SeqNo snapshot) const {
  const std::string_view payload = block_.view();
  uint32_t pos = front_pos_;
  uint32_t left = front_left_;
  RestartKey restart = front_restart_;
  BlockItem item;
  for (;;) {
    const char* reason = nullptr;
    ItemParse st = parse_block_item(payload, items_end_, pos, layout_,
                                    left == 0 ? nullptr : &restart, &item, &reason);
    if (st == ItemParse::kEnd) return std::optional<BlockItem>();
    if (st != ItemParse::kItem) {
      return zv::make_unexpected(item_parse_error(st, payload, pos, reason));
    }
    if (left == 0) {
      restart = RestartKey{item.suffix_pos, item.suffix_len};
      left = trailer_.restart_interval - 1u;
    } else {
      --left;
    }
    pos = item.next;
    int c = compare_key(item, key);
    if (c < 0) continue;
    if (c > 0) return std::optional<BlockItem>();
    if (item.seqno < snapshot) return std::optional<BlockItem>(item);
  }
}

}  // namespace tervik
