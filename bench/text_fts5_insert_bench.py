#!/usr/bin/env python3
"""The FTS5 side of the record change and text rebuild benchmark: for each
documents file given (one document per line, written by record_change_bench),
inserts every document into a new, empty in-memory FTS5 table with the ascii
tokenizer and full position detail in one transaction, best of RUNS runs.
Prints one line per file: file, documents, documents per second.

    python3 text_fts5_insert_bench.py RUNS DOCS_FILE...
"""
import sqlite3
import sys
import time


def insert_rate(docs):
    db = sqlite3.connect(":memory:")
    db.execute("CREATE VIRTUAL TABLE docs USING fts5(body, tokenize='ascii', detail=full)")
    start = time.perf_counter()
    with db:
        db.executemany("INSERT INTO docs(body) VALUES (?)", ((d,) for d in docs))
    elapsed = time.perf_counter() - start
    db.close()
    return len(docs) / elapsed


def main():
    runs = int(sys.argv[1])
    for path in sys.argv[2:]:
        with open(path, encoding="ascii") as f:
            docs = [line.rstrip("\n") for line in f]
        best = max(insert_rate(docs) for _ in range(runs))
        print("%s\t%d\t%.1f" % (path, len(docs), best))


if __name__ == "__main__":
    main()
