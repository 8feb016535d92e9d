#!/usr/bin/env python3
"""Checks the project's #include lines against its layers.

The engine is layered: base, io, cfb (compound files), biff (workbook records), repair, export.
A file of one layer includes only its own layer's headers and those of the layers it sits on;
biff knows nothing of compound files, and export reads cells, not compound files. Above the
engine: jobs/ (no widgets), cli/ (no jobs, no window), ui/. Includes of the project's own
headers are written from the source root ("engine/io/os_file.h"), or by their bare name from
the same folder.

Usage: check_layers.py [SOURCE_ROOT]. Prints each include that runs the wrong way and exits 1
when there is one.
"""
import os
import re
import sys

# What each folder may include of the project, besides itself.
ALLOWED = {
    "engine/base": set(),
    "engine/io": {"engine/base"},
    "engine/cfb": {"engine/base", "engine/io"},
    "engine/biff": {"engine/base"},
    "engine/repair": {"engine/base", "engine/io", "engine/cfb", "engine/biff"},
    "engine/export": {"engine/base", "engine/biff"},
    "jobs": {"engine"},
    "cli": {"engine"},
    "ui": {"engine", "jobs", "res"},
}

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')
# Headers of the window system that a folder below the window must not reach.
WINDOW_SYSTEM = re.compile(r'^\s*#\s*include\s+<Q[A-Za-z]*(/[A-Za-z]+)?>')


def layer_of(path):
    """The most specific key of ALLOWED that `path` lies under, or None."""
    best = None
    for layer in ALLOWED:
        if path == layer or path.startswith(layer + "/"):
            if best is None or len(layer) > len(best):
                best = layer
    return best


def main():
    root = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", ".."))
    problems = []
    checked = 0
    for folder in ("engine", "jobs", "cli", "ui"):
        for directory, _, files in os.walk(os.path.join(root, folder)):
            for name in sorted(files):
                if not name.endswith((".h", ".cpp")):
                    continue
                path = os.path.relpath(os.path.join(directory, name), root).replace(os.sep, "/")
                own = layer_of(path)
                if own is None:
                    problems.append(f"{path}: in no layer (add its folder to the check)")
                    continue
                checked += 1
                with open(os.path.join(root, path), encoding="utf-8") as source:
                    for number, line in enumerate(source, 1):
                        if WINDOW_SYSTEM.match(line) and own != "ui":
                            problems.append(f"{path}:{number}: {line.strip()} (the window system, below ui/)")
                        match = INCLUDE.match(line)
                        if not match:
                            continue
                        target = match.group(1)
                        beside = os.path.join(os.path.dirname(path), target).replace(os.sep, "/")
                        if "/" not in target and os.path.exists(os.path.join(root, beside)):
                            target = beside  # a header of the same folder
                        if not os.path.exists(os.path.join(root, target)):
                            problems.append(f"{path}:{number}: {target} (write project includes from the source root)")
                            continue
                        theirs = layer_of(target) or target.split("/")[0]
                        if theirs == own or any(theirs == a or theirs.startswith(a + "/") for a in ALLOWED[own]):
                            continue
                        problems.append(f"{path}:{number}: {target} ({own} may not include {theirs})")
    for problem in problems:
        print(problem)
    print(f"{checked} files checked, {len(problems)} includes out of layer")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
