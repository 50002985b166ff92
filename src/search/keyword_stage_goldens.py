#!/usr/bin/env python3
"""Float32 BM25 scores of the keyword stage test's small corpus, computed
independently with numpy in the stage's order of operations. Prints the bit
patterns the test compares against."""
import numpy as np

f = np.float32
CORPUS = {
    "a": "the cat sat on the mat",
    "b": "the dog chased the cat around the yard",
    "c": "a bird",
}


def idf(n, df):
    x = f(n) - f(df)
    x = x + f(0.5)
    x = x / (f(df) + f(0.5))
    x = x + f(1.0)
    return np.log(x, dtype=np.float32)


def share(tf, dl, avgdl, w):
    t = f(tf)
    a = f(dl) / avgdl
    a = a * f(0.75)
    a = a + f(0.25)
    a = a * f(1.2)
    a = a + t
    c = (t * f(2.2)) / a
    return c * w


def score(key, terms):
    docs = {k: v.split() for k, v in CORPUS.items()}
    n = len(docs)
    avgdl = f(sum(len(d) for d in docs.values())) / f(n)
    s = None
    for t in sorted(terms):
        df = sum(1 for d in docs.values() if t in d)
        tf = docs[key].count(t)
        if df == 0 or tf == 0:
            continue
        c = share(tf, len(docs[key]), avgdl, idf(n, df))
        s = c if s is None else f(s + c)
    return s


for key, terms in (("a", ["cat", "the"]), ("b", ["cat", "the"]), ("c", ["bird"])):
    v = score(key, terms)
    print(key, terms, repr(v), hex(np.array(v, dtype=np.float32).view(np.uint32)))
