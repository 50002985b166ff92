#!/usr/bin/env python3
"""put_batch against chromadb and lancedb on the same records, same run.

Generates N records from a fixed seed (a 384-dim vector, 5 metadata fields,
a 200-byte payload), stores them in calls of 1,000 into an empty store:
ours through the C++ benchmark binary (BM_PeerIngest of
bench/sdk_put_batch_bench.cc, EmbeddedDb::put_batch, memory and directory
mode), chromadb with the same HNSW parameters (M 32, ef_construction 100,
cosine) and lancedb (no index). Every engine runs pinned to one CPU with one
thread. Prints records/s and our ratio to chromadb against the bar of 1.5x
(and the later goal of 3x); lancedb is quoted without a target.

Usage: bench/sdk_put_batch_peers.py [--bin build/dev/bench/sdk_put_batch_bench]
                                    [--records 10000] [--cpu 0]
chromadb and lancedb come from PyPI into the benchmarks' own virtual
environment (~/.cache/ziviror-bench/venv), as bench/vector_bench.py does.
"""
import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

CACHE = os.path.join(os.path.expanduser("~"), ".cache", "ziviror-bench")
VENV = os.path.join(CACHE, "venv")
DIMS = 384
CALL = 1000
BAR = 1.5
GOAL = 3.0


def ensure_peers():
    """Re-runs this script inside the benchmark's own environment."""
    try:
        import chromadb  # noqa: F401
        import lancedb  # noqa: F401
        import numpy  # noqa: F401
        return
    except ImportError:
        pass
    py = os.path.join(VENV, "bin", "python")
    if os.path.realpath(sys.executable) == os.path.realpath(py):
        subprocess.check_call([py, "-m", "pip", "install", "-q", "chromadb", "lancedb", "numpy",
                               "pyarrow"])
    else:
        if not os.path.exists(py):
            os.makedirs(CACHE, exist_ok=True)
            subprocess.check_call([sys.executable, "-m", "venv", "--system-site-packages", VENV])
        subprocess.check_call([py, "-m", "pip", "install", "-q", "chromadb", "lancedb", "numpy",
                               "pyarrow"])
    os.execv(py, [py] + sys.argv)


def one_thread_env():
    env = dict(os.environ)
    for var in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS",
                "RAYON_NUM_THREADS", "ZV_BENCH_THREADS"):
        env[var] = "1"
    return env


def make_records(n):
    import numpy as np
    rng = np.random.default_rng(20261211)
    vocab = ["w" + str(i) for i in range(5000)]
    ranks = rng.zipf(1.3, size=n * 40) % len(vocab)
    recs = []
    vectors = rng.standard_normal((n, DIMS)).astype("<f4")
    for i in range(n):
        words = " ".join(vocab[r] for r in ranks[i * 40:(i + 1) * 40])
        payload = words[:200].ljust(200)
        meta = {
            "category": "c%d" % (i % 20),
            "rank": int(i % 1000),
            "score": float(i % 97) / 97.0,
            "flag": bool(i % 2 == 0),
            "source": "web" if i % 3 == 0 else "mail",
        }
        recs.append(("r%d" % i, payload, meta))
    return recs, vectors


def write_records(path, recs, vectors):
    with open(path, "w") as f:
        for (key, payload, m), v in zip(recs, vectors):
            f.write("\t".join([key, payload, m["category"], str(m["rank"]), repr(m["score"]),
                               "1" if m["flag"] else "0", m["source"]]) + "\n")
            f.write(" ".join("%.9g" % x for x in v) + "\n")


def run_ours(binary, path, cpu):
    out = subprocess.run(
        ["taskset", "-c", str(cpu), binary, "--benchmark_filter=BM_PeerIngest",
         "--benchmark_format=json"],
        env=dict(one_thread_env(), ZV_PUT_BATCH_RECORDS=path), check=True,
        capture_output=True, text=True).stdout
    rates = {}
    for b in json.loads(out)["benchmarks"]:
        mode = "memory" if b["name"].endswith("memory:1/iterations:1/real_time") else "directory"
        rates[mode] = b["items_per_second"]
    return rates


def run_chroma(recs, vectors):
    import chromadb
    tmp = tempfile.mkdtemp(prefix="zv_chroma_")
    try:
        client = chromadb.PersistentClient(path=tmp)
        col = client.create_collection(
            "bench", metadata={"hnsw:space": "cosine", "hnsw:M": 32,
                               "hnsw:construction_ef": 100, "hnsw:num_threads": 1,
                               "hnsw:batch_size": CALL, "hnsw:sync_threshold": 100000})
        start = time.perf_counter()
        for at in range(0, len(recs), CALL):
            part = recs[at:at + CALL]
            col.add(ids=[r[0] for r in part], documents=[r[1] for r in part],
                    metadatas=[r[2] for r in part], embeddings=vectors[at:at + CALL].tolist())
        return len(recs) / (time.perf_counter() - start)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


def run_lance(recs, vectors):
    import lancedb
    tmp = tempfile.mkdtemp(prefix="zv_lance_")
    try:
        db = lancedb.connect(tmp)
        table = None
        start = time.perf_counter()
        for at in range(0, len(recs), CALL):
            rows = [{"id": k, "payload": p, **m, "vector": vectors[at + j].tolist()}
                    for j, (k, p, m) in enumerate(recs[at:at + CALL])]
            if table is None:
                table = db.create_table("bench", data=rows)
            else:
                table.add(rows)
        return len(recs) / (time.perf_counter() - start)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--bin", default="build/dev/bench/sdk_put_batch_bench")
    ap.add_argument("--records", type=int, default=10000)
    ap.add_argument("--cpu", type=int, default=0)
    args = ap.parse_args()
    ensure_peers()
    os.sched_setaffinity(0, {args.cpu})
    for var, value in one_thread_env().items():
        os.environ[var] = value
    recs, vectors = make_records(args.records)
    tmp = tempfile.mkdtemp(prefix="zv_put_batch_peers_")
    try:
        path = os.path.join(tmp, "records.txt")
        write_records(path, recs, vectors)
        ours = run_ours(os.path.abspath(args.bin), path, args.cpu)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    chroma = run_chroma(recs, vectors)
    lance = run_lance(recs, vectors)
    print(f"{args.records} records, calls of {CALL}, one CPU, one thread")
    for mode, rate in ours.items():
        print(f"ours ({mode}): {rate:,.0f} records/s, {rate / chroma:.2f}x chromadb "
              f"(bar {BAR}x, later goal {GOAL}x)")
    print(f"chromadb: {chroma:,.0f} records/s")
    print(f"lancedb (no index): {lance:,.0f} records/s")


if __name__ == "__main__":
    main()
