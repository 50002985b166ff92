#!/usr/bin/env python3
"""Side-by-side benchmark of the dense-vector index against hnswlib.

Generates two data sets from fixed seeds (100,000 clustered 128-dim vectors
and 20,000 clustered 768-dim vectors, with held-out queries and exact cosine
top-10 answers), caches them under ~/.cache/ziviror-bench (never in the
repository), builds both indexes with M = 32 and ef_construction = 100 on the
same threads, and measures single-thread queries per second and recall@10 at
several search widths (processor time of the one querying thread, the
fastest of three passes, so that other load on a shared machine stays out of
the figures). Prints both curves and our QPS / hnswlib QPS at recall
0.95 and 0.99.

Usage: bench/vector_bench.py [--bin build/bench/vector_bench] [--threads 2]
hnswlib comes from PyPI into a virtual environment beside the cache.
"""
import argparse
import json
import math
import os
import subprocess
import sys
import time

CACHE = os.path.join(os.path.expanduser("~"), ".cache", "ziviror-bench")
VENV = os.path.join(CACHE, "venv")
EFS = [10, 16, 24, 32, 48, 64, 96, 128, 192, 256, 384]
# Each width is timed this many times on both sides; the fastest pass counts,
# so that a burst of other load on a shared machine does not set a point.
REPEAT = 3
DATASETS = [
    # name, rows, dim, clusters, spread, queries, seed
    ("clustered-128", 100_000, 128, 200, 0.5, 1000, 1234),
    ("clustered-768", 20_000, 768, 100, 0.5, 500, 5678),
]


def ensure_hnswlib():
    """Re-runs this script inside the benchmark's own environment."""
    try:
        import hnswlib  # noqa: F401
        import numpy  # noqa: F401
        return
    except ImportError:
        pass
    py = os.path.join(VENV, "bin", "python")
    if not os.path.exists(py):
        os.makedirs(CACHE, exist_ok=True)
        subprocess.check_call([sys.executable, "-m", "venv", "--system-site-packages", VENV])
    subprocess.check_call([py, "-m", "pip", "install", "-q", "hnswlib", "numpy"])
    os.execv(py, [py] + sys.argv)


def write_rows(path, arr):
    import numpy as np
    with open(path, "wb") as f:
        np.array(arr.shape, dtype="<u4").tofile(f)
        np.ascontiguousarray(arr, dtype="<f4").tofile(f)


def dataset(name, n, dim, clusters, spread, nq, seed):
    """Base rows, query rows and exact cosine top-10, cached by name."""
    import numpy as np
    d = os.path.join(CACHE, "data", name)
    files = [os.path.join(d, f) for f in ("base.bin", "queries.bin", "truth.bin")]
    if all(os.path.exists(f) for f in files):
        return files
    os.makedirs(d, exist_ok=True)
    rng = np.random.default_rng(seed)
    centres = rng.standard_normal((clusters, dim), dtype=np.float32)
    base = centres[np.arange(n) % clusters] + spread * rng.standard_normal((n, dim), dtype=np.float32)
    queries = centres[rng.integers(0, clusters, nq)] + spread * rng.standard_normal((nq, dim), dtype=np.float32)
    bn = base / np.linalg.norm(base, axis=1, keepdims=True)
    qn = queries / np.linalg.norm(queries, axis=1, keepdims=True)
    truth = np.empty((nq, 10), dtype="<u4")
    for s in range(0, nq, 100):
        sims = qn[s:s + 100] @ bn.T
        top = np.argpartition(-sims, 10, axis=1)[:, :10]
        order = np.argsort(-np.take_along_axis(sims, top, axis=1), axis=1)
        truth[s:s + 100] = np.take_along_axis(top, order, axis=1)
    write_rows(files[0], base)
    write_rows(files[1], queries)
    with open(files[2], "wb") as f:
        np.array(truth.shape, dtype="<u4").tofile(f)
        truth.tofile(f)
    return files


def read_rows(path):
    import numpy as np
    with open(path, "rb") as f:
        n, dim = np.fromfile(f, dtype="<u4", count=2)
        return np.fromfile(f, dtype="<f4").reshape(n, dim)


def run_ours(binary, files, threads):
    out = subprocess.run([binary, "run", "--base", files[0], "--queries", files[1], "--truth",
                          files[2], "--metric", "cosine", "--threads", str(threads), "--ef",
                          ",".join(map(str, EFS)), "--repeat", str(REPEAT)],
                         check=True, capture_output=True, text=True)
    lines = [json.loads(l) for l in out.stdout.splitlines() if l.strip()]
    head = lines[0]
    return (head["build_seconds"], [(l["ef"], l["qps"], l["recall"]) for l in lines[1:]],
            head.get("rss_growth"), head.get("memory_usage"))


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def run_hnswlib(files, threads):
    import hnswlib
    import numpy as np
    base, queries = read_rows(files[0]), read_rows(files[1])
    with open(files[2], "rb") as f:
        nq, k = np.fromfile(f, dtype="<u4", count=2)
        truth = np.fromfile(f, dtype="<u4").reshape(nq, k)
    rss0 = resident_bytes()
    index = hnswlib.Index(space="cosine", dim=base.shape[1])
    index.init_index(max_elements=base.shape[0], ef_construction=100, M=32, random_seed=100)
    index.set_num_threads(threads)
    t0 = time.perf_counter()
    index.add_items(base, np.arange(base.shape[0]))
    build = time.perf_counter() - t0
    rss = resident_bytes() - rss0
    index.set_num_threads(1)
    # One untimed pass first, as the C++ side does, so that the first width
    # is not charged with the caches and pages the build left cold.
    index.set_ef(EFS[0])
    index.knn_query(queries, k=10)
    curve = []
    for ef in EFS:
        index.set_ef(ef)
        secs = None
        for _ in range(REPEAT):
            t0 = time.process_time()
            labels, _ = index.knn_query(queries, k=10)
            t = time.process_time() - t0
            secs = t if secs is None else min(secs, t)
        hits = sum(len(set(labels[i]) & set(truth[i])) for i in range(len(queries)))
        curve.append((ef, len(queries) / secs, hits / (10.0 * len(queries))))
    return build, curve, rss


def qps_at(curve, target):
    """QPS at a recall, interpolated on log QPS between the bracketing widths."""
    pts = sorted(curve, key=lambda c: c[0])
    for (e0, q0, r0), (e1, q1, r1) in zip(pts, pts[1:]):
        if r0 >= target:
            return q0
        if r0 < target <= r1:
            t = (target - r0) / (r1 - r0)
            return math.exp(math.log(q0) + t * (math.log(q1) - math.log(q0)))
    return pts[0][1] if pts and pts[0][2] >= target else None


def main():
    ensure_hnswlib()
    p = argparse.ArgumentParser()
    here = os.path.dirname(os.path.abspath(__file__))
    p.add_argument("--bin", default=os.path.join(here, "..", "build", "rel", "bench", "vector_bench"))
    p.add_argument("--threads", type=int, default=2)
    args = p.parse_args()
    for spec in DATASETS:
        name = spec[0]
        files = dataset(*spec)
        ours_build, ours, ours_rss, ours_usage = run_ours(args.bin, files, args.threads)
        theirs_build, theirs, theirs_rss = run_hnswlib(files, args.threads)
        print(f"\n== {name}: build {ours_build:.1f} s (ours) vs {theirs_build:.1f} s (hnswlib), "
              f"{args.threads} threads")
        if ours_rss:
            print(f"resident growth of the build: ours {ours_rss / 2**20:.1f} MiB (memory_usage "
                  f"{ours_usage / 2**20:.1f} MiB), hnswlib {theirs_rss / 2**20:.1f} MiB, "
                  f"ratio {ours_rss / theirs_rss:.2f}")
        print(f"{'ef':>5} | {'ours QPS':>10} {'recall':>7} | {'hnswlib QPS':>11} {'recall':>7}")
        for (ef, q, r), (_, hq, hr) in zip(ours, theirs):
            print(f"{ef:>5} | {q:>10.0f} {r:>7.4f} | {hq:>11.0f} {hr:>7.4f}")
        for target in (0.95, 0.99):
            a, b = qps_at(ours, target), qps_at(theirs, target)
            ratio = f"{a / b:.2f}" if a and b else "n/a"
            fa = f"{a:.0f}" if a else "n/a"
            fb = f"{b:.0f}" if b else "n/a"
            print(f"recall@10 {target}: ours {fa} QPS, hnswlib {fb} QPS, ratio {ratio}")
        sys.stdout.flush()


if __name__ == "__main__":
    main()
