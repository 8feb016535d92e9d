#!/usr/bin/env python3
"""Prints every cell of every worksheet of a legacy workbook (.xls), as read by xlrd.

The engine's own cell reader is compared with this output, value for value. One line a
sheet, then one line a cell, tab-separated:

    sheet  <index>  <name>
    cell   <sheet index>  <row>  <column>  <type>  <value>  <format>

<name> and text values are JSON strings; numbers are written with repr(), so that they read
back as the same double; booleans are 0 or 1; errors are the error code (7 for #DIV/0!).
<type> is number, text, boolean or error (xlrd's dates are numbers here, as in the file; with
--dates they are of type date, their value the number all the same);
<format> is the cell's XF index, or -1 when xlrd cannot give it. Empty and blank cells are
not printed.

Usage: read_cells.py [--dates] WORKBOOK.xls

Exit status: 0 when read, 2 for a bad command line, 3 when xlrd is missing, 4 when xlrd
cannot read the workbook (an encrypted one, say).
"""

import json
import sys

try:
    import xlrd
except ImportError:
    print("xlrd is not installed", file=sys.stderr)
    sys.exit(3)

TYPES = {
    xlrd.XL_CELL_NUMBER: "number",
    xlrd.XL_CELL_DATE: "number",
    xlrd.XL_CELL_TEXT: "text",
    xlrd.XL_CELL_BOOLEAN: "boolean",
    xlrd.XL_CELL_ERROR: "error",
}


def open_book(path, encoding=None):
    # Formatting information gives the XF indexes; xlrd does not give it for every workbook.
    try:
        return xlrd.open_workbook(path, formatting_info=True, logfile=sys.stderr, verbosity=0,
                                  encoding_override=encoding), True
    except NotImplementedError:
        return xlrd.open_workbook(path, logfile=sys.stderr, verbosity=0, encoding_override=encoding), False


def open_book_as_engine_does(path):
    # A BIFF5 workbook without a CODEPAGE record is read by xlrd as ASCII; the engine takes
    # such a workbook to be in Windows code page 1252, and so is xlrd asked to when ASCII fails.
    try:
        return open_book(path)
    except UnicodeDecodeError:
        print("%s: not ASCII without a CODEPAGE record, read as cp1252" % path, file=sys.stderr)
        return open_book(path, "cp1252")


def value_text(kind, value):
    if kind in ("number", "date"):
        return repr(float(value))
    if kind == "text":
        return json.dumps(value, ensure_ascii=False)
    return str(int(value))


def main(argv):
    dates = len(argv) == 3 and argv[1] == "--dates"
    if len(argv) != 2 and not dates:
        print("usage: read_cells.py [--dates] WORKBOOK.xls", file=sys.stderr)
        return 2
    path = argv[-1]
    try:
        book, formatted = open_book_as_engine_does(path)
    except Exception as error:  # xlrd raises its own and several standard exceptions
        print("xlrd cannot read %s: %s" % (path, error), file=sys.stderr)
        return 4
    out = []
    for index in range(book.nsheets):
        sheet = book.sheet_by_index(index)
        out.append("sheet\t%d\t%s" % (index, json.dumps(sheet.name, ensure_ascii=False)))
        for row in range(sheet.nrows):
            for column in range(sheet.row_len(row)):
                cell = sheet.cell(row, column)
                kind = "date" if dates and cell.ctype == xlrd.XL_CELL_DATE else TYPES.get(cell.ctype)
                if kind is None:
                    continue
                xf = cell.xf_index if formatted and cell.xf_index is not None else -1
                out.append("cell\t%d\t%d\t%d\t%s\t%s\t%d" % (index, row, column, kind, value_text(kind, cell.value), xf))
    sys.stdout.buffer.write(("\n".join(out) + "\n").encode("utf-8"))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
