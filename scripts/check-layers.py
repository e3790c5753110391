#!/usr/bin/env python3
"""Fails when the folders under src/ include each other in a cycle; prints the layer order."""
import glob, os, re, sys
root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "src")
uses = {}
for path in glob.glob(os.path.join(root, "*", "*")):
    folder = os.path.basename(os.path.dirname(path))
    for other in re.findall(r'#include "(\w+)/', open(path, encoding="utf-8").read()):
        if other != folder:
            uses.setdefault(folder, set()).add(other)
        uses.setdefault(other, set())
order, left = [], dict(uses)
while left:
    ready = sorted(f for f, deps in left.items() if deps <= set(order))
    if not ready:
        sys.exit(f"include cycle among: {', '.join(sorted(left))}")
    order += ready
    for f in ready:
        del left[f]
print("layers, bottom up:", " < ".join(order))
