// Audit log appends (lines per second) beside a plain loop that makes the
// same two system calls per line on the same kind of file: a length query of
// the open file and one write of the same bytes.
#include <benchmark/benchmark.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/file.h"
#include "platform/fs.h"
#include "src/sdk/audit_log.h"

namespace zv {
namespace {

std::string bench_path(const char* name) {
  const char* base = std::getenv("TMPDIR");
  return fs::join(base && *base ? base : "/tmp", name);
}

AuditRecord sample() {
  AuditRecord r = AuditRecord::create("put", "agent/memories", "conversation-2024-05-01-0042",
                                      "ok", std::nullopt);
  return r;
}

void BM_AuditAppend(benchmark::State& state) {
  const std::string path = bench_path("zv_audit_bench.log");
  (void)fs::remove_file(path);
  auto log = AuditLog::open(path, uint64_t{1} << 40, 5);
  if (!log.ok()) {
    state.SkipWithError("cannot open the audit log");
    return;
  }
  const AuditRecord r = sample();
  for (auto _ : state) {
    if (!(*log)->append(r).ok()) state.SkipWithError("append failed");
  }
  state.SetItemsProcessed(state.iterations());
  (void)fs::remove_file(path);
}
BENCHMARK(BM_AuditAppend);

void BM_PlainStatAndWrite(benchmark::State& state) {
  const std::string path = bench_path("zv_audit_bench_plain.log");
  (void)fs::remove_file(path);
  OpenOptions o;
  o.read = false;
  o.write = true;
  o.append = true;
  o.create = true;
  auto file = File::open(path, o);
  if (!file.ok()) {
    state.SkipWithError("cannot open the file");
    return;
  }
  const std::string line = sample().to_json() + "\n";
  for (auto _ : state) {
    struct stat st;
    benchmark::DoNotOptimize(::fstat(file->fd(), &st));
    benchmark::DoNotOptimize(::write(file->fd(), line.data(), line.size()));
  }
  state.SetItemsProcessed(state.iterations());
  (void)fs::remove_file(path);
}
BENCHMARK(BM_PlainStatAndWrite);

}  // namespace
}  // namespace zv

BENCHMARK_MAIN();
