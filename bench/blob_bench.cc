// Blob file writes of 64 KiB values (no compression and LZ4) next to the same
// entry bytes through the checksummed buffered file writer alone; value
// resolution from the block cache (hit) and from the file (miss) next to a
// plain positioned read of the same bytes plus their XXH3-128.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/checksum.h"
#include "platform/fs.h"
#include "platform/random.h"
#include "tervik/blob/blob_entry.h"
#include "tervik/blob/blob_file_multi_writer.h"
#include "tervik/blob/resolve_indirection.h"
#include "tervik/core/byte_stream.h"
#include "tervik/core/checksummed_io.h"

namespace {

using namespace tervik;

constexpr size_t kValueSize = 64 * 1024;
constexpr int kValues = 256;  // 16 MiB per iteration

class TempFolder {
 public:
  TempFolder() : path_("/tmp/zv-blob-bench-" + std::to_string(zv::os_random_u64())) {
    (void)zv::fs::create_dir_all(path_);
  }
  ~TempFolder() { (void)zv::fs::remove_dir_all(path_); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

uint64_t next_random(uint64_t* x) {
  *x ^= *x << 13;
  *x ^= *x >> 7;
  *x ^= *x << 17;
  return *x;
}

// Values that LZ4 shrinks to about half: random picks from 64 random
// 8-byte words.
const std::vector<std::string>& values() {
  static const std::vector<std::string> v = [] {
    uint64_t x = 0x9E3779B97F4A7C15ull;
    std::vector<std::string> words;
    for (int i = 0; i < 64; ++i) {
      std::string w(8, '\0');
      for (char& c : w) c = static_cast<char>(next_random(&x));
      words.push_back(w);
    }
    std::vector<std::string> out;
    for (int i = 0; i < 16; ++i) {
      std::string s;
      while (s.size() < kValueSize) s += words[next_random(&x) % words.size()];
      s.resize(kValueSize);
      out.push_back(std::move(s));
    }
    return out;
  }();
  return v;
}

std::string key_of(int i) {
  char buf[17];
  std::snprintf(buf, sizeof(buf), "key%013d", i);
  return buf;
}

void BM_BlobWrite(benchmark::State& state) {
  const auto compression = static_cast<CompressionType>(state.range(0));
  TempFolder dir;
  uint64_t stored = 0;
  SeqNoCounter ids(1);
  for (auto _ : state) {
    auto w = BlobFileMultiWriter::create(dir.path(), ids, 1, nullptr);
    w->set_compression(compression);
    for (int i = 0; i < kValues; ++i) {
      auto h = w->write(key_of(i), 1, values()[i % values().size()]);
      stored += h->on_disk_size;
    }
    auto files = std::move(*w).finish();
    if (!files.ok()) state.SkipWithError("finish failed");
    state.PauseTiming();
    for (const auto& f : *files) (void)zv::fs::remove_file(f->path());
    state.ResumeTiming();
  }
  state.SetBytesProcessed(state.iterations() * kValues * int64_t{kValueSize});
  state.counters["stored_ratio"] =
      static_cast<double>(stored) / (double(state.iterations()) * kValues * kValueSize);
}
BENCHMARK(BM_BlobWrite)->Arg(0)->ArgName("lz4")->Arg(1)->UseRealTime()->Unit(benchmark::kMillisecond);

// The same entry bytes (header, key, value) through the buffered,
// checksummed writer with the same 8 KiB buffer, synced at the end.
void BM_ChecksummedWriterBaseline(benchmark::State& state) {
  TempFolder dir;
  int file = 0;
  for (auto _ : state) {
    const std::string path = zv::fs::join(dir.path(), std::to_string(file++));
    BufferedFileWriter out(*zv::File::create_new(path), kBlobWriteBufferSize);
    ChecksummedWriter w(&out);
    char head[kBlobEntryHeaderSize] = {};
    for (int i = 0; i < kValues; ++i) {
      const std::string key = key_of(i);
      (void)w.write_all(head, sizeof(head));
      (void)w.write_all(key);
      (void)w.write_all(values()[i % values().size()]);
    }
    if (!out.sync_all().ok()) state.SkipWithError("sync failed");
    benchmark::DoNotOptimize(w.checksum());
    state.PauseTiming();
    (void)zv::fs::remove_file(path);
    state.ResumeTiming();
  }
  state.SetBytesProcessed(state.iterations() * kValues * int64_t{kValueSize});
}
BENCHMARK(BM_ChecksummedWriterBaseline)->UseRealTime()->Unit(benchmark::kMillisecond);

struct ResolveSetup {
  TempFolder dir;
  BlobFileMap files;
  std::vector<InternalValue> items;
  std::vector<ValueHandle> handles;
  std::vector<size_t> key_sizes;

  explicit ResolveSetup(CompressionType compression) {
    auto w = BlobFileMultiWriter::create(dir.path(), SeqNoCounter(1), 1, nullptr);
    w->set_compression(compression);
    for (int i = 0; i < 64; ++i) {
      const std::string key = key_of(i);
      const std::string& v = values()[i % values().size()];
      auto h = w->write(key, 1, v);
      handles.push_back(*h);
      key_sizes.push_back(key.size());
      items.push_back(InternalValue::new_indirection(
          Slice(key), BlobIndirection{*h, static_cast<uint32_t>(v.size())}.encode(), 1));
    }
    auto done = std::move(*w).finish();
    for (auto& f : *done) files[f->id()] = f;
  }
};

void BM_ResolveHit(benchmark::State& state) {
  ResolveSetup setup(CompressionType::kNone);
  auto cache = BlockCache::with_capacity_bytes(64ull << 20);
  for (const auto& item : setup.items) (void)vlog::resolve_indirection(1, setup.files, 1, *cache, item);
  size_t i = 0;
  for (auto _ : state) {
    auto r = vlog::resolve_indirection(1, setup.files, 1, *cache, setup.items[i++ % setup.items.size()]);
    benchmark::DoNotOptimize(r);
  }
}
BENCHMARK(BM_ResolveHit);

// Every read misses: a cache of capacity 0 keeps nothing.
void BM_ResolveMiss(benchmark::State& state) {
  ResolveSetup setup(static_cast<CompressionType>(state.range(0)));
  auto cache = BlockCache::with_capacity_bytes(0);
  size_t i = 0;
  for (auto _ : state) {
    auto r = vlog::resolve_indirection(1, setup.files, 1, *cache, setup.items[i++ % setup.items.size()]);
    if (!r.ok()) state.SkipWithError("resolve failed");
    benchmark::DoNotOptimize(r);
  }
  state.SetBytesProcessed(state.iterations() * int64_t{kValueSize});
}
BENCHMARK(BM_ResolveMiss)->Arg(0)->ArgName("lz4")->Arg(1)->Unit(benchmark::kMicrosecond);

// The floor of a miss: one positioned read of the entry's bytes into a
// reused buffer and their XXH3-128.
void BM_PositionedReadBaseline(benchmark::State& state) {
  ResolveSetup setup(CompressionType::kNone);
  const auto& file = *setup.files.begin()->second;
  std::string buf(kBlobEntryHeaderSize + 16 + kValueSize, '\0');
  size_t i = 0;
  for (auto _ : state) {
    const size_t k = i++ % setup.handles.size();
    const ValueHandle& h = setup.handles[k];
    const size_t n = kBlobEntryHeaderSize + setup.key_sizes[k] + h.on_disk_size;
    if (!file.handle()->read_exact_at(buf.data(), n, h.offset).ok()) state.SkipWithError("read");
    benchmark::DoNotOptimize(zv::xxh3_128(buf.data(), n));
  }
  state.SetBytesProcessed(state.iterations() * int64_t{kValueSize});
}
BENCHMARK(BM_PositionedReadBaseline)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
