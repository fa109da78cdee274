#!/usr/bin/env python3
"""Compares two registry exports (regedit /E, converted to UTF-8) key by key and value by
value, and prints every difference. Exit code 0 only when they are the same.

usage: compare_registry.py A.reg B.reg [--ignore KEY_PATTERN[:VALUE_NAME]]...
  A KEY_PATTERN is a regular expression matched against the whole key name (case-insensitive);
  with :VALUE_NAME only that value of the keys is ignored, without it the keys and all below.
"""
import argparse
import os
import re
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from registry_to_wxi import parse_reg  # noqa: E402


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("a")
    parser.add_argument("b")
    parser.add_argument("--ignore", action="append", default=[])
    args = parser.parse_args()
    whole, values = [], []
    for rule in args.ignore:
        key, _, value = rule.partition(":")
        (values if value else whole).append((re.compile(key, re.I), value.lower()))

    def kept(key):
        # A key ignored takes everything below it along.
        return not any(re.match(f"(?:{p.pattern})(?:\\\\.*)?$", key, re.I) for p, _ in whole)

    def value_kept(key, name):
        return not any(p.fullmatch(key) and (name or "@").lower() == v for p, v in values)

    a, b = parse_reg(args.a), parse_reg(args.b)
    lower_a = {k.lower(): (k, v) for k, v in a.items() if kept(k)}
    lower_b = {k.lower(): (k, v) for k, v in b.items() if kept(k)}
    differences = []
    for k in sorted(set(lower_a) | set(lower_b)):
        if k not in lower_b:
            differences.append(f"only in {args.a}: [{lower_a[k][0]}]")
            continue
        if k not in lower_a:
            differences.append(f"only in {args.b}: [{lower_b[k][0]}]")
            continue
        key, va = lower_a[k]
        _, vb = lower_b[k]
        na = {(n or "@").lower(): d for n, d in va.items() if value_kept(key, n)}
        nb = {(n or "@").lower(): d for n, d in vb.items() if value_kept(key, n)}
        for n in sorted(set(na) | set(nb)):
            if na.get(n) != nb.get(n):
                differences.append(f"[{key}] {n}: {na.get(n)!r} / {nb.get(n)!r}")
    for line in differences:
        print(line)
    return 1 if differences else 0


if __name__ == "__main__":
    sys.exit(main())
