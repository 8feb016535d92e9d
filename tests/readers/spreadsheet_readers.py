"""The cells of .xls workbooks as the spreadsheet programs users have read them.

Three readers: python's xlrd (in this process, through tests/tools/read_cells.py's way of
opening a workbook), LibreOffice Calc (headless soffice, every workbook of a batch in one run,
with a profile of its own) and Gnumeric (ssconvert, one workbook a run). LibreOffice and
Gnumeric save what they read as .xlsx, which keeps every cell at its row and column and a
formula's last result, as raw numbers (a CSV export formats dates, and Gnumeric's starts each
sheet at its first cell in use); that file is read here.

A workbook's cells are a Book: its sheets in order, each a name and a dict from (row, column)
to a value: ("n", float), ("s", str), ("b", bool) or ("e", "#DIV/0!"). Empty text is no cell,
as no reader tells it from an empty cell.
"""

import math
import os
import re
import shutil
import time
import signal
import subprocess
import sys
import zipfile
import xml.etree.ElementTree as ElementTree

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
import read_cells  # noqa: E402  (its way of opening a workbook, and xlrd's presence)

ERROR_TEXTS = {0x00: "#NULL!", 0x07: "#DIV/0!", 0x0F: "#VALUE!", 0x17: "#REF!", 0x1D: "#NAME?", 0x24: "#NUM!",
               0x2A: "#N/A"}

# A number read back from text may differ from the stored double in its last digits (LibreOffice
# writes 15 significant ones), and a subnormal one by a unit of the smallest.
RELATIVE_TOLERANCE = 1e-13
SMALLEST_STEP = 5e-324


class Book:
    def __init__(self):
        self.sheets = []   # (name, {(row, column): value})

    def cell_count(self):
        return sum(len(cells) for _, cells in self.sheets)


def same_value(a, b):
    # LibreOffice has no boolean cells, only numbers shown as TRUE or FALSE.
    if {a[0], b[0]} == {"b", "n"}:
        return float(a[1]) == float(b[1])
    if a[0] != b[0]:
        return False
    if a[0] != "n":
        return a[1] == b[1]
    x, y = a[1], b[1]
    if x == y or (math.isnan(x) and math.isnan(y)):
        return True
    return abs(x - y) <= max(RELATIVE_TOLERANCE * max(abs(x), abs(y)), 2 * SMALLEST_STEP)


def differences(a, b, limit=3):
    """Up to `limit` sentences saying where two Books differ (by position); [] when they agree."""
    said = []
    if len(a.sheets) != len(b.sheets):
        said.append("%d sheets against %d (%s / %s)" % (len(a.sheets), len(b.sheets),
                                                        [n for n, _ in a.sheets][:6], [n for n, _ in b.sheets][:6]))
        return said
    for index, ((name, cells_a), (_, cells_b)) in enumerate(zip(a.sheets, b.sheets)):
        said += sheet_differences(index, name, cells_a, cells_b, limit - len(said))
        if len(said) >= limit:
            break
    return said


def sheet_differences(index, name, cells_a, cells_b, limit=3):
    said = []
    for place in sorted(set(cells_a) | set(cells_b)):
        va, vb = cells_a.get(place), cells_b.get(place)
        if va is None or vb is None or not same_value(va, vb):
            said.append("sheet %d (%s) %s: %s against %s" % (index, name, cell_name(*place), shown(va), shown(vb)))
            if len(said) >= limit:
                break
    return said


def cell_name(row, column):
    letters = ""
    column += 1
    while column:
        column, rest = divmod(column - 1, 26)
        letters = chr(65 + rest) + letters
    return "%s%d" % (letters, row + 1)


def shown(value):
    if value is None:
        return "nothing"
    text = repr(value[1])
    return "%s %s" % (value[0], text if len(text) <= 40 else text[:37] + "...")


# --- xlrd --------------------------------------------------------------------------------

def read_with_xlrd(path):
    """The workbook's cells as xlrd reads them, or a string saying why it could not."""
    import xlrd
    try:
        with open(os.devnull, "w") as quiet:
            saved, sys.stderr = sys.stderr, quiet
            try:
                book, _ = read_cells.open_book_as_engine_does(path)
            finally:
                sys.stderr = saved
    except Exception as error:  # xlrd raises its own and several standard exceptions
        return "xlrd: %s: %s" % (type(error).__name__, str(error)[:200])
    result = Book()
    for index in range(book.nsheets):
        sheet = book.sheet_by_index(index)
        cells = {}
        for row in range(sheet.nrows):
            for column in range(sheet.row_len(row)):
                cell = sheet.cell(row, column)
                if cell.ctype in (xlrd.XL_CELL_NUMBER, xlrd.XL_CELL_DATE):
                    cells[(row, column)] = ("n", float(cell.value))
                elif cell.ctype == xlrd.XL_CELL_TEXT and cell.value != "":
                    cells[(row, column)] = ("s", cell.value)
                elif cell.ctype == xlrd.XL_CELL_BOOLEAN:
                    cells[(row, column)] = ("b", bool(cell.value))
                elif cell.ctype == xlrd.XL_CELL_ERROR:
                    cells[(row, column)] = ("e", ERROR_TEXTS.get(cell.value, "#%d" % cell.value))
        result.sheets.append((sheet.name, cells))
    book.release_resources()
    return result


# --- .xlsx, as LibreOffice and Gnumeric save what they read ------------------------------

MAIN = "{http://schemas.openxmlformats.org/spreadsheetml/2006/main}"
RELATIONSHIP = "{http://schemas.openxmlformats.org/officeDocument/2006/relationships}id"
ESCAPED = re.compile(r"_x([0-9A-Fa-f]{4})_")


def unescape(text):
    # Characters XML cannot hold are written as _xHHHH_ in .xlsx text.
    return ESCAPED.sub(lambda m: chr(int(m.group(1), 16)), text or "")


def string_item(element):
    """The text of a shared or inline string: its <t>, or its runs' <t>s (rich text), not the
    phonetic runs."""
    plain = element.find(MAIN + "t")
    if plain is not None:
        return unescape(plain.text)
    return "".join(unescape(t.text) for r in element.findall(MAIN + "r") for t in r.findall(MAIN + "t"))


def place(reference):
    match = re.match(r"([A-Z]+)(\d+)$", reference)
    column = 0
    for letter in match.group(1):
        column = column * 26 + ord(letter) - 64
    return int(match.group(2)) - 1, column - 1


def read_xlsx(path):
    """The cells of an .xlsx file, sheets in the workbook's order."""
    result = Book()
    with zipfile.ZipFile(path) as package:
        names = set(package.namelist())
        shared = []
        if "xl/sharedStrings.xml" in names:
            root = ElementTree.fromstring(package.read("xl/sharedStrings.xml"))
            shared = [string_item(si) for si in root.findall(MAIN + "si")]
        targets = {}
        rels = ElementTree.fromstring(package.read("xl/_rels/workbook.xml.rels"))
        for rel in rels:
            target = rel.get("Target")
            targets[rel.get("Id")] = target.lstrip("/") if target.startswith("/") else "xl/" + target
        workbook = ElementTree.fromstring(package.read("xl/workbook.xml"))
        for entry in workbook.find(MAIN + "sheets"):
            cells = {}
            with package.open(targets[entry.get(RELATIONSHIP)]) as stream:
                for _, element in ElementTree.iterparse(stream):
                    if element.tag != MAIN + "c":
                        continue
                    value = cell_value(element, shared)
                    if value is not None:
                        cells[place(element.get("r"))] = value
                    element.clear()
            result.sheets.append((entry.get("name"), cells))
    return result


def cell_value(element, shared):
    kind = element.get("t", "n")
    if kind == "inlineStr":
        inline = element.find(MAIN + "is")
        text = string_item(inline) if inline is not None else ""
        return ("s", text) if text else None
    v = element.find(MAIN + "v")
    if v is None or v.text is None:
        return None
    if kind == "n":
        return ("n", float(v.text))
    if kind == "s":
        text = shared[int(v.text)]
        return ("s", text) if text else None
    if kind == "str":
        text = unescape(v.text)
        return ("s", text) if text else None
    if kind == "b":
        return ("b", v.text.strip() not in ("0", "false"))
    if kind == "e":
        return ("e", v.text)
    return None


# --- The programs -------------------------------------------------------------------------

def run_within(args, seconds, env=None, cwd=None):
    """Runs `args` in a process group of its own, killed whole past `seconds`; (exit status or
    None when it ran out of time, output)."""
    process = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                               env=env, cwd=cwd, start_new_session=True)
    try:
        output, _ = process.communicate(timeout=seconds)
        status = process.returncode
    except subprocess.TimeoutExpired:
        status = None
        output = b""
    try:
        os.killpg(process.pid, signal.SIGKILL)  # what it left running, or all of it past the limit
    except ProcessLookupError:
        pass
    if status is None:
        process.communicate()
    return status, output.decode(errors="replace")


def program_environment(scratch):
    # A home of their own: the programs keep settings there, which should neither come from nor
    # go to the user's.
    env = dict(os.environ)
    env["HOME"] = os.path.join(scratch, "home")
    os.makedirs(env["HOME"], exist_ok=True)
    return env


def read_with_libreoffice(paths, scratch, seconds):
    """{path: Book or reason} for each workbook, as LibreOffice reads it: soffice runs over
    copies of them all, named by their place in the list. A workbook LibreOffice stops at (it
    converts in order, and writes nothing more after one it cannot get past) is said so, and
    the run goes on after it in a new soffice."""
    batch = os.path.join(scratch, "libreoffice")
    inputs, outputs = os.path.join(batch, "in"), os.path.join(batch, "out")
    os.makedirs(inputs)
    os.makedirs(outputs)
    copies = []
    for index, path in enumerate(paths):
        copies.append(os.path.join(inputs, "w%04d.xls" % index))
        shutil.copyfile(path, copies[-1])
    made = [os.path.join(outputs, "w%04d.xlsx" % index) for index in range(len(paths))]
    reasons = {}
    pending = list(range(len(paths)))
    deadline = time.monotonic() + seconds
    while pending:
        left = deadline - time.monotonic()
        if left <= 0:
            break
        status, log = run_within(
            ["soffice", "-env:UserInstallation=file://" + os.path.join(batch, "profile"), "--headless", "--norestore",
             "--nolockcheck", "--convert-to", "xlsx:Calc MS Excel 2007 XML", "--outdir", outputs] + [copies[i] for i in pending],
            left, env=program_environment(scratch))
        if status is None:
            break
        missing = [i for i in pending if not os.path.exists(made[i])]
        if not missing or missing == pending and len(pending) == 1:
            pending = missing
            break
        reasons[missing[0]] = "LibreOffice wrote nothing"  # the one it stopped at
        pending = missing[1:]
    results = {}
    for index, path in enumerate(paths):
        if os.path.exists(made[index]):
            results[path] = read_saved(made[index], "LibreOffice")
        elif index in pending and time.monotonic() >= deadline:
            results[path] = "LibreOffice ran out of time (%d s)" % seconds
        else:
            results[path] = reasons.get(index, "LibreOffice wrote nothing")
    shutil.rmtree(batch, ignore_errors=True)
    return results


def read_with_gnumeric(path, scratch, seconds):
    """The workbook as Gnumeric reads it, or a string saying why not."""
    made = os.path.join(scratch, "gnumeric.xlsx")
    if os.path.exists(made):
        os.remove(made)
    status, log = run_within(["ssconvert", "-T", "Gnumeric_Excel:xlsx", path, made], seconds,
                             env=program_environment(scratch))
    if status is None:
        return "Gnumeric ran out of time (%d s)" % seconds
    if status != 0 or not os.path.exists(made):
        return "Gnumeric: %s" % (log.strip().splitlines() or ["exit %d" % status])[-1][:200]
    return read_saved(made, "Gnumeric")


def read_saved(made, who):
    try:
        return read_xlsx(made)
    except (zipfile.BadZipFile, ElementTree.ParseError, KeyError, ValueError) as error:
        return "%s's .xlsx does not read: %s" % (who, error)


def missing_readers():
    """What of the three readers this machine lacks, in words ([] when all are there)."""
    missing = []
    if shutil.which("soffice") is None:
        missing.append("soffice (LibreOffice Calc, package libreoffice-calc-nogui)")
    if shutil.which("ssconvert") is None:
        missing.append("ssconvert (Gnumeric, package gnumeric)")
    try:
        import xlrd  # noqa: F401
    except ImportError:
        missing.append("xlrd for %s (package python3-xlrd)" % sys.executable)
    return missing
