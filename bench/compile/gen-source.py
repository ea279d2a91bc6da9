#!/usr/bin/env python3
"""Writes a Nerva Script source of about SIZE bytes for the compile benchmark: many functions
with loops, conditions, calls, string, number and regular-expression literals, object and array
literals and comments. The text depends only on SIZE and the seed, so runs compare.

usage: gen-source.py SIZE_BYTES OUTPUT [SEED]
"""
import random
import sys


def function_text(rng, index):
    name = "f%d" % index
    lines = ["// function %d: a loop, a switch, literals and calls" % index,
             "function %s(a, b, c) {" % name,
             "    var i, j, s, t, o, list;",
             "    s = %d;" % rng.randint(0, 100000),
             "    t = \"text %d with \\\"quotes\\\" and \\t escapes\";" % rng.randint(0, 999),
             "    o = {name: \"n%d\", size: %d, ratio: %s, nested: {flag: true, none: null}};"
             % (index, rng.randint(0, 5000), repr(rng.random())[:8]),
             "    list = [1, 2.5, \"three\", [4, 5], {six: 6}];",
             "    for (i = 0; i < a; i++) {",
             "        s = (s * 31 + i) %% %d;" % rng.randint(1000, 1000000),
             "        if (s > b && i % 3 == 0) s = s - b; else if (s < c) s += c * 2;",
             "        for (j = i; j >= 0; j -= 2) t = t + j;",
             "    }",
             "    switch (s & 7) {",
             "    case 0: s = s << 2; break;",
             "    case 1: case 2: s = s >>> 1; break;",
             "    default: s = ~s ^ 0x%x;" % rng.randint(0, 0xFFFF),
             "    }",
             "    /* a block comment that the lexer skips: %s */" % ("x" * rng.randint(5, 40)),
             "    while (s > 1000) { s = s >> 1; if (s == 17) break; }",
             "    do { s++; } while (s % 5 != 0);",
             "    try { s = s + o.size + list.length; } catch (e) { s = -1; }",
             "    t = t.replace(/[a-z]+%d/g, \"w\") + typeof o + (s ? \"yes\" : \"no\");" % (index % 10),
             ]
    if index > 0:
        lines.append("    s = s + f%d(a - 1, b, c);" % rng.randint(0, index - 1))
    lines.append("    return s + t.length + (a != b ? 1 : 0) + (!c ? 2 : 3);")
    lines.append("}")
    return "\n".join(lines) + "\n"


def main():
    if len(sys.argv) < 3:
        sys.stderr.write(__doc__)
        return 2
    size = int(sys.argv[1])
    seed = int(sys.argv[3]) if len(sys.argv) > 3 else 1
    rng = random.Random(seed)
    parts = []
    total = 0
    index = 0
    while total < size:
        text = function_text(rng, index)
        parts.append(text)
        total += len(text)
        index += 1
    parts.append("var total = 0;\nfor (var k = 0; k < 3; k++) total += f%d(2, 3, 4);\n" % (index - 1))
    with open(sys.argv[2], "w", newline="\n") as out:
        out.write("".join(parts))
    return 0


if __name__ == "__main__":
    sys.exit(main())
