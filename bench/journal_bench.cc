// The key-value engine's journal: appends of 100-byte values under 16-byte
// keys (one item per batch with a Buffer persist, the journal's share of one
// put; and batches of 100 items with one Buffer persist) next to a baseline
// that hands the same bytes, encoded beforehand, to the operating system with
// one write per operation; and batch reading of a 64 MiB journal next to one
// pass that reads the same file and hashes it with XXH3-64. Files go to
// $ZV_BENCH_DIR (default: the current directory).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_dir.h"
#include "bench/bench_smoke.h"
#include "morva/src/journal/reader.h"
#include "morva/src/journal/writer.h"
#include "platform/checksum.h"
#include "platform/file.h"
#include "platform/fs.h"
#include "platform/random.h"

namespace {

using morva::JournalWriter;
using morva::JournalWriteItem;
using tervik::ValueType;

struct Dir : zv::bench::ScratchDir {
  Dir() : ScratchDir("zv-journal-bench-") {}
};

// Journal files rotate at the engine's threshold; so does the baseline file.
uint64_t rotation_bytes() { return zv::bench::sized<uint64_t>(morva::kJournalRotationThreshold, 4 << 20); }

const std::string kKey(16, 'k');
const std::string kValue(100, 'v');

std::vector<JournalWriteItem> batch_items(size_t n, std::vector<std::string>* keys) {
  keys->clear();
  for (size_t i = 0; i < n; ++i) {
    std::string k = kKey;
    std::snprintf(k.data(), k.size(), "key%012zu", i);
    keys->push_back(std::move(k));
  }
  std::vector<JournalWriteItem> items;
  for (size_t i = 0; i < n; ++i) items.push_back({1, (*keys)[i], kValue, ValueType::kValue});
  return items;
}

// The journal: Range(0) items per batch (1: write_single_item).
void BM_JournalAppend(benchmark::State& state) {
  Dir dir;
  const size_t n = static_cast<size_t>(state.range(0));
  std::vector<std::string> keys;
  const std::vector<JournalWriteItem> items = batch_items(n, &keys);
  int file_no = 0;
  auto make = [&]() {
    return JournalWriter::create(zv::FileSystem::os(),
                                 zv::fs::join(dir.path, morva::journal_file_name(file_no++)));
  };
  auto created = make();
  if (!created.ok()) return state.SkipWithError("cannot create journal");
  JournalWriter w = std::move(created).value();
  w.set_compression(tervik::CompressionType::kLz4, 4096);
  uint64_t seqno = 0;
  uint64_t bytes = 0;
  const uint64_t rotate_at = rotation_bytes();
  for (auto _ : state) {
    auto r = n == 1 ? w.write_single_item(1, keys[0], kValue, ValueType::kValue, ++seqno)
                    : w.write_batch(items, ++seqno);
    if (!r.ok() || !w.persist(morva::PersistMode::kBuffer).ok()) {
      return state.SkipWithError("append failed");
    }
    bytes += *r;
    if (w.position() > rotate_at) {
      state.PauseTiming();
      const std::string old = w.path();
      auto next = make();
      if (!next.ok()) return state.SkipWithError("cannot rotate");
      w = std::move(next).value();
      (void)zv::fs::remove_file(old);
      state.ResumeTiming();
    }
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(n));
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
}
BENCHMARK(BM_JournalAppend)->Arg(1)->Arg(100);

// The same bytes, encoded beforehand, one write per operation into a file
// preallocated and replaced like a journal.
void BM_RawWriteBaseline(benchmark::State& state) {
  Dir dir;
  const size_t n = static_cast<size_t>(state.range(0));
  std::vector<std::string> keys;
  const std::vector<JournalWriteItem> items = batch_items(n, &keys);
  std::string encoded;
  {
    auto w = JournalWriter::create(zv::FileSystem::os(), zv::fs::join(dir.path, "enc.jnl"));
    if (!w.ok() || !w->write_batch(items, 1).ok() || !w->persist(morva::PersistMode::kBuffer).ok()) {
      return state.SkipWithError("cannot encode");
    }
    encoded = zv::fs::read_file(w->path())->substr(0, w->position());
  }
  int file_no = 0;
  auto make = [&]() -> zv::IoResult<zv::File> {
    ZV_ASSIGN_OR_RETURN(zv::File f, zv::File::create_new(zv::fs::join(dir.path, std::to_string(file_no++))));
    ZV_TRY(f.set_len(morva::kJournalPreallocatedSize));
    return f;
  };
  auto file = make();
  if (!file.ok()) return state.SkipWithError("cannot create file");
  uint64_t off = 0;
  const uint64_t rotate_at = rotation_bytes();
  for (auto _ : state) {
    if (!file->write_all_at(encoded.data(), encoded.size(), off).ok()) {
      return state.SkipWithError("write failed");
    }
    off += encoded.size();
    if (off > rotate_at) {
      state.PauseTiming();
      const std::string old = file->path();
      file = make();
      if (!file.ok()) return state.SkipWithError("cannot rotate");
      (void)zv::fs::remove_file(old);
      off = 0;
      state.ResumeTiming();
    }
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(n));
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(encoded.size()));
}
BENCHMARK(BM_RawWriteBaseline)->Arg(1)->Arg(100);

// A journal of single-item batches with Range(0)-byte values, filled to the
// read size; the first read cuts its zero tail.
struct ReadFixture {
  Dir dir;
  std::string path = zv::fs::join(dir.path, "0.jnl");
  uint64_t entries = 0;
  uint64_t bytes = 0;

  bool build(size_t value_size) {
    auto w = JournalWriter::create(zv::FileSystem::os(), path);
    if (!w.ok()) return false;
    w->set_compression(tervik::CompressionType::kNone, 0);
    const uint64_t target = zv::bench::sized<uint64_t>(64ull << 20, 2 << 20);
    std::string value(value_size, 'v');
    uint64_t seqno = 0;
    while (w->position() < target) {
      const uint64_t s = ++seqno;
      std::memcpy(value.data(), &s, sizeof(s));
      if (!w->write_single_item(1, kKey, value, ValueType::kValue, s).ok()) return false;
      ++entries;
    }
    if (!w->persist(morva::PersistMode::kSyncAll).ok()) return false;
    bytes = w->position();
    return read_once().ok();
  }

  morva::MorvaResult<uint64_t> read_once() const {
    ZV_ASSIGN_OR_RETURN(morva::JournalReader r, morva::JournalReader::open(zv::FileSystem::os(), path));
    morva::JournalBatchReader batches(std::move(r), morva::JournalBatchReader::Mode::kActive);
    uint64_t items = 0;
    for (;;) {
      ZV_ASSIGN_OR_RETURN(std::optional<morva::JournalBatch> b, batches.next());
      if (!b) return items;
      items += b->items.size();
    }
  }
};

void BM_JournalBatchRead(benchmark::State& state) {
  ReadFixture f;
  if (!f.build(static_cast<size_t>(state.range(0)))) return state.SkipWithError("cannot build");
  for (auto _ : state) {
    auto n = f.read_once();
    if (!n.ok() || *n != f.entries) return state.SkipWithError("read failed");
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(f.entries));
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(f.bytes));
}
BENCHMARK(BM_JournalBatchRead)->Arg(100)->Arg(4000)->Unit(benchmark::kMillisecond);

// One pass over the same file: read and hash with XXH3-64.
void BM_ReadAndHashBaseline(benchmark::State& state) {
  ReadFixture f;
  if (!f.build(static_cast<size_t>(state.range(0)))) return state.SkipWithError("cannot build");
  std::vector<char> buf(64 * 1024);
  for (auto _ : state) {
    auto file = zv::File::open_read(f.path);
    if (!file.ok()) return state.SkipWithError("cannot open");
    zv::Xxh3Hasher64 h;
    for (;;) {
      auto n = file->read(buf.data(), buf.size());
      if (!n.ok()) return state.SkipWithError("read failed");
      if (*n == 0) break;
      h.update(buf.data(), *n);
    }
    benchmark::DoNotOptimize(h.digest());
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(f.entries));
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(f.bytes));
}
BENCHMARK(BM_ReadAndHashBaseline)->Arg(100)->Arg(4000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
