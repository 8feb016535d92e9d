#!/usr/bin/env bash
# Makes large .xls workbooks for tabulon-recovery, of mixed numbers and texts, about 10, 25
# and 40 MB (or the sizes given, in MB), by each spreadsheet program on PATH:
#   large-NNmb-gnumeric.xls  three sheets, written by Gnumeric's ssconvert from one CSV file
#                            per sheet (its table and DIFAT sectors at the end of the file);
#   large-NNmb-libreoffice.xls  one sheet, written by LibreOffice headless from one CSV file
#                            (it makes one sheet of a CSV file).
# Workbooks of more than about 7 MB list more allocation-table sectors than the header holds
# (109), so their table goes on in DIFAT sectors. Sizes up to 75 MB (a sheet holds 65,536 rows).
#
#   bench/make_large_workbooks.sh OUTDIR [MB...]
#   build/bin/tabulon-recovery --pattern first-table-sector OUTDIR
set -euo pipefail

if [[ $# -lt 1 || $1 == -h || $1 == --help ]]; then
    echo "usage: $0 OUTDIR [MB...]   (default sizes: 10 25 40)" >&2
    exit 2
fi
out=$1
shift
sizes=("$@")
[[ ${#sizes[@]} -gt 0 ]] || sizes=(10 25 40)
for mb in "${sizes[@]}"; do
    [[ $mb =~ ^[1-9][0-9]*$ && $mb -le 75 ]] || { echo "$0: size '$mb' is no whole number of MB from 1 to 75" >&2; exit 2; }
done

mkdir -p "$out"
scratch=$(mktemp -d "${TMPDIR:-/tmp}/tabulon-large-XXXXXX")
trap 'rm -rf "$scratch"' EXIT

# One sheet: `rows` rows of `columns` columns, four kinds taking turns: whole numbers, numbers with
# four decimals, texts unique to their cell, and texts from a vocabulary of 500 words (so
# the shared-string table holds both many and repeated strings). A header row names the
# columns. Deterministic for a given seed.
write_sheet() {
    local rows=$1 columns=$2 seed=$3 file=$4
    awk -v rows="$rows" -v columns="$columns" -v seed="$seed" 'BEGIN {
        srand(seed)
        line = ""
        for (c = 0; c < columns; c++) line = line (c ? "," : "") "col" c
        print line
        for (r = 1; r <= rows; r++) {
            line = ""
            for (c = 0; c < columns; c++) {
                k = c % 4
                if (k == 0) v = int(rand() * 1000000)
                else if (k == 1) v = sprintf("%.4f", rand() * 100000 - 50000)
                else if (k == 2) v = "s" seed "-r" r "-c" c
                else v = "word" int(rand() * 500)
                line = line (c ? "," : "") v
            }
            print line
        }
    }' > "$file"
}

have_gnumeric=$(command -v ssconvert || true)
have_libreoffice=$(command -v soffice || true)
if [[ -z $have_gnumeric && -z $have_libreoffice ]]; then
    echo "$0: neither ssconvert (Debian: gnumeric) nor soffice (Debian: libreoffice-calc-nogui) is on PATH" >&2
    exit 1
fi

report() {
    local target=$1 sheets=$2
    [[ -s $target ]] || { echo "$0: no $target written" >&2; cat "$scratch/log" >&2; exit 1; }
    # The header's counts: allocation-table sectors (offset 44) and DIFAT sectors (offset 72).
    local table difat
    table=$(od -An -tu4 -j44 -N4 "$target" | tr -d ' ')
    difat=$(od -An -tu4 -j72 -N4 "$target" | tr -d ' ')
    echo "$target: $(stat -c %s "$target") bytes, $sheets, $table table sectors, $difat DIFAT sectors"
}

# About 20 bytes of workbook per cell, as both programs write these cells: 52,000 cells per MB,
# as three sheets of 20 columns for Gnumeric, one sheet of 60 columns for LibreOffice (a sheet
# holds 65,536 rows at most).
for mb in "${sizes[@]}"; do
    rows=$(( mb * 2600 / 3 ))
    if [[ -n $have_gnumeric ]]; then
        name=large-${mb}mb-gnumeric
        csvs=()
        for sheet in 1 2 3; do
            csv=$scratch/$name-sheet$sheet.csv
            write_sheet "$rows" 20 "$(( mb * 10 + sheet ))" "$csv"
            csvs+=("$csv")
        done
        target=$out/$name.xls
        rm -f "$target"
        ssconvert -T Gnumeric_Excel:excel_biff8 --merge-to="$target" "${csvs[@]}" > "$scratch/log" 2>&1 ||
            { cat "$scratch/log" >&2; exit 1; }
        report "$target" "3 sheets of $rows rows by 20 columns"
        rm -f "${csvs[@]}"
    fi
    if [[ -n $have_libreoffice ]]; then
        name=large-${mb}mb-libreoffice
        write_sheet "$rows" 60 "$(( mb * 10 ))" "$scratch/$name.csv"
        target=$out/$name.xls
        rm -f "$target"
        soffice "-env:UserInstallation=file://$scratch/profile" --headless --norestore \
            --convert-to 'xls:MS Excel 97' --outdir "$scratch" "$scratch/$name.csv" > "$scratch/log" 2>&1 ||
            { cat "$scratch/log" >&2; exit 1; }
        mv "$scratch/$name.xls" "$target"
        report "$target" "1 sheet of $rows rows by 60 columns"
        rm -f "$scratch/$name.csv"
    fi
done
