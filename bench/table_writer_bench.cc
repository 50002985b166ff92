// Table writing throughput: 64 MiB of 100-byte values under sorted 16-byte
// keys through the multi-writer, with and without LZ4 and with and without
// partitioned index and filter, next to the same user bytes written through
// the checksummed buffered file writer alone. Reports user bytes per second.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/fs.h"
#include "platform/testing/temp_dir.h"
#include "tervik/core/byte_stream.h"
#include "tervik/core/checksummed_io.h"
#include "tervik/table/multi_writer.h"

namespace {

constexpr size_t kKeyLen = 16;
constexpr size_t kValueLen = 100;
constexpr size_t kUserBytes = 64ull << 20;
constexpr size_t kItems = kUserBytes / (kKeyLen + kValueLen);

const std::vector<tervik::InternalValue>& items() {
  static const std::vector<tervik::InternalValue> v = [] {
    std::vector<tervik::InternalValue> out;
    out.reserve(kItems);
    std::string value(kValueLen, 'v');
    for (size_t i = 0; i < kItems; ++i) {
      char key[kKeyLen + 1];
      std::snprintf(key, sizeof(key), "%016zu", i);
      for (size_t j = 0; j < kValueLen; j += 8) value[j] = static_cast<char>('a' + (i + j) % 26);
      out.push_back(tervik::InternalValue::new_value(tervik::UserKey(std::string_view(key, kKeyLen)),
                                                     tervik::UserValue(std::string_view(value)), 1));
    }
    return out;
  }();
  return v;
}

void clear_dir(const std::string& dir) {
  auto names = zv::fs::list_dir(dir);
  if (!names.ok()) return;
  for (const auto& n : *names) (void)zv::fs::remove_file(zv::fs::join(dir, n));
}

void BM_MultiWriter(benchmark::State& state) {
  const bool lz4 = state.range(0) != 0;
  const bool partitioned = state.range(1) != 0;
  const auto& data = items();
  zv::testing::TempDir dir;
  tervik::SeqNoCounter ids(0);
  for (auto _ : state) {
    auto w = tervik::MultiWriter::create(dir.path(), ids, 64ull << 20, 0);
    if (!w.ok()) state.SkipWithError("create failed");
    w->use_data_block_compression(lz4 ? tervik::CompressionType::kLz4 : tervik::CompressionType::kNone);
    if (partitioned) {
      w->use_partitioned_index();
      w->use_partitioned_filter();
    }
    for (const auto& i : data) {
      if (!w->write(i).ok()) state.SkipWithError("write failed");
    }
    auto tables = std::move(*w).finish();
    if (!tables.ok()) state.SkipWithError("finish failed");
    benchmark::DoNotOptimize(tables);
    state.PauseTiming();
    clear_dir(dir.path());
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kItems * (kKeyLen + kValueLen)));
}
BENCHMARK(BM_MultiWriter)
    ->ArgNames({"lz4", "partitioned"})
    ->Args({0, 0})
    ->Args({1, 0})
    ->Args({0, 1})
    ->Args({1, 1})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// Baseline: the same key and value bytes through the checksummed, buffered
// file writer, synced at the end like a table.
void BM_ChecksummedWriterBaseline(benchmark::State& state) {
  const auto& data = items();
  zv::testing::TempDir dir;
  const std::string path = zv::fs::join(dir.path(), "baseline");
  for (auto _ : state) {
    auto file = zv::File::create(path);
    if (!file.ok()) state.SkipWithError("create failed");
    tervik::ChecksummedWriter writer(std::make_unique<tervik::BufferedFileWriter>(std::move(*file), 65535));
    for (const auto& i : data) {
      (void)writer.write_all(i.key.user_key.view());
      (void)writer.write_all(i.value.view());
    }
    if (!writer.inner_as<tervik::BufferedFileWriter>().sync_all().ok()) state.SkipWithError("sync failed");
    benchmark::DoNotOptimize(writer.checksum());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kItems * (kKeyLen + kValueLen)));
}
BENCHMARK(BM_ChecksummedWriterBaseline)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
