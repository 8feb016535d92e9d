#!/usr/bin/env bash
# Makes large .xls workbooks for tabulon-recovery: mixed numbers and texts in three sheets,
# about 10, 25 and 40 MB (or the sizes given, in MB), written by Gnumeric's ssconvert from
# one CSV file per sheet (LibreOffice, one sheet, where ssconvert is missing). Workbooks of
# more than about 7 MB list more allocation-table sectors than the header holds (109), so
# their table goes on in DIFAT sectors.
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
    [[ $mb =~ ^[1-9][0-9]*$ && $mb -le 200 ]] || { echo "$0: size '$mb' is no whole number of MB from 1 to 200" >&2; exit 2; }
done

mkdir -p "$out"
scratch=$(mktemp -d "${TMPDIR:-/tmp}/tabulon-large-XXXXXX")
trap 'rm -rf "$scratch"' EXIT

# One sheet: `rows` rows of 20 columns, four kinds taking turns: whole numbers, numbers with
# four decimals, texts unique to their cell, and texts from a vocabulary of 500 words (so
# the shared-string table holds both many and repeated strings). A header row names the
# columns. Deterministic for a given seed.
write_sheet() {
    local rows=$1 seed=$2 file=$3
    awk -v rows="$rows" -v seed="$seed" 'BEGIN {
        srand(seed)
        line = ""
        for (c = 0; c < 20; c++) line = line (c ? "," : "") "col" c
        print line
        for (r = 1; r <= rows; r++) {
            line = ""
            for (c = 0; c < 20; c++) {
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

# About 20 bytes of workbook per cell, as both programs write these cells: 2,600 rows of 20
# cells per MB, over three sheets (65,536 rows at most each).
for mb in "${sizes[@]}"; do
    rows=$(( mb * 2600 / 3 ))
    name=large-${mb}mb
    csvs=()
    for sheet in 1 2 3; do
        csv=$scratch/$name-sheet$sheet.csv
        write_sheet "$rows" "$(( mb * 10 + sheet ))" "$csv"
        csvs+=("$csv")
    done
    target=$out/$name.xls
    rm -f "$target"
    if command -v ssconvert > /dev/null; then
        ssconvert -T Gnumeric_Excel:excel_biff8 --merge-to="$target" "${csvs[@]}" > "$scratch/log" 2>&1 ||
            { cat "$scratch/log" >&2; exit 1; }
    elif command -v soffice > /dev/null; then
        # One sheet: LibreOffice converts one CSV file into one workbook.
        cat "${csvs[@]}" > "$scratch/$name.csv"
        soffice "-env:UserInstallation=file://$scratch/profile" --headless --norestore \
            --convert-to 'xls:MS Excel 97' --outdir "$scratch" "$scratch/$name.csv" > "$scratch/log" 2>&1 ||
            { cat "$scratch/log" >&2; exit 1; }
        mv "$scratch/$name.xls" "$target"
    else
        echo "$0: neither ssconvert (gnumeric) nor soffice (libreoffice-calc) is on PATH" >&2
        exit 1
    fi
    [[ -s $target ]] || { echo "$0: no $target written" >&2; cat "$scratch/log" >&2; exit 1; }
    # The header's counts: allocation-table sectors (offset 44) and DIFAT sectors (offset 72).
    table=$(od -An -tu4 -j44 -N4 "$target" | tr -d ' ')
    difat=$(od -An -tu4 -j72 -N4 "$target" | tr -d ' ')
    echo "$target: $(stat -c %s "$target") bytes, 3 sheets of $rows rows, $table table sectors, $difat DIFAT sectors"
    rm -f "${csvs[@]}"
done
