#!/usr/bin/env python3
"""The program's folders are layers: a file may include from its own folder and
from the folders its layer may use, never from one above it. Prints every
include that climbs and exits 1; with --graph, also prints which folder includes
which, and each folder's size.

    python3 tools/check-layers.py [--graph] [ROOT]
"""
import os
import re
import sys

# Lowest first. Each layer may use the layers named beside it, and nothing else.
LAYERS = [
    ("base", []),
    ("schedule", ["base"]),
    ("process", ["base"]),
    ("engine", ["base", "schedule", "process"]),
    ("desktop", ["base", "schedule", "process", "engine"]),
    ("app", ["base", "schedule", "process", "engine", "desktop"]),
]
ALLOWED = {name: set(uses) | {name} for name, uses in LAYERS}
SOURCES = (".h", ".cpp", ".rc", ".in")
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def files_of(root, folder):
    for base, _, names in os.walk(os.path.join(root, folder)):
        for name in sorted(names):
            if name.endswith(SOURCES):
                yield os.path.join(base, name)


def main(argv):
    graph = "--graph" in argv
    args = [a for a in argv if not a.startswith("--")]
    root = args[0] if args else os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")

    # Which folder each header of the program lives in.
    home = {}
    for folder in ALLOWED:
        for path in files_of(root, folder):
            home.setdefault(os.path.basename(path), folder)

    climbs = []
    edges = {}
    sizes = {}
    for folder in ALLOWED:
        for path in files_of(root, folder):
            with open(path, encoding="utf-8", errors="replace") as f:
                text = f.read()
            sizes[folder] = sizes.get(folder, 0) + text.count("\n")
            for header in INCLUDE.findall(text):
                target = home.get(os.path.basename(header))
                if target is None:
                    continue  # generated or outside the program
                edges.setdefault((folder, target), 0)
                edges[(folder, target)] += 1
                if target not in ALLOWED[folder]:
                    climbs.append((os.path.relpath(path, root), header, folder, target))

    if graph:
        for name, _ in LAYERS:
            uses = sorted(t for (f, t) in edges if f == name and t != name)
            print(f"{name:9} {sizes.get(name, 0):6} lines  uses: {', '.join(uses) or '-'}")
    for path, header, folder, target in climbs:
        print(f"{path}: includes \"{header}\" from {target}/, which {folder}/ may not use")
    if climbs:
        print(f"{len(climbs)} include(s) point up; allowed: "
              + "; ".join(f"{n} -> {', '.join(u) or 'nothing'}" for n, u in LAYERS))
        return 1
    print("layers: every include points down")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
