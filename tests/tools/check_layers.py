#!/usr/bin/env python3
"""Checks the project's #include lines against its layers.

The engine is layered: base, io, cfb (compound files), biff (workbook records), repair, export.
A file of one layer includes only its own layer's headers and those of the layers it sits on;
biff knows nothing of compound files, and export reads cells, not compound files. Above the
engine: words/ (the program's sentences), jobs/ (no widgets), cli/ (no jobs, no window), ui/.
Includes of the project's own headers are written from the source root ("engine/io/os_file.h"),
or by their bare name from the same folder.

The repair layer is in rooms, a folder each (ROOMS): a room includes another only through that
room's public header, and only a room it sits on; the rooms it sits on form no cycle. Nothing
outside the repair layer (the programs, the benchmarks and the fuzz targets; tests aside)
includes a room's private parts.

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
    "words": {"engine"},
    "jobs": {"engine", "words"},
    "cli": {"engine", "words"},
    "ui": {"engine", "words", "jobs", "res"},
}

# The repair layer's rooms: the rooms each sits on, and its public headers (the rest of its
# files are its own).
ROOMS = {
    "engine/repair/rebuild": (set(), {"rebuild.h"}),
    "engine/repair/mending": (set(), {"mending.h"}),
    "engine/repair/workbook": ({"mending"}, {"workbook.h"}),
    "engine/repair/realign": ({"workbook"}, {"realign.h"}),
    "engine/repair/salvage": ({"mending", "rebuild", "workbook"}, {"salvage.h"}),
    "engine/repair/pipeline": ({"rebuild", "mending", "workbook", "realign", "salvage"},
                               {"repair.h", "recovered_cells.h"}),
}

# Files the build makes (in the build folder, not the source tree), by the folder that includes them.
GENERATED = {"cli": {"usage_text.inc"}}
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


def room_of(path):
    """The room of the repair layer that `path` lies in, or None."""
    for room in ROOMS:
        if path.startswith(room + "/"):
            return room
    return None


def rooms_in_cycle():
    """The rooms whose declared footing leads back to themselves."""
    def reaches(start, goal, seen):
        for below in ROOMS["engine/repair/" + start][0]:
            if below == goal or (below not in seen and reaches(below, goal, seen | {below})):
                return True
        return False
    return [room for room in ROOMS if reaches(room.rsplit("/", 1)[1], room.rsplit("/", 1)[1], set())]


def room_problem(path, target):
    """Why `path` may not include `target` across the rooms of the repair layer, or None."""
    theirs = room_of(target)
    if theirs is None:
        return None
    own = room_of(path)
    if own == theirs:
        return None
    name = theirs.rsplit("/", 1)[1]
    if os.path.basename(target) not in ROOMS[theirs][1]:
        return f"a private part of the room {name}"
    if own is not None and name not in ROOMS[own][0]:
        return f"the room {own.rsplit('/', 1)[1]} does not sit on the room {name}"
    return None


def main():
    root = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", ".."))
    problems = []
    checked = 0
    for path in source_files(root, ("engine", "words", "jobs", "cli", "ui")):
        own = layer_of(path)
        if own == "engine/repair" and room_of(path) is None:
            problems.append(f"{path}: in no room of the repair layer (add its folder to ROOMS)")
            continue
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
                if target in GENERATED.get(own, ()):
                    continue
                beside = os.path.join(os.path.dirname(path), target).replace(os.sep, "/")
                if "/" not in target and os.path.exists(os.path.join(root, beside)):
                    target = beside  # a header of the same folder
                if not os.path.exists(os.path.join(root, target)):
                    problems.append(f"{path}:{number}: {target} (write project includes from the source root)")
                    continue
                why = room_problem(path, target)
                if why:
                    problems.append(f"{path}:{number}: {target} ({why})")
                    continue
                theirs = layer_of(target) or target.split("/")[0]
                if theirs == own or any(theirs == a or theirs.startswith(a + "/") for a in ALLOWED[own]):
                    continue
                problems.append(f"{path}:{number}: {target} ({own} may not include {theirs})")
    problems += [f"{room}: its footing leads back to itself" for room in rooms_in_cycle()]
    problems += outside_problems(root)
    for problem in problems:
        print(problem)
    print(f"{checked} files checked, {len(problems)} includes out of layer")
    return 1 if problems else 0


def source_files(root, folders):
    """The C++ sources and headers under `folders`, as paths from the source root."""
    for folder in folders:
        for directory, _, files in os.walk(os.path.join(root, folder)):
            for name in sorted(files):
                if name.endswith((".h", ".cpp")):
                    yield os.path.relpath(os.path.join(directory, name), root).replace(os.sep, "/")


def outside_problems(root):
    """Includes of the repair layer's private parts from the benchmarks and the fuzz targets."""
    problems = []
    for path in source_files(root, ("bench", "fuzz")):
        with open(os.path.join(root, path), encoding="utf-8") as source:
            for number, line in enumerate(source, 1):
                match = INCLUDE.match(line)
                why = match and room_problem(path, match.group(1))
                if why:
                    problems.append(f"{path}:{number}: {match.group(1)} ({why})")
    return problems


if __name__ == "__main__":
    sys.exit(main())
