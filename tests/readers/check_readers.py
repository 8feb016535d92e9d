#!/usr/bin/python3
"""Holds tabulon-repair to the spreadsheet programs users have: LibreOffice Calc, Gnumeric and
python's xlrd.

    check_readers.py intact   --program TABULON_REPAIR --data DIR [--corpus DIR] [--wide DIR [--every]]
    check_readers.py salvaged --program TABULON_REPAIR --corpus DIR

intact: every workbook of the test data, of the shared corpus, of the writer matrix (made here,
make_writer_matrix.py) and of a fixed sample of the wider corpus (with --every, all of it: the
benchmark's run, too long for the test) is read by the three readers.
Where all three read the same cells, the workbook is intact as far as anyone can tell, and
tabulon-repair must agree: --check says it opens, a copy is not written (a workbook that opens
as it is keeps its header, and nothing is written) and --in-place changes no byte. Workbooks the
readers disagree on are listed, not held against the program.

salvaged: a fixed sample of corpus workbooks is damaged here (the first 4 KiB zeroed, three
512-byte sectors zeroed, the header and a 4 KiB block zeroed) and repaired into a copy. Every
reader must open the copy and read, sheet by sheet, as many cells as the repair's report says
came back; a copy whose header alone was rebuilt, or a damaged workbook kept as it is (its
zeroed bytes where nothing is read), must read as the intact workbook did.

Exit status: 0 passed, 1 failed (each failure is printed), 2 bad command line, 77 skipped (a
reader or a folder of inputs is missing; the reason is printed).
"""

import argparse
import hashlib
import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import spreadsheet_readers as readers  # noqa: E402
import make_writer_matrix  # noqa: E402

SKIP = 77
LIBREOFFICE_SECONDS = 300   # the whole batch, and 3 more a workbook past 100
GNUMERIC_SECONDS = 60       # each workbook
PROGRAM_SECONDS = 60        # each run of tabulon-repair

# The sample of the wider corpus: the workbooks whose name's digest falls in one bucket of
# WIDE_BUCKETS, so that the sample stays the same when workbooks are added.
WIDE_BUCKETS = 6

# The damaged cases: workbooks of the shared corpus that every reader reads alike as they are,
# BIFF8 and BIFF5, one sheet and many, shared strings and not.
SALVAGE_SAMPLE = ["edr__TestMultiSheet.xls", "sheetjs__text_and_numbers.xls",
                  "readxl__more-than-256-unique-strings-xls.xls", "phpss__30templatebiff5.xls", "poi__47847.xls"]


def log(text):
    print(text, flush=True)


class Inputs:
    def __init__(self):
        self.items = []     # (group, path)
        self.digests = set()

    def add(self, group, path):
        with open(path, "rb") as f:
            digest = hashlib.sha256(f.read()).hexdigest()
        if digest not in self.digests:  # the test data copies some of the corpus
            self.digests.add(digest)
            self.items.append((group, path))


def workbooks_in(folder):
    return sorted(os.path.join(folder, name) for name in os.listdir(folder) if name.lower().endswith(".xls"))


def wide_sample(folder):
    return [path for path in workbooks_in(folder)
            if int(hashlib.sha256(os.path.basename(path).encode()).hexdigest(), 16) % WIDE_BUCKETS == 0]


def read_all(paths, scratch):
    """{path: {reader: Book or reason}}; LibreOffice's one batch runs beside Gnumeric's runs."""
    books = {path: {} for path in paths}
    libreoffice = {}
    batch = threading.Thread(target=lambda: libreoffice.update(
        readers.read_with_libreoffice(paths, os.path.join(scratch, "lo"), LIBREOFFICE_SECONDS + 3 * max(0, len(paths) - 100))))
    os.makedirs(os.path.join(scratch, "lo"))
    started = time.monotonic()
    batch.start()
    for path in paths:
        books[path]["xlrd"] = readers.read_with_xlrd(path)
        books[path]["Gnumeric"] = readers.read_with_gnumeric(path, os.path.join(scratch, "gnumeric"), GNUMERIC_SECONDS)
    gnumeric_done = time.monotonic()
    batch.join()
    log("read %d workbooks: xlrd and Gnumeric %.0f s, LibreOffice %.0f s (beside them)" %
        (len(paths), gnumeric_done - started, time.monotonic() - started))
    for path in paths:
        books[path]["LibreOffice"] = libreoffice.get(path, "LibreOffice gave nothing")
    return books


def agreement(book_of):
    """None when the three readers read the same cells; else what differs, in words."""
    unread = ["%s: %s" % (who, book) for who, book in book_of.items() if isinstance(book, str)]
    if unread:
        return "; ".join(unread)
    said = []
    for other in ("LibreOffice", "Gnumeric"):
        for difference in readers.differences(book_of["xlrd"], book_of[other]):
            said.append("xlrd against %s: %s" % (other, difference))
    return "; ".join(said) if said else None


def run_program(args):
    done = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, stdin=subprocess.DEVNULL,
                          timeout=PROGRAM_SECONDS)
    return done.returncode, done.stdout.decode(errors="replace"), done.stderr.decode(errors="replace")


def first_difference(a, b):
    if a == b:
        return None
    for i, (x, y) in enumerate(zip(a, b)):
        if x != y:
            return "byte %d (%d bytes against %d)" % (i, len(a), len(b))
    return "length (%d bytes against %d)" % (len(a), len(b))


def hold_intact(program, path, scratch):
    """What tabulon-repair does wrong with a workbook every reader reads alike ([] for nothing)."""
    faults = []
    with open(path, "rb") as f:
        original = f.read()

    status, out, err = run_program([program, "--check", path])
    if status != 0 or out != "opens: %s\n" % path:
        faults.append("--check exits %d: %s" % (status, (out + err).strip()))

    folder = tempfile.mkdtemp(prefix="copy-", dir=scratch)
    status, out, err = run_program([program, "--json", "-o", folder, path])
    try:
        result = json.loads(out)
    except ValueError:
        result = {}
    if status != 0 or result.get("outcome") != "kept" or result.get("output") is not None:
        faults.append("a copy: exit %d, outcome %s, output %s: %s" % (
            status, result.get("outcome"), result.get("output"), result.get("error") or err.strip()))
    for name in os.listdir(folder):
        with open(os.path.join(folder, name), "rb") as f:
            where = first_difference(original, f.read())
        faults.append("a copy was written, %s" % ("the workbook byte for byte" if where is None else "differing at " + where))
    shutil.rmtree(folder)

    working = os.path.join(scratch, "in-place.xls")
    shutil.copyfile(path, working)
    status, out, err = run_program([program, "--in-place", working])
    with open(working, "rb") as f:
        where = first_difference(original, f.read())
    if status != 0 or where is not None:
        faults.append("--in-place exits %d%s: %s" % (status, "" if where is None else ", changed at " + where,
                                                     (out + err).strip().replace(working, "COPY")))
    os.remove(working)
    return faults


def check_intact(args, scratch):
    inputs = Inputs()
    for path in workbooks_in(args.data):
        inputs.add("data", path)
    groups = [("corpus", args.corpus, workbooks_in),
              ("corpus-wide", args.wide, workbooks_in) if args.every else ("corpus-wide sample", args.wide, wide_sample)]
    for group, folder, pick in groups:
        if folder and os.path.isdir(folder):
            for path in pick(folder):
                inputs.add(group, path)
        else:
            log("not read: the %s (%s is not there)" % (group, folder))
    started = time.monotonic()
    matrix = os.path.join(scratch, "matrix")
    try:
        made = make_writer_matrix.make_matrix(matrix)
    except (make_writer_matrix.WriterFailed, subprocess.TimeoutExpired, OSError) as error:
        log("FAIL: the writer matrix was not made: %s" % error)
        return 1
    log("writer matrix: %d workbooks in %.0f s" % (len(made), time.monotonic() - started))
    for path in made:
        inputs.add("matrix", path)

    books = read_all([path for _, path in inputs.items], scratch)
    failures, agreed = [], {}
    for group, path in inputs.items:
        name = os.path.relpath(path, scratch) if path.startswith(scratch) else path
        differs = agreement(books[path])
        if differs is not None:
            # Not held against the program; its verdict is said beside, for whoever reads the log.
            _, out, err = run_program([args.program, "--check", path])
            log("readers differ on %s: %s [tabulon-repair --check: %s]" % (name, differs, (out + err).strip().replace(path, "it")))
            continue
        agreed[group] = agreed.get(group, 0) + 1
        faults = hold_intact(args.program, path, scratch)
        cells = books[path]["xlrd"].cell_count()
        if faults:
            failures.append(name)
            log("FAIL %s (%d cells every reader reads): %s" % (name, cells, " | ".join(faults)))
        else:
            log("ok %s (%d cells)" % (name, cells))
    log("%d workbooks, %d read alike by all three readers (%s), %d of those mishandled" % (
        len(inputs.items), sum(agreed.values()), ", ".join("%s %d" % item for item in sorted(agreed.items())),
        len(failures)))
    # Each kind of input must have given the check something to hold the program to.
    for group in sorted({group for group, _ in inputs.items} - set(agreed)):
        log("FAIL: no workbook of the %s is read alike by the three readers" % group)
        failures.append(group)
    return 1 if failures else 0


# --- Damaged workbooks ------------------------------------------------------------------

def damage_cases(original):
    """(name, [(offset, length) zeroed]) for a file of `original` bytes."""
    size = len(original)
    sectors = (size // 512) - 1
    three = [512 * (1 + sectors * k // 4) for k in (1, 2, 3)]
    middle = (size // 2) // 4096 * 4096
    return [("first 4 KiB zeroed", [(0, 4096)]),
            ("three sectors zeroed", [(at, 512) for at in three]),
            ("header and 4 KiB zeroed", [(0, 512), (max(middle, 4096), 4096)])]


def counts(book):
    return [len(cells) for _, cells in book.sheets]


def hold_repaired(read, intact, result):
    """What the readers read in a repaired copy (or a damaged workbook kept as it is) that the
    repair did not say: (faults, what the repair came to in words). `read` and `intact` are each
    reader's Book of the copy and of the intact workbook."""
    faults = []
    unread = [who for who, book in read.items() if isinstance(book, str)]
    for who in unread:
        faults.append("%s does not open it: %s" % (who, read[who]))
    salvage = result.get("salvage")
    if salvage:
        sheets = salvage["sheetOutcomes"]
        expected = [sheet["cells"] for sheet in sheets]
        holds = intact["xlrd"]
        line = "salvaged (%s); the report counts %s cells by sheet (%s)%s" % (
            salvage["text"], expected, ", ".join("%s %s" % (sheet["name"], sheet["state"]) for sheet in sheets),
            "" if isinstance(holds, str) else ", the intact workbook holds %s" % counts(holds))
        for who, book in read.items():
            if who in unread:
                continue
            if counts(book) != expected:
                faults.append("%s reads %s" % (who, counts(book)))
            # A sheet the report calls complete reads as it did in the intact workbook: the sheet
            # of its name there (a salvage lists the sheets it lost after those it found), or of
            # its place where the names were made up.
            before = intact[who]
            if isinstance(before, str) or len(before.sheets) != len(book.sheets) or len(book.sheets) != len(sheets):
                continue
            places = {name: index for index, (name, _) in enumerate(before.sheets)}
            for index, sheet in enumerate(sheets):
                if sheet["state"] == "complete":
                    was = places.get(sheet["name"], index)
                    differs = readers.sheet_differences(index, sheet["name"], before.sheets[was][1], book.sheets[index][1], 2)
                    if differs:
                        faults.append("%s, in a sheet the report calls complete (intact against copy): %s" % (
                            who, "; ".join(differs)))
        return faults, line
    kept = result.get("outcome") == "kept"
    line = "kept as it is" if kept else "%s, rebuild %s" % (result.get("outcome"), result.get("rebuild"))
    for who, book in read.items():
        if who not in unread and not isinstance(intact[who], str):
            for difference in readers.differences(intact[who], book):
                faults.append("%s reads other cells than in the intact workbook: %s" % (who, difference))
    return faults, line + ("" if faults else "; %s reads as the intact workbook" % ("it" if kept else "the copy"))


def check_salvaged(args, scratch):
    if not args.corpus or not os.path.isdir(args.corpus):
        log("SKIP: the shared corpus is not there (%s)" % args.corpus)
        return SKIP
    sample = [os.path.join(args.corpus, name) for name in SALVAGE_SAMPLE if os.path.exists(os.path.join(args.corpus, name))]
    if len(sample) != len(SALVAGE_SAMPLE):
        log("FAIL: the corpus lacks %s" % sorted(set(SALVAGE_SAMPLE) - {os.path.basename(p) for p in sample}))
        return 1
    cases = []   # (name, original, damaged, json result, copy)
    failures = []
    for original in sample:
        with open(original, "rb") as f:
            data = f.read()
        for index, (kind, zeroed) in enumerate(damage_cases(data)):
            damaged_bytes = bytearray(data)
            for at, length in zeroed:
                damaged_bytes[at:at + length] = bytes(min(length, len(data) - at))
            base = os.path.splitext(os.path.basename(original))[0]
            folder = os.path.join(scratch, "case-%s-%d" % (base, index))
            os.makedirs(folder)
            damaged = os.path.join(folder, base + ".xls")
            with open(damaged, "wb") as f:
                f.write(damaged_bytes)
            out = os.path.join(folder, "out")
            os.makedirs(out)
            status, stdout, stderr = run_program([args.program, "--json", "-o", out, damaged])
            name = "%s, %s" % (os.path.basename(original), kind)
            try:
                result = json.loads(stdout)
            except ValueError:
                result = {}
            # A workbook kept as it is (the zeroed bytes lay where no reader looks) is read as it is.
            copy = damaged if status == 0 and result.get("outcome") == "kept" else result.get("output")
            if status not in (0, 3) or not copy or not os.path.exists(copy):
                failures.append(name)
                log("FAIL %s: no copy written (exit %d): %s" % (name, status, result.get("error") or stderr.strip()))
                continue
            # The dry run, which a user asks first, foretells the same sheets.
            _, planned, _ = run_program([args.program, "-n", "--json", "-o", out, damaged])
            try:
                foretold = (json.loads(planned).get("salvage") or {}).get("sheetOutcomes")
            except ValueError:
                foretold = "no JSON"
            if foretold != (result.get("salvage") or {}).get("sheetOutcomes"):
                failures.append(name)
                log("FAIL %s: the dry run foretells %s, the repair reports %s" % (
                    name, foretold, (result.get("salvage") or {}).get("sheetOutcomes")))
            cases.append((name, original, copy, result))

    books = read_all(sorted({original for _, original, _, _ in cases}) + [copy for _, _, copy, _ in cases], scratch)
    for name, original, copy, result in cases:
        faults, line = hold_repaired(books[copy], books[original], result)
        line = "%s: %s" % (name, line)
        if faults:
            failures.append(name)
            log("FAIL %s; %s" % (line, "; ".join(faults)))
        else:
            log("ok %s" % line)
    log("%d damaged cases, %d failed" % (len(sample) * 3, len(set(failures))))
    return 1 if failures else 0


def main(argv):
    parser = argparse.ArgumentParser(description="tabulon-repair against LibreOffice, Gnumeric and xlrd")
    parser.add_argument("mode", choices=("intact", "salvaged"))
    parser.add_argument("--program", required=True)
    parser.add_argument("--data")
    parser.add_argument("--corpus")
    parser.add_argument("--wide")
    parser.add_argument("--every", action="store_true", help="every workbook of --wide, not a sample (the benchmark's run)")
    args = parser.parse_args(argv[1:])
    if args.mode == "intact" and not args.data:
        parser.error("intact needs --data")
    missing = readers.missing_readers() + (make_writer_matrix.missing_writers() if args.mode == "intact" else [])
    if missing:
        log("SKIP: this machine lacks %s (scripts/test installs them)" % ", ".join(missing))
        return SKIP
    if not os.access(args.program, os.X_OK):
        log("FAIL: %s is not there" % args.program)
        return 1
    args.program = os.path.abspath(args.program)
    started = time.monotonic()
    scratch = tempfile.mkdtemp(prefix="tabulon-readers-")
    try:
        status = check_intact(args, scratch) if args.mode == "intact" else check_salvaged(args, scratch)
    finally:
        if os.environ.get("TABULON_READERS_KEEP"):
            log("scratch folder kept: %s" % scratch)
        else:
            shutil.rmtree(scratch, ignore_errors=True)
    log("%s: %.0f s" % (args.mode, time.monotonic() - started))
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv))
