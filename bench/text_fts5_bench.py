#!/usr/bin/env python3
"""The FTS5 side of the keyword candidate lookup benchmark: loads the
documents that text_index_bench wrote (one per line) into an in-memory FTS5
table with the ascii tokenizer and times SELECT count(*) ... MATCH for each
token given. Prints one line per token: token, count, nanoseconds per query.

    python3 text_fts5_bench.py DOCS_FILE MIN_SECONDS TOKEN...
"""
import sqlite3
import sys
import time


def main():
    docs_path, min_seconds, tokens = sys.argv[1], float(sys.argv[2]), sys.argv[3:]
    db = sqlite3.connect(":memory:")
    db.execute("CREATE VIRTUAL TABLE docs USING fts5(body, tokenize='ascii')")
    with open(docs_path, encoding="ascii") as f:
        db.executemany("INSERT INTO docs(body) VALUES (?)", ((line.rstrip("\n"),) for line in f))
    db.commit()
    query = "SELECT count(*) FROM docs WHERE docs MATCH ?"
    for token in tokens:
        count = db.execute(query, (token,)).fetchone()[0]
        runs = 0
        start = time.perf_counter_ns()
        while True:
            db.execute(query, (token,)).fetchone()
            runs += 1
            elapsed = time.perf_counter_ns() - start
            if elapsed >= min_seconds * 1e9 and runs >= 3:
                break
        print("%s\t%d\t%.1f" % (token, count, elapsed / runs))


if __name__ == "__main__":
    main()
