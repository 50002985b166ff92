#!/usr/bin/env python3
"""Writes what this Python's str.lower gives, for the lower-casing test:
every code point on its own, then whole pieces that put a capital sigma in
each final-sigma context. One case per line: the input's code points in hex,
a tab, the output's code points in hex.

    python3 write_lower_reference.py OUT_FILE
"""
import sys


def hexes(s):
    return " ".join("%x" % ord(c) for c in s)


def sigma_pieces():
    sigma = "\u03a3"
    before = ["", "A", "a", "1", " ", "'", "A'", "A\u0301", "\u0301", "\u00ad", "\u0130",
              "\u03a3", "AB", "A.", "A:", "\u1f88", "\u02b0", "A\u200d"]
    after = ["", "A", "a", "1", " ", "'", "'A", "\u0301", "\u0301a", "\u00ad", "\u03a3",
             ".A", "\u02b0", "\u200dA"]
    for b in before:
        for a in after:
            yield b + sigma + a
            yield "x " + b + sigma + a + " y"
    yield "\u039f\u0394\u039f\u03a3 \u039f\u0394\u039f\u03a3"
    yield "\u03a3\u03a3\u03a3"
    yield "\u0130STANBUL \u0130"


def main():
    with open(sys.argv[1], "w", encoding="ascii") as out:
        for cp in range(0x110000):
            if 0xD800 <= cp <= 0xDFFF:
                continue
            ch = chr(cp)
            out.write("%s\t%s\n" % (hexes(ch), hexes(ch.lower())))
        for piece in sigma_pieces():
            out.write("%s\t%s\n" % (hexes(piece), hexes(piece.lower())))


if __name__ == "__main__":
    main()
