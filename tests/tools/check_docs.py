#!/usr/bin/env python3
"""Checks the documentation's shape and links.

README.md stays short (at most 150 lines: the rest belongs in docs/), and every relative link
of README.md, CHANGELOG.md, docs/*.md and fuzz/README.md leads to a file or folder that exists,
and where it names a heading (file.md#heading), to a heading of that file.

Usage: check_docs.py [SOURCE_ROOT]
"""
import glob
import os
import re
import sys

README_LIMIT = 150
LINK = re.compile(r'!?\[[^\]]*\]\(([^)\s]+)(?:\s+"[^"]*")?\)')
FENCE = re.compile(r'^\s*```')
HEADING = re.compile(r'^#{1,6}\s+(.*?)\s*#*\s*$')


def slug(heading):
    """The anchor GitHub gives a heading."""
    text = re.sub(r'[`*_]|\[([^\]]*)\]\([^)]*\)', lambda m: m.group(1) or "", heading).strip().lower()
    return re.sub(r'[^\w\- ]', "", text).replace(" ", "-")


def outside_code(path):
    """The file's lines that are not in a fenced block or an inline code span, with their numbers."""
    fenced = False
    with open(path, encoding="utf-8") as file:
        for number, line in enumerate(file, 1):
            if FENCE.match(line):
                fenced = not fenced
                continue
            if not fenced:
                yield number, re.sub(r'`[^`]*`', "", line)


def anchors(path):
    return {slug(match.group(1)) for _, line in outside_code(path) if (match := HEADING.match(line))}


def link_problems(root, document):
    problems = []
    base = os.path.dirname(document)
    for number, line in outside_code(document):
        for target in LINK.findall(line):
            if re.match(r'^[a-z][a-z0-9+.-]*:', target):
                continue  # http:, mailto: and the like
            path, _, anchor = target.partition("#")
            resolved = os.path.normpath(os.path.join(base, path)) if path else document
            where = f"{os.path.relpath(document, root)}:{number}"
            if not os.path.exists(resolved):
                problems.append(f"{where}: {target} leads nowhere")
            elif anchor and resolved.endswith(".md") and anchor not in anchors(resolved):
                problems.append(f"{where}: {target} names no heading of {os.path.relpath(resolved, root)}")
    return problems


def main():
    root = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", ".."))
    problems = []
    with open(os.path.join(root, "README.md"), encoding="utf-8") as readme:
        lines = readme.read().count("\n")
    if lines > README_LIMIT:
        problems.append(f"README.md has {lines} lines, more than {README_LIMIT}: move the detail into docs/")
    documents = [os.path.join(root, name) for name in ("README.md", "CHANGELOG.md", "fuzz/README.md")]
    documents += sorted(glob.glob(os.path.join(root, "docs", "*.md")))
    for document in documents:
        if os.path.exists(document):
            problems += link_problems(root, document)
    for problem in problems:
        print(problem)
    print(f"{len(documents)} documents checked, {len(problems)} problems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
