#include "tervik/config/tree_config.h"

#include "platform/fs.h"
#include "platform/panic.h"

namespace tervik {

namespace {

std::string absolute_folder(const std::string& folder) {
  ZV_CHECK(!folder.empty(), kFatalNotAbsolutePath);
  std::string abs = zv::fs::absolute(folder);
  ZV_CHECK(!abs.empty() && abs[0] == '/', kFatalNotAbsolutePath);
  return abs;
}

}  // namespace

TreeConfig TreeConfig::defaults() {
  return create(kDefaultTreeFolder, SeqNoCounter(0), SeqNoCounter(0));
}

TreeConfig TreeConfig::create(const std::string& folder, SeqNoCounter seqno,
                              SeqNoCounter visible_seqno) {
  TreeConfig c;
  c.path = absolute_folder(folder);
  c.cache = BlockCache::with_capacity_bytes(BlockCache::kDefaultTreeCapacity);
  c.descriptor_table = std::make_shared<FileDescriptorCache>(FileDescriptorCache::kDefaultCapacity);
  c.seqno = std::move(seqno);
  c.visible_seqno = std::move(visible_seqno);
  return c;
}

TreeConfig TreeConfig::with_data_block_size_policy(BlockSizePolicy p) && {
  data_block_size_policy = std::move(p);
  return std::move(*this);
}

TreeConfig TreeConfig::with_data_block_hash_ratio_policy(HashRatioPolicy p) && {
  data_block_hash_ratio_policy = std::move(p);
  return std::move(*this);
}

TreeConfig TreeConfig::with_data_block_compression_policy(CompressionPolicy p) && {
  data_block_compression_policy = std::move(p);
  return std::move(*this);
}

TreeConfig TreeConfig::with_index_block_compression_policy(CompressionPolicy p) && {
  index_block_compression_policy = std::move(p);
  return std::move(*this);
}

TreeConfig TreeConfig::with_data_block_restart_interval_policy(RestartIntervalPolicy p) && {
  data_block_restart_interval_policy = std::move(p);
  return std::move(*this);
}

TreeConfig TreeConfig::with_filter_policy(FilterPolicy p) && {
  filter_policy = std::move(p);
  return std::move(*this);
}

TreeConfig TreeConfig::use_cache(std::shared_ptr<BlockCache> c) && {
  cache = std::move(c);
  return std::move(*this);
}

TreeConfig TreeConfig::use_descriptor_table(std::shared_ptr<FileDescriptorCache> c) && {
  descriptor_table = std::move(c);
  return std::move(*this);
}

}  // namespace tervik
