#!/usr/bin/env python3
"""Side-by-side benchmark of the IVF index and the 8-bit scan against FAISS.

Uses the data sets of bench/vector_bench.py (100,000 clustered 128-dim and
20,000 clustered 768-dim vectors with exact cosine top-10 answers, cached
under ~/.cache/ziviror-bench, never in the repository). Both sides get the
same list count (sqrt(n) + 1, as the index's IVF cache uses) and the same
probe counts; FAISS runs IndexIVFFlat and the flat 8-bit scalar quantizer
(QT_8bit, per-component bounds) over unit vectors with inner product, which
ranks as cosine does. Single-thread QPS is queries per second of processor
time (FAISS searches the whole query batch in one call on one thread), the
fastest of three passes, so that other load on a shared machine stays out of
the figures. Prints both sides and our QPS / FAISS QPS at each point.

Usage: bench/vector_ivf_bench.py [--bin build/dev/bench/vector_ivf_bench]
FAISS comes from PyPI into the virtual environment beside the cache.
"""
import argparse
import json
import math
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import vector_bench  # noqa: E402  (the data sets and their cache)

PROBES = [1, 2, 5, 10, 20]
REPEAT = 3
SCAN_QUERIES = 200


def ensure_faiss():
    """Re-runs this script inside the benchmark's own environment."""
    try:
        import faiss  # noqa: F401
        import numpy  # noqa: F401
        return
    except ImportError:
        pass
    py = os.path.join(vector_bench.VENV, "bin", "python")
    if not os.path.exists(py):
        os.makedirs(vector_bench.CACHE, exist_ok=True)
        subprocess.check_call([sys.executable, "-m", "venv", "--system-site-packages",
                               vector_bench.VENV])
    subprocess.check_call([py, "-m", "pip", "install", "-q", "faiss-cpu", "numpy"])
    os.execv(py, [py] + sys.argv)


def run_ours(binary, files, nlist):
    out = subprocess.run([binary, "run", "--base", files[0], "--queries", files[1], "--truth",
                          files[2], "--metric", "cosine", "--nlist", str(nlist), "--nprobe",
                          ",".join(map(str, PROBES)), "--scan-queries", str(SCAN_QUERIES),
                          "--repeat", str(REPEAT)],
                         check=True, capture_output=True, text=True)
    lines = [json.loads(l) for l in out.stdout.splitlines() if l.strip()]
    ivf = {l["nprobe"]: (l["qps"], l["recall"]) for l in lines if "qps" in l and "nprobe" in l}
    scanned = {l["nprobe"]: l["scanned_per_query"] for l in lines if "scanned_per_query" in l}
    scan = next((l["qps"], l["recall"]) for l in lines if l["engine"] == "sq8")
    return ivf, scanned, scan


def timed(index, queries):
    """Fastest of REPEAT single-thread searches of the batch: (QPS, labels)."""
    best, labels = None, None
    for _ in range(REPEAT):
        t0 = time.process_time()
        _, labels = index.search(queries, 10)
        t = time.process_time() - t0
        best = t if best is None else min(best, t)
    return len(queries) / best, labels


def recall(labels, truth):
    hits = sum(len(set(labels[i]) & set(truth[i])) for i in range(len(labels)))
    return hits / (10.0 * len(labels))


def run_faiss(files, nlist):
    import faiss
    import numpy as np
    faiss.omp_set_num_threads(1)
    base, queries = vector_bench.read_rows(files[0]), vector_bench.read_rows(files[1])
    with open(files[2], "rb") as f:
        nq, k = np.fromfile(f, dtype="<u4", count=2)
        truth = np.fromfile(f, dtype="<u4").reshape(nq, k)
    base = np.ascontiguousarray(base / np.linalg.norm(base, axis=1, keepdims=True), dtype="f4")
    queries = np.ascontiguousarray(queries / np.linalg.norm(queries, axis=1, keepdims=True),
                                   dtype="f4")
    d = base.shape[1]
    quantizer = faiss.IndexFlatIP(d)
    ivf = faiss.IndexIVFFlat(quantizer, d, nlist, faiss.METRIC_INNER_PRODUCT)
    ivf.train(base)
    ivf.add(base)
    curve, scanned = {}, {}
    for p in PROBES:
        ivf.nprobe = p
        faiss.cvar.indexIVF_stats.reset()
        qps, labels = timed(ivf, queries)
        curve[p] = (qps, recall(labels, truth))
        scanned[p] = faiss.cvar.indexIVF_stats.ndis / (REPEAT * len(queries))
    sq = faiss.IndexScalarQuantizer(d, faiss.ScalarQuantizer.QT_8bit, faiss.METRIC_INNER_PRODUCT)
    sq.train(base)
    sq.add(base)
    qps, labels = timed(sq, queries[:SCAN_QUERIES])
    return curve, scanned, (qps, recall(labels, truth[:SCAN_QUERIES]))


def main():
    ensure_faiss()
    p = argparse.ArgumentParser()
    here = os.path.dirname(os.path.abspath(__file__))
    p.add_argument("--bin", default=os.path.join(here, "..", "build", "dev", "bench",
                                                 "vector_ivf_bench"))
    args = p.parse_args()
    for spec in vector_bench.DATASETS:
        name, rows = spec[0], spec[1]
        files = vector_bench.dataset(*spec)
        nlist = int(math.sqrt(rows)) + 1
        ours_ivf, ours_scanned, ours_scan = run_ours(args.bin, files, nlist)
        faiss_ivf, faiss_scanned, faiss_scan = run_faiss(files, nlist)
        print(f"\n== {name}: IVF with {nlist} lists, single thread")
        print(f"{'nprobe':>6} | {'ours QPS':>10} {'recall':>7} {'scanned':>8} | {'FAISS QPS':>10} "
              f"{'recall':>7} {'scanned':>8} | ratio")
        for p in PROBES:
            (q, r), (fq, fr) = ours_ivf[p], faiss_ivf[p]
            print(f"{p:>6} | {q:>10.0f} {r:>7.4f} {ours_scanned[p]:>8.0f} | {fq:>10.0f} {fr:>7.4f} "
                  f"{faiss_scanned[p]:>8.0f} | {q / fq:.2f}")
        (q, r), (fq, fr) = ours_scan, faiss_scan
        print(f"8-bit scan ({SCAN_QUERIES} queries): ours {q:.1f} QPS recall {r:.4f}, "
              f"FAISS {fq:.1f} QPS recall {fr:.4f}, ratio {q / fq:.2f}")
        sys.stdout.flush()


if __name__ == "__main__":
    main()
