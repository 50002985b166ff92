"""How searches from several Python threads scale on one client.

50,000 records of 384-d vectors drawn from a Gaussian mixture (fixed seed)
with short payloads, in-memory backend; then 1, 2 and 4 threads each run
top-10 vector searches for 5 s, then hybrid searches (vector + keyword).
Prints QPS per thread count and the speed-up over one thread. Targets, with
at least 4 cores: 2 threads >= 1.7x, 4 threads >= 3.0x; below 4 cores the
script only reports. The interpreter lock is released for the whole core
call, so a miss points at a lock of the core.

    PYTHONPATH=build/rel/python python3 bench/python/thread_scaling.py

ZV_BENCH_SMOKE=1 runs 1,000 records for 0.3 s per step, without targets.
"""
import os
import sys
import threading
import time

import numpy as np

import dozudaz_id

SMOKE = os.environ.get("ZV_BENCH_SMOKE") == "1"
RECORDS = 1_000 if SMOKE else 50_000
DIM = 384
SECONDS = 0.3 if SMOKE else 5.0
THREADS = (1, 2, 4)
TARGETS = {2: 1.7, 4: 3.0}
WORDS = ["alpha", "beta", "gamma", "delta", "omega", "sigma", "kappa", "theta"]


def mixture(rng, n, dim, centres=32):
    means = rng.normal(0, 1, (centres, dim)).astype(np.float32)
    picks = rng.integers(0, centres, n)
    return (means[picks] + rng.normal(0, 0.3, (n, dim))).astype(np.float32)


def load(db, rng):
    vectors = mixture(rng, RECORDS, DIM)
    for start in range(0, RECORDS, 1_000):
        rows = [{"namespace": "bench", "key": f"k{i}", "payload": f"{WORDS[i % 8]} note {i}",
                 "vector": vectors[i]} for i in range(start, min(start + 1_000, RECORDS))]
        db.put_batch(rows)
    return mixture(rng, 256, DIM)


def run(db, queries, threads, hybrid):
    stop = threading.Event()
    counts = [0] * threads

    def worker(slot):
        i = slot
        while not stop.is_set():
            q = queries[i % len(queries)]
            if hybrid:
                db.search("bench", q, text_query=WORDS[i % 8], top_k=10)
            else:
                db.search("bench", q, top_k=10)
            counts[slot] += 1
            i += threads

    pool = [threading.Thread(target=worker, args=(s,)) for s in range(threads)]
    start = time.perf_counter()
    for t in pool:
        t.start()
    time.sleep(SECONDS)
    stop.set()
    for t in pool:
        t.join()
    return sum(counts) / (time.perf_counter() - start)


def main():
    rng = np.random.default_rng(42)
    cores = os.cpu_count() or 1
    judged = cores >= 4 and not SMOKE
    misses = 0
    with dozudaz_id.connect("", backend="memory") as db:
        queries = load(db, rng)
        print(f"{RECORDS} records, {DIM}-d, {cores} cores, {SECONDS:g} s per step")
        for hybrid in (False, True):
            kind = "hybrid" if hybrid else "vector"
            base = None
            for n in THREADS:
                qps = run(db, queries, n, hybrid)
                base = base or qps
                ratio = qps / base
                verdict = ""
                if n in TARGETS and judged:
                    ok = ratio >= TARGETS[n]
                    misses += not ok
                    verdict = f"  target >= {TARGETS[n]}x: {'met' if ok else 'MISSED'}"
                print(f"{kind:>6} {n} thread(s): {qps:10.1f} QPS  {ratio:4.2f}x{verdict}")
    if not judged:
        print("targets not judged (smoke run or fewer than 4 cores)")
    return 1 if misses else 0


if __name__ == "__main__":
    sys.exit(main())
