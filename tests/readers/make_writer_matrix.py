#!/usr/bin/python3
"""Writes the writer matrix: .xls workbooks from every .xls writer Debian packages.

    make_writer_matrix.py OUT_DIR

LibreOffice Calc writes BIFF8 ("MS Excel 97") from flat ODF sources made here (its "MS Excel
95" filter only imports: LibreOffice 7.4 writes no BIFF5); Gnumeric writes BIFF7, BIFF8 and
the dual-stream file from the same sources; python's xlwt and Perl's Spreadsheet::WriteExcel write from code. The content is
what real workbooks hold: subnormal, huge and tiny numbers, -0, errors, booleans, formulas with
cached numeric, text, boolean and error results, 1904 dates, long and rich and Unicode strings,
256 columns, a sheet of 65,536 rows, many sheets with Unicode names, merged cells, comments and
a chart. Everything is made from this file alone, so two runs write the same workbooks (the
writers' own time stamps aside).

Prints one line a workbook written; exit status 0 when every writer wrote its workbooks, 1 when
one failed (what it said is printed), 2 for a bad command line.
"""

import os
import shutil
import subprocess
import sys
import tempfile
import zipfile
from xml.sax.saxutils import escape, quoteattr

SUBNORMAL = 2.0 ** -1070
LONG_TEXT = "".join(chr(0x41 + i % 26) for i in range(9000)) + " end"       # 9,004 bytes as 8-bit
LONG_UNICODE = "Grüße, κόσμε, 世界 " * 700                                    # 11,200 chars, 16-bit
SHEET_NAMES = ["Übersicht", "Данные", "数据", "Ελληνικά", "ÄÖÜ äöü ß"]

ODF_NAMESPACES = (
    'xmlns:office="urn:oasis:names:tc:opendocument:xmlns:office:1.0" '
    'xmlns:table="urn:oasis:names:tc:opendocument:xmlns:table:1.0" '
    'xmlns:text="urn:oasis:names:tc:opendocument:xmlns:text:1.0" '
    'xmlns:style="urn:oasis:names:tc:opendocument:xmlns:style:1.0" '
    'xmlns:fo="urn:oasis:names:tc:opendocument:xmlns:xsl-fo-compatible:1.0" '
    'xmlns:number="urn:oasis:names:tc:opendocument:xmlns:datastyle:1.0" '
    'xmlns:dc="http://purl.org/dc/elements/1.1/" '
    'xmlns:of="urn:oasis:names:tc:opendocument:xmlns:of:1.2"')


# --- Flat ODF sources, for LibreOffice and Gnumeric -------------------------------------

def number(value):
    return '<table:table-cell office:value-type="float" office:value="%s"/>' % repr(float(value))


def text(value, spanned=0):
    span = ' table:number-columns-spanned="%d" table:number-rows-spanned="1"' % spanned if spanned else ""
    return '<table:table-cell office:value-type="string"%s><text:p>%s</text:p></table:table-cell>' % (span, escape(value))


def rich(parts):
    runs = "".join('<text:span text:style-name="T1">%s</text:span>' % escape(p) if bold else escape(p) for p, bold in parts)
    return '<table:table-cell office:value-type="string"><text:p>%s</text:p></table:table-cell>' % runs


def boolean(value):
    return '<table:table-cell office:value-type="boolean" office:boolean-value="%s"/>' % ("true" if value else "false")


def formula(expression, cached=None):
    # The cached result where ODF can hold one; an error result it cannot, and is calculated.
    if cached is None:
        return '<table:table-cell table:formula=%s/>' % quoteattr("of:=" + expression)
    if isinstance(cached, bool):
        return ('<table:table-cell table:formula=%s office:value-type="boolean" office:boolean-value="%s"/>'
                % (quoteattr("of:=" + expression), "true" if cached else "false"))
    if isinstance(cached, str):
        return ('<table:table-cell table:formula=%s office:value-type="string" office:string-value=%s/>'
                % (quoteattr("of:=" + expression), quoteattr(cached)))
    return ('<table:table-cell table:formula=%s office:value-type="float" office:value="%s"/>'
            % (quoteattr("of:=" + expression), repr(float(cached))))


def date(iso):
    return '<table:table-cell table:style-name="ce1" office:value-type="date" office:date-value="%s"/>' % iso


def commented(cell_text, note):
    return ('<table:table-cell office:value-type="string"><office:annotation><dc:creator>Tabulon</dc:creator>'
            '<text:p>%s</text:p></office:annotation><text:p>%s</text:p></table:table-cell>' % (escape(note), escape(cell_text)))


def row(cells, repeated=1):
    times = ' table:number-rows-repeated="%d"' % repeated if repeated > 1 else ""
    return "<table:table-row%s>%s</table:table-row>" % (times, "".join(cells))


def sheet(name, rows):
    return "<table:table table:name=%s>%s</table:table>" % (quoteattr(name), "".join(rows))


def fods(sheets, dates_1904=False):
    """A flat ODF spreadsheet; ods() packs the same content into the zipped file Gnumeric reads."""
    null_date = ('<table:calculation-settings><table:null-date table:date-value="1904-01-01"/>'
                 '</table:calculation-settings>' if dates_1904 else "")
    return ('<?xml version="1.0" encoding="UTF-8"?>\n<office:document %s office:version="1.2" '
            'office:mimetype="application/vnd.oasis.opendocument.spreadsheet">'
            '<office:automatic-styles>'
            '<style:style style:name="T1" style:family="text"><style:text-properties fo:font-weight="bold"/></style:style>'
            '<number:date-style style:name="N1"><number:year number:style="long"/><number:text>-</number:text>'
            '<number:month number:style="long"/><number:text>-</number:text><number:day number:style="long"/></number:date-style>'
            '<style:style style:name="ce1" style:family="table-cell" style:data-style-name="N1"/>'
            '</office:automatic-styles><office:body><office:spreadsheet>%s%s</office:spreadsheet></office:body>'
            '</office:document>\n' % (ODF_NAMESPACES, null_date, "".join(sheets)))


# One workbook a kind of content, so that a reader or the program stumbling over one kind
# leaves the others to be held to the readers.
def numbers_sheets():
    return [sheet("Numbers", [
        row([number(1.7976931348623157e308), number(2.2250738585072014e-308), number(-0.0), number(0.1),
             number(1 / 3), number(-123456789012345.0), number(4294967296.5), number(1e-300)]),
        row([boolean(True), boolean(False)]),
        row([formula("1/0"), formula("NA()")]),
        row([date("2008-03-04"), date("1904-01-02"), date("1999-12-31")]),
    ])]


def subnormal_sheets():
    return [sheet("Subnormal", [row([number(1e-310), number(SUBNORMAL), number(-SUBNORMAL)])])]


def subnormal_formulas_sheets():
    # (LibreOffice works these out again when it reads another writer's workbook, to #NUM!.)
    return [sheet("Subnormal", [row([formula("2^-1070", SUBNORMAL), formula("-(2^-1070)", -SUBNORMAL)])])]


def formulas_sheets():
    return [sheet("Formulas", [
        row([formula("1/3", 1 / 3), formula("1E300*1E8", 1e308), formula("0*-1", 0.0), formula("-1/3", -1 / 3)]),
        row([formula("\"ab\"&\"cd\"", "abcd"), formula("REPT(\"x\";300)", "x" * 300)]),
        row([formula("1>0", True), formula("1<0", False)]),
        row([formula("1/0"), formula("NA()")]),
    ])]


def text_sheets():
    wide = [row(['<table:table-cell office:value-type="float" office:value="%d"/>' % (c + 1) for c in range(256)]),
            row([text("col %d" % c) for c in range(256)])]
    return [sheet("Text", [
        row([text(LONG_TEXT)]),
        row([text(LONG_UNICODE), text("ℵ₀ ≠ ∞; 𝄞 ♫")]),
        row([rich([("bold ", True), ("plain ", False), ("bold again", True)])]),
        row([text("merged over three", spanned=3), '<table:covered-table-cell table:number-columns-repeated="2"/>',
             commented("with a comment", "A comment, with Ümlauts")]),
    ]), sheet("Wide", wide)] + [sheet(name, [row([text(name), number(i)])]) for i, name in enumerate(SHEET_NAMES)] + [
        sheet("S%02d" % i, [row([number(i), text("sheet %d" % i)])]) for i in range(20)]


def matrix_fods():
    """The flat ODF sources: name -> text."""
    dates = fods([sheet("Dates 1904", [row([date("1904-01-01"), date("1904-01-02"), date("2024-02-29")]),
                                       row([text("a"), number(1.5)])])], dates_1904=True)
    # 65,536 rows, kept small: a cell in the first row and two in the last.
    rows = fods([sheet("Rows", [row([text("first")]), row(['<table:table-cell/>'], 65534),
                                row([text("last"), number(65536)])])])
    return {"numbers": fods(numbers_sheets()), "subnormal": fods(subnormal_sheets()),
            "subnormal-formulas": fods(subnormal_formulas_sheets()),
            "formulas": fods(formulas_sheets()), "text": fods(text_sheets()), "dates1904": dates, "rows": rows}


ODS_MANIFEST = ('<?xml version="1.0" encoding="UTF-8"?>\n'
                '<manifest:manifest xmlns:manifest="urn:oasis:names:tc:opendocument:xmlns:manifest:1.0" manifest:version="1.2">'
                '<manifest:file-entry manifest:full-path="/" manifest:media-type="application/vnd.oasis.opendocument.spreadsheet"/>'
                '<manifest:file-entry manifest:full-path="content.xml" manifest:media-type="text/xml"/>'
                '</manifest:manifest>\n')


def ods(flat, path):
    """Packs a flat ODF spreadsheet as a zipped one (Gnumeric reads no flat ODF): the same
    content, its root element renamed."""
    content = flat.replace("<office:document ", "<office:document-content ", 1).replace(
        "</office:document>", "</office:document-content>")
    with zipfile.ZipFile(path, "w") as package:
        package.writestr(zipfile.ZipInfo("mimetype", (1980, 1, 1, 0, 0, 0)), "application/vnd.oasis.opendocument.spreadsheet")
        package.writestr(zipfile.ZipInfo("META-INF/manifest.xml", (1980, 1, 1, 0, 0, 0)), ODS_MANIFEST, zipfile.ZIP_DEFLATED)
        package.writestr(zipfile.ZipInfo("content.xml", (1980, 1, 1, 0, 0, 0)), content, zipfile.ZIP_DEFLATED)


# --- The writers ----------------------------------------------------------------------

class WriterFailed(Exception):
    pass


def run(args, cwd=None, timeout=120):
    done = subprocess.run(args, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=timeout)
    if done.returncode != 0:
        raise WriterFailed("%s exited %d: %s" % (args[0], done.returncode, done.stdout.decode(errors="replace")[-2000:]))
    return done.stdout.decode(errors="replace")


def libreoffice(sources, out, scratch):
    profile = os.path.join(scratch, "lo-profile")
    written = []
    for filter_name, tag in (("MS Excel 97", "biff8"),):
        folder = os.path.join(scratch, "lo-" + tag)
        os.makedirs(folder, exist_ok=True)
        run(["soffice", "-env:UserInstallation=file://" + profile, "--headless", "--norestore", "--nolockcheck",
             "--convert-to", "xls:" + filter_name, "--outdir", folder] + sources, timeout=300)
        for source in sources:
            base = os.path.splitext(os.path.basename(source))[0]
            made = os.path.join(folder, base + ".xls")
            if not os.path.exists(made):
                raise WriterFailed("LibreOffice wrote no %s from %s" % (filter_name, source))
            target = os.path.join(out, "libreoffice-%s-%s.xls" % (tag, base))
            shutil.move(made, target)
            written.append(target)
    return written


def gnumeric(sources, out):
    written = []
    for source in sources:
        base = os.path.splitext(os.path.basename(source))[0]
        for exporter in ("excel_biff7", "excel_biff8", "excel_dsf"):
            target = os.path.join(out, "gnumeric-%s-%s.xls" % (exporter.replace("excel_", ""), base))
            run(["ssconvert", "-T", "Gnumeric_Excel:" + exporter, source, target])
            written.append(target)
    return written


XLWT_SCRIPT = r'''
import sys, xlwt
out = sys.argv[1]
SUBNORMAL = 2.0 ** -1070
dates = xlwt.easyxf(num_format_str="yyyy-mm-dd")

book = xlwt.Workbook()
numbers = book.add_sheet("Numbers")
for c, v in enumerate([1.7976931348623157e308, 2.2250738585072014e-308, -0.0, 0.1, 1 / 3, -123456789012345.0,
                       4294967296.5, 1e-300, 7, -7]):
    numbers.write(0, c, v)
numbers.write(1, 0, True)
numbers.write(1, 1, False)
numbers.row(2).set_cell_error(0, 0x07)  # #DIV/0!
numbers.row(2).set_cell_error(1, 0x2A)  # #N/A (xlwt knows no "#N/A" by name)
numbers.write(3, 0, 39511.0, dates)
book.save(out + "/xlwt-numbers.xls")

book = xlwt.Workbook()
subnormal = book.add_sheet("Subnormal")
for c, v in enumerate([1e-310, SUBNORMAL, -SUBNORMAL]):
    subnormal.write(0, c, v)
book.save(out + "/xlwt-subnormal.xls")

# xlwt writes no formula's result: every reader but xlrd works it out.
book = xlwt.Workbook()
formulas = book.add_sheet("Formulas")
formulas.write(0, 0, xlwt.Formula("1/3"))
formulas.write(0, 1, xlwt.Formula('"ab"&"cd"'))
book.save(out + "/xlwt-formulas.xls")

book = xlwt.Workbook(encoding="utf-8")
texts = book.add_sheet("Text")
texts.write(0, 0, %(long)r)
texts.write(1, 0, %(unicode)r)
texts.write(1, 1, "ℵ₀ ≠ ∞; 𝄞 ♫")
texts.write_rich_text(2, 0, ["plain ", ("bold", xlwt.easyfont("bold on")), " plain"])
texts.write_merge(3, 4, 0, 2, "merged 2x3")
wide = book.add_sheet("Wide")
for c in range(256):
    wide.write(0, c, c + 1)
    wide.write(1, c, "c%%d" %% c)
for i, name in enumerate(%(names)r):
    book.add_sheet(name).write(0, 0, name)
for i in range(30):
    book.add_sheet("S%%02d" %% i).write(0, 0, i)
book.save(out + "/xlwt-text.xls")

book = xlwt.Workbook()
tall = book.add_sheet("Rows")
for r in range(65536):
    tall.write(r, 0, r)
book.save(out + "/xlwt-rows.xls")

book = xlwt.Workbook()
book.dates_1904 = True
old = book.add_sheet("Dates 1904")
old.write(0, 0, 1.0, dates)
old.write(0, 1, 43890.0, dates)
old.write(1, 0, "a")
book.save(out + "/xlwt-dates1904.xls")
'''

XLWT_BOOKS = ["numbers", "subnormal", "formulas", "text", "rows", "dates1904"]

PERL_SCRIPT = r'''
use strict;
use warnings;
use utf8;
use Spreadsheet::WriteExcel;
my $out = shift;
my $subnormal = 2 ** -1070;

sub book {
    my $book = Spreadsheet::WriteExcel->new("$out/writeexcel-$_[0].xls") or die "cannot write: $!";
    return $book;
}

my $book = book("numbers");
my $numbers = $book->add_worksheet("Numbers");
my @values = (1.7976931348623157e308, 2.2250738585072014e-308, -0.0, 0.1, 1 / 3, -123456789012345.0, 1e-300);
$numbers->write_number(0, $_, $values[$_]) for 0 .. $#values;
$numbers->write_date_time(1, 0, "2008-03-04T", $book->add_format(num_format => "yyyy-mm-dd"));
$book->close() or die "cannot close: $!";

$book = book("subnormal");
my $subnormals = $book->add_worksheet("Subnormal");
$subnormals->write_number(0, 0, 1e-310);
$subnormals->write_number(0, 1, $subnormal);
$book->close() or die "cannot close: $!";

$book = book("subnormal-formulas");
$subnormals = $book->add_worksheet("Subnormal");
$subnormals->write_formula(0, 0, "=2^-1070", undef, sprintf("%%.17g", $subnormal));
$book->close() or die "cannot close: $!";

# Formulas with the results Excel would have cached.
$book = book("formulas");
my $formulas = $book->add_worksheet("Formulas");
$formulas->write_formula(0, 0, "=1/3", undef, 1 / 3);
$formulas->write_formula(0, 1, "=1E300*1E8", undef, "1e308");
$formulas->write_formula(1, 0, '="ab"&"cd"', undef, "abcd");
$formulas->write_formula(2, 0, "=1>0", undef, "TRUE");
$formulas->write_formula(2, 1, "=1<0", undef, "FALSE");
$formulas->write_formula(3, 0, "=1/0", undef, "#DIV/0!");
$formulas->write_formula(3, 1, "=NA()", undef, "#N/A");
$book->close() or die "cannot close: $!";

$book = book("text");
my $texts = $book->add_worksheet("Text");
$texts->write_string(0, 0, "%(long)s");
$texts->write_string(1, 0, "%(unicode)s");
$texts->merge_range(2, 0, 3, 2, "merged 2x3", $book->add_format(align => "center"));
$texts->write_string(4, 0, "with a comment");
$texts->write_comment(4, 0, "A comment, with Ümlauts");
my $wide = $book->add_worksheet("Wide");
$wide->write_number(0, $_, $_ + 1) for 0 .. 255;
my @names = (%(names)s);
$book->add_worksheet($_)->write_string(0, 0, $_) for @names;
$book->add_worksheet(sprintf("S%%02d", $_))->write_number(0, 0, $_) for 0 .. 29;
$book->close() or die "cannot close: $!";

# A chart embedded in a sheet (a chart sheet of its own is no sheet to xlrd).
$book = book("chart");
my $data = $book->add_worksheet("Data");
$data->write(0, $_, $_ + 1) for 0 .. 4;
my $chart = $book->add_chart(type => "column", embedded => 1);
$chart->add_series(values => "=Data!\$A\$1:\$E\$1", name => "series");
$data->insert_chart("B3", $chart);
$book->close() or die "cannot close: $!";

$book = book("dates1904");
$book->set_1904();
my $dates = $book->add_worksheet("Dates 1904");
my $format = $book->add_format(num_format => "yyyy-mm-dd");
$dates->write_date_time(0, 0, "1904-01-02T", $format);
$dates->write_date_time(0, 1, "2024-02-29T", $format);
$dates->write_string(1, 0, "a");
$book->close() or die "cannot close: $!";
'''

WRITEEXCEL_BOOKS = ["numbers", "subnormal", "subnormal-formulas", "formulas", "text", "chart", "dates1904"]


def perl_string(value):
    return value.replace("\\", "\\\\").replace('"', '\\"').replace("$", "\\$").replace("@", "\\@")


def xlwt(out, scratch):
    script = os.path.join(scratch, "xlwt_matrix.py")
    with open(script, "w", encoding="utf-8") as f:
        f.write(XLWT_SCRIPT % {"long": LONG_TEXT, "unicode": LONG_UNICODE, "names": SHEET_NAMES})
    run(["/usr/bin/python3", script, out])
    return [os.path.join(out, "xlwt-%s.xls" % name) for name in XLWT_BOOKS]


def writeexcel(out, scratch):
    script = os.path.join(scratch, "writeexcel_matrix.pl")
    names = ", ".join('"%s"' % perl_string(n) for n in SHEET_NAMES)
    with open(script, "w", encoding="utf-8") as f:
        f.write(PERL_SCRIPT % {"long": perl_string(LONG_TEXT), "unicode": perl_string(LONG_UNICODE), "names": names})
    run(["perl", script, out])
    return [os.path.join(out, "writeexcel-%s.xls" % name) for name in WRITEEXCEL_BOOKS]


def missing_writers():
    """What of the writers besides LibreOffice and Gnumeric (the readers, whose absence the
    caller tells) this machine lacks, in words ([] when all are there)."""
    missing = [] if shutil.which("perl") else ["perl (package perl)"]
    if subprocess.run(["/usr/bin/python3", "-c", "import xlwt"], stderr=subprocess.DEVNULL).returncode != 0:
        missing.append("xlwt for /usr/bin/python3 (package python3-xlwt)")
    if shutil.which("perl") and subprocess.run(["perl", "-MSpreadsheet::WriteExcel", "-e", "1"],
                                               stderr=subprocess.DEVNULL).returncode != 0:
        missing.append("Spreadsheet::WriteExcel (package libspreadsheet-writeexcel-perl)")
    return missing


def make_matrix(out):
    """Writes every workbook of the matrix into `out`; their paths."""
    os.makedirs(out, exist_ok=True)
    scratch = tempfile.mkdtemp(prefix="tabulon-matrix-")
    try:
        flat, zipped = [], []
        for name, content in matrix_fods().items():
            path = os.path.join(scratch, name + ".fods")
            with open(path, "w", encoding="utf-8") as f:
                f.write(content)
            flat.append(path)
            zipped.append(os.path.join(scratch, name + ".ods"))
            ods(content, zipped[-1])
        written = libreoffice(flat, out, scratch)
        written += gnumeric(zipped, out)
        written += xlwt(out, scratch)
        written += writeexcel(out, scratch)
        return written
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


def main(argv):
    if len(argv) != 2:
        print("usage: make_writer_matrix.py OUT_DIR", file=sys.stderr)
        return 2
    try:
        for path in make_matrix(argv[1]):
            print(path)
    except (WriterFailed, subprocess.TimeoutExpired, OSError) as error:
        print("make_writer_matrix: %s" % error, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
