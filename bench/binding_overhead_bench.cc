// What the Python binding adds to a call, measured from the C++ side:
//  - EmbeddedDb::get of a present record and EmbeddedDb::put of a tiny record
//    (100-byte payload, 3 metadata fields, no vector) on an in-memory database
//    of 10,000 such records: the baselines that bench/python/binding_overhead.py
//    compares the same calls made through Python against;
//  - against an embedded interpreter: extract_vector at d = 384, 768 and 1,536
//    from a float32 array (the buffer path) and from a list of floats, and a
//    4-entry metadata dict of plain values converted on a cache hit and on a
//    miss.
// The Python half runs only when the build has the binding.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "bench/bench_smoke.h"
#include "src/sdk/embedded_db.h"

#ifdef ZV_BENCH_WITH_PYTHON
#include "python/src/field_values.h"
#include "python/src/module.h"
#include "python/src/py_ref.h"
#include "python/src/python.h"
#include "python/src/vectors.h"
#endif

namespace zv {
namespace {

size_t record_count() { return bench::sized<size_t>(10'000, 500); }

// Record i: 100-byte payload and 3 metadata fields, the same as the Python
// half builds.
MemoryInput tiny_record(const std::string& ns, size_t i) {
  MemoryInput in;
  in.ns = ns;
  in.key = "k" + std::to_string(i);
  std::string payload = "record " + std::to_string(i) + " ";
  payload.resize(100, 'x');
  in.payload = std::move(payload);
  in.metadata["category"] = FieldValue::string("c" + std::to_string(i % 10));
  in.metadata["rank"] = FieldValue::integer(static_cast<int64_t>(i));
  in.metadata["score"] = FieldValue::floating(static_cast<double>(i % 100) / 100.0);
  return in;
}

EmbeddedDb& shared_db() {
  static EmbeddedDb* db = [] {
    Config c;
    c.storage_path = ":memory:";
    c.backend = BackendKind::kInMemory;
    auto opened = EmbeddedDb::open_with_config(c);
    if (!opened.ok()) {
      std::fprintf(stderr, "open: %s\n", opened.error().message().c_str());
      std::abort();
    }
    auto* out = new EmbeddedDb(std::move(opened).value());
    for (size_t i = 0; i < record_count(); ++i) {
      if (!out->put(tiny_record("bench", i)).ok()) std::abort();
    }
    return out;
  }();
  return *db;
}

void BM_CoreGet(benchmark::State& state) {
  EmbeddedDb& db = shared_db();
  const size_t n = record_count();
  std::vector<std::string> keys;
  for (size_t i = 0; i < n; ++i) keys.push_back("k" + std::to_string(i));
  size_t i = 0;
  for (auto _ : state) {
    auto got = db.get("bench", keys[i++ % n]);
    if (!got.ok() || !got.value()) state.SkipWithError("record missing");
    benchmark::DoNotOptimize(got);
  }
}
BENCHMARK(BM_CoreGet);

// Every call stores a new key (the Python half does the same); the input is
// built inside the loop, as the binding builds it per call.
void BM_CorePut(benchmark::State& state) {
  EmbeddedDb& db = shared_db();
  static size_t next = 0;
  for (auto _ : state) {
    auto stored = db.put(tiny_record("tiny", next++));
    if (!stored.ok()) state.SkipWithError("put failed");
    benchmark::DoNotOptimize(stored);
  }
}
BENCHMARK(BM_CorePut);

// The handle clone that every gated binding call makes (the configuration
// is copied with it).
void BM_CoreClone(benchmark::State& state) {
  EmbeddedDb& db = shared_db();
  for (auto _ : state) {
    EmbeddedDb clone = db.clone();
    benchmark::DoNotOptimize(clone);
  }
}
BENCHMARK(BM_CoreClone);

#ifdef ZV_BENCH_WITH_PYTHON

// The interpreter, started once with the module importable; this (the main)
// thread keeps its lock.
void ensure_interpreter() {
  static const bool started = [] {
    PyImport_AppendInittab("dozudaz_id", &py::module_init);
    Py_InitializeEx(0);
    return true;
  }();
  (void)started;
}

using py::PyRef;

// The value of a Python expression, through the builtin eval.
PyRef eval(const std::string& expr) {
  PyRef builtins = PyRef::steal(PyImport_ImportModule("builtins"));
  PyRef globals = PyRef::steal(PyDict_New());
  PyRef fn = builtins ? PyRef::steal(PyObject_GetAttrString(builtins.get(), "eval")) : PyRef();
  PyRef src = PyRef::steal(PyUnicode_FromString(expr.c_str()));
  if (!fn || !globals || !src) std::abort();
  PyDict_SetItemString(globals.get(), "__builtins__", builtins.get());
  PyRef out = PyRef::steal(PyObject_CallFunctionObjArgs(fn.get(), src.get(), globals.get(), nullptr));
  if (!out) {
    PyErr_Print();
    std::abort();
  }
  return out;
}

// Args: d, then 0 for a float32 array, 1 for a list of floats.
void BM_ExtractVector(benchmark::State& state) {
  ensure_interpreter();
  py::GilAttached attached;
  const std::string d = std::to_string(state.range(0));
  const bool as_list = state.range(1) == 1;
  const std::string array = "__import__('array').array('f', [i / 7.0 for i in range(" + d + ")])";
  PyRef obj = eval(as_list ? "[i / 7.0 for i in range(" + d + ")]" : array);
  for (auto _ : state) {
    auto values = py::extract_vector(obj.get());
    if (!values.ok()) state.SkipWithError("extract failed");
    benchmark::DoNotOptimize(values);
  }
  state.SetLabel(as_list ? "list" : "float32 array");
}
BENCHMARK(BM_ExtractVector)->ArgsProduct({{384, 768, 1536}, {0, 1}});

// Arg 0: the same dict every time (a hit after the first); 1: 128 dicts in
// turn, more than the cache holds, so every lookup misses.
void BM_MetadataDict(benchmark::State& state) {
  ensure_interpreter();
  py::GilAttached attached;
  const bool miss = state.range(0) == 1;
  PyRef dicts = eval(
      "[{'category': 'c%d' % i, 'rank': i, 'score': i / 100.0, 'flag': i % 2 == 0} for i in range(128)]");
  const Py_ssize_t count = miss ? 128 : 1;
  Py_ssize_t i = 0;
  for (auto _ : state) {
    auto map = py::metadata_from_py(PyList_GetItem(dicts.get(), i++ % count));
    if (!map.ok()) state.SkipWithError("conversion failed");
    benchmark::DoNotOptimize(map);
  }
  state.SetLabel(miss ? "miss" : "hit");
}
BENCHMARK(BM_MetadataDict)->Arg(0)->Arg(1);

#endif  // ZV_BENCH_WITH_PYTHON

}  // namespace
}  // namespace zv

BENCHMARK_MAIN();
