// Table blocks: data-block point reads with and without the hash index, block
// encode and frame decode throughput with and without LZ4, Bloom filter probes.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tervik/block/block.h"
#include "tervik/block/bloom_filter.h"
#include "tervik/block/data_block.h"

namespace {

using tervik::Block;
using tervik::BlockType;
using tervik::BloomFilter;
using tervik::BloomFilterReader;
using tervik::CompressionType;
using tervik::DataBlock;
using tervik::InternalValue;
using tervik::Slice;

uint64_t mix(uint64_t x) {
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdULL;
  x ^= x >> 33;
  return x;
}

std::string key_of(uint64_t i) {
  char buf[32];
  std::snprintf(buf, sizeof(buf), "user:%012llu", static_cast<unsigned long long>(i));
  return buf;
}

// About 4 KiB of entries: 24-byte keys with 16-byte values, as a table writes
// them at the default block size.
std::vector<InternalValue> block_items(size_t n) {
  std::vector<InternalValue> items;
  for (size_t i = 0; i < n; ++i) {
    std::string value = "value-" + std::to_string(mix(i) % 1000000000ull);
    value.resize(16, '.');
    items.push_back(InternalValue::new_value(Slice(key_of(i * 7)), Slice(value), 1000 + i));
  }
  return items;
}

void BM_DataBlockPointRead(benchmark::State& state) {
  const float ratio = state.range(0) ? 1.33f : 0.0f;
  const size_t n = 96;
  auto items = block_items(n);
  std::string payload;
  if (!DataBlock::encode_into(&payload, items, 16, ratio).ok()) state.SkipWithError("encode");
  DataBlock block(Block{{}, Slice(payload)});
  std::vector<std::string> keys;
  for (size_t i = 0; i < 1024; ++i) keys.push_back(key_of((mix(i) % n) * 7));
  size_t i = 0;
  for (auto _ : state) {
    auto r = block.point_read(keys[i++ & 1023], UINT64_MAX >> 1);
    benchmark::DoNotOptimize(r);
  }
  state.SetLabel(ratio > 0 ? "hash index" : "binary search");
}
BENCHMARK(BM_DataBlockPointRead)->Arg(0)->Arg(1);

void BM_BlockEncode(benchmark::State& state) {
  const auto c = state.range(0) ? CompressionType::kLz4 : CompressionType::kNone;
  auto items = block_items(96);
  std::string payload, frame;
  size_t bytes = 0;
  for (auto _ : state) {
    payload.clear();
    frame.clear();
    (void)DataBlock::encode_into(&payload, items, 16, 0.0f);
    auto h = Block::write_into(&frame, payload, BlockType::kData, c);
    benchmark::DoNotOptimize(h);
    bytes += payload.size();
  }
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
  state.SetLabel(c == CompressionType::kLz4 ? "lz4" : "none");
}
BENCHMARK(BM_BlockEncode)->Arg(0)->Arg(1);

void BM_BlockDecode(benchmark::State& state) {
  const auto c = state.range(0) ? CompressionType::kLz4 : CompressionType::kNone;
  auto items = block_items(96);
  std::string payload, frame;
  (void)DataBlock::encode_into(&payload, items, 16, 0.0f);
  (void)Block::write_into(&frame, payload, BlockType::kData, c);
  Slice stored(frame);
  size_t bytes = 0;
  for (auto _ : state) {
    auto b = Block::from_frame(stored, c);
    auto d = tervik::DataBlockDecoder::open(*b);
    size_t seen = 0;
    for (;;) {
      auto r = d->next();
      if (!r.ok() || !*r) break;
      ++seen;
    }
    benchmark::DoNotOptimize(seen);
    bytes += payload.size();
  }
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
  state.SetLabel(c == CompressionType::kLz4 ? "lz4, checksum + iterate" : "none, checksum + iterate");
}
BENCHMARK(BM_BlockDecode)->Arg(0)->Arg(1);

// The frame alone: header and payload checksums, and LZ4 when compressed.
void BM_FrameDecode(benchmark::State& state) {
  const auto c = state.range(0) ? CompressionType::kLz4 : CompressionType::kNone;
  auto items = block_items(96);
  std::string payload, frame;
  (void)DataBlock::encode_into(&payload, items, 16, 0.0f);
  (void)Block::write_into(&frame, payload, BlockType::kData, c);
  Slice stored(frame);
  size_t bytes = 0;
  for (auto _ : state) {
    auto b = Block::from_frame(stored, c);
    benchmark::DoNotOptimize(b);
    bytes += payload.size();
  }
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
  state.SetLabel(c == CompressionType::kLz4 ? "lz4" : "none");
}
BENCHMARK(BM_FrameDecode)->Arg(0)->Arg(1);

void BM_BloomProbe(benchmark::State& state) {
  const uint64_t n = 1 << 20;
  auto f = BloomFilter::with_bits_per_key(n, 10.0f);
  for (uint64_t i = 0; i < n; ++i) (*f)->set_with_hash(mix(i));
  std::string payload;
  (*f)->encode_into(&payload);
  auto reader = BloomFilterReader::parse(payload);
  uint64_t i = 0;
  for (auto _ : state) {
    // Alternately a present and an absent hash.
    uint64_t j = i++;
    uint64_t h = (j & 1) ? mix((j >> 1) % n) : mix(n + (j >> 1));
    benchmark::DoNotOptimize(reader->contains_hash(h));
  }
  state.SetLabel("1M keys, 10 bits/key");
}
BENCHMARK(BM_BloomProbe);

}  // namespace

BENCHMARK_MAIN();
