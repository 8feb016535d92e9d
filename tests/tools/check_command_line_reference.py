#!/usr/bin/env python3
"""Checks tabulon-repair's reference against what the program does.

Every option the parser accepts (the names cli/options.cpp compares an argument with) and every
exit status the program returns (the kExit constants of cli/main.cpp) must be described both by
`tabulon-repair --help` and by the manual page the build made, and neither may describe an
option the parser does not know. --help stays within 80 columns of ASCII, and groff reads the
manual page without a warning.

Usage: check_command_line_reference.py --program TABULON_REPAIR --man PAGE --source SOURCE_ROOT
"""
import argparse
import re
import shutil
import subprocess
import sys

OPTION_COMPARED = re.compile(r'\b(?:name|argument) == "(-[-a-z]+|--)"')
EXIT_CONSTANT = re.compile(r'constexpr int kExit\w+ = (\d+);')
# An option in a term: "-o", "--output-dir", "--rebuild" of "--rebuild=MODE", or "--" alone.
OPTION_IN_TERM = re.compile(r'(?<![\w-])(--?[a-z][-a-z]*|--)(?=[\s,=]|$)')
# A term of --help: two blanks in, and up to two blanks, or the description's column (23).
HELP_TERM = re.compile(r'^  (\S.*?)(?:  |$)')
HELP_TERM_WIDTH = 20


def accepted_options(source):
    with open(f"{source}/cli/options.cpp", encoding="utf-8") as file:
        return set(OPTION_COMPARED.findall(file.read()))


def exit_statuses(source):
    with open(f"{source}/cli/main.cpp", encoding="utf-8") as file:
        return set(EXIT_CONSTANT.findall(file.read()))


def help_terms(text):
    """The terms of --help's Options and Exit status sections, by section."""
    terms = {"Options": [], "Exit status": []}
    section = None
    for line in text.splitlines():
        if line.endswith(":") and line[:-1] in terms:
            section = line[:-1]
        elif section and (match := HELP_TERM.match(line)):
            term = match.group(1)
            terms[section].append(term[:HELP_TERM_WIDTH].rstrip() if len(term) > HELP_TERM_WIDTH else term)
    return terms


def man_terms(page):
    """The .TP terms of the manual page's OPTIONS and EXIT STATUS sections, as plain text."""
    terms = {"Options": [], "Exit status": []}
    section = None
    lines = page.splitlines()
    for i, line in enumerate(lines):
        if line.startswith(".SH "):
            title = line[4:].strip().strip('"')
            section = {"OPTIONS": "Options", "EXIT STATUS": "Exit status"}.get(title)
        elif line == ".TP" and section and i + 1 < len(lines):
            term = re.sub(r'\\f[BIRP]', "", lines[i + 1]).replace("\\-", "-")
            terms[section].append(term)
    return terms


def check(what, terms, options, statuses):
    problems = []
    named = {option for term in terms["Options"] for option in OPTION_IN_TERM.findall(term)}
    problems += [f"{what} does not describe {option}, which the parser accepts" for option in sorted(options - named)]
    problems += [f"{what} describes {option}, which the parser does not accept" for option in sorted(named - options)]
    listed = set(terms["Exit status"])
    problems += [f"{what} does not describe exit status {status}" for status in sorted(statuses - listed)]
    problems += [f"{what} describes exit status {status}, which the program does not return"
                 for status in sorted(listed - statuses)]
    return problems


def main():
    arguments = argparse.ArgumentParser()
    arguments.add_argument("--program", required=True)
    arguments.add_argument("--man", required=True)
    arguments.add_argument("--source", required=True)
    given = arguments.parse_args()

    options = accepted_options(given.source)
    statuses = exit_statuses(given.source)
    problems = []
    if len(options) < 10 or len(statuses) < 3:
        problems.append(f"found only {sorted(options)} and exit statuses {sorted(statuses)} in cli/: "
                        "has the parser changed its form?")

    run = subprocess.run([given.program, "--help"], capture_output=True, timeout=30)
    if run.returncode != 0:
        problems.append(f"--help exits with {run.returncode}")
    try:
        help_text = run.stdout.decode("ascii")
    except UnicodeDecodeError:
        help_text = run.stdout.decode("utf-8", "replace")
        problems.append("--help is not ASCII")
    problems += [f"--help line over 80 columns: {line!r}" for line in help_text.splitlines() if len(line) > 80]
    problems += check("--help", help_terms(help_text), options, statuses)

    with open(given.man, encoding="ascii") as file:
        page = file.read()
    problems += check("the manual page", man_terms(page), options, statuses)
    if shutil.which("groff"):
        render = subprocess.run(["groff", "-man", "-Tutf8", "-ww", "-z", given.man],
                                capture_output=True, text=True, timeout=30)
        if render.returncode != 0 or render.stderr.strip():
            problems.append(f"groff warns about the manual page: {render.stderr.strip()}")

    for problem in problems:
        print(problem)
    print(f"{len(options)} options, {len(statuses)} exit statuses; {len(problems)} problems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
