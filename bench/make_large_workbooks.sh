#!/usr/bin/env bash
# Makes large .xls workbooks for tabulon-recovery, of mixed numbers and texts, about 1, 10 and
# 100 MB (or the sizes given, in MB), by each spreadsheet program on PATH:
#   large-NNmb-gnumeric.xls  three sheets or more, written by Gnumeric's ssconvert from one CSV
#                            file per sheet (its table and DIFAT sectors at the end of the file);
#   large-NNmb-libreoffice.xls  written by LibreOffice headless: one sheet from one CSV file up
#                            to 60,000 rows (it makes one sheet of a CSV file); past that, the
#                            sheets Gnumeric writes into an OpenDocument file, saved again by
#                            LibreOffice (so it needs ssconvert too).
# Workbooks of more than about 7 MB list more allocation-table sectors than the header holds
# (109), so their table goes on in DIFAT sectors. A sheet holds 65,536 rows, so larger
# workbooks have more sheets of at most 60,000 rows. Sizes up to 300 MB.
#
#   bench/make_large_workbooks.sh OUTDIR [MB...]
#   build/bin/tabulon-recovery --by-workbook OUTDIR
set -euo pipefail

if [[ $# -lt 1 || $1 == -h || $1 == --help ]]; then
    echo "usage: $0 OUTDIR [MB...]   (default sizes: 1 10 100)" >&2
    exit 2
fi
out=$1
shift
sizes=("$@")
[[ ${#sizes[@]} -gt 0 ]] || sizes=(1 10 100)
for mb in "${sizes[@]}"; do
    [[ $mb =~ ^[1-9][0-9]*$ && $mb -le 300 ]] || { echo "$0: size '$mb' is no whole number of MB from 1 to 300" >&2; exit 2; }
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

# `sheets` sheets of `rows` rows by `columns` columns, one CSV file each (seeded from `mb`),
# merged by ssconvert with `exporter` into `target`.
merge_sheets() {
    local name=$1 sheets=$2 rows=$3 columns=$4 mb=$5 exporter=$6 target=$7 sheet csv
    local csvs=()
    for (( sheet = 1; sheet <= sheets; ++sheet )); do
        csv=$scratch/$name-sheet$sheet.csv
        write_sheet "$rows" "$columns" "$(( mb * 10 + sheet ))" "$csv"
        csvs+=("$csv")
    done
    ssconvert -T "$exporter" --merge-to="$target" "${csvs[@]}" > "$scratch/log" 2>&1 ||
        { cat "$scratch/log" >&2; exit 1; }
    rm -f "${csvs[@]}"
}

# About 20 bytes of workbook per cell, as both programs write these cells: 52,000 cells per MB,
# as sheets of 20 columns for Gnumeric (three at least), of 60 columns for LibreOffice; no sheet
# of more than 60,000 rows.
most_rows=60000
for mb in "${sizes[@]}"; do
    cells=$(( mb * 52000 ))
    if [[ -n $have_gnumeric ]]; then
        name=large-${mb}mb-gnumeric
        sheets=$(( (cells / 20 + most_rows - 1) / most_rows ))
        (( sheets >= 3 )) || sheets=3
        rows=$(( cells / 20 / sheets ))
        target=$out/$name.xls
        rm -f "$target"
        merge_sheets "$name" "$sheets" "$rows" 20 "$mb" Gnumeric_Excel:excel_biff8 "$target"
        report "$target" "$sheets sheets of $rows rows by 20 columns"
    fi
    if [[ -n $have_libreoffice ]]; then
        name=large-${mb}mb-libreoffice
        sheets=$(( (cells / 60 + most_rows - 1) / most_rows ))
        rows=$(( cells / 60 / sheets ))
        source=$scratch/$name.csv
        if (( sheets > 1 )); then
            [[ -n $have_gnumeric ]] ||
                { echo "$0: $name needs $sheets sheets, which LibreOffice is given as an OpenDocument file ssconvert (Debian: gnumeric) writes" >&2; exit 1; }
            source=$scratch/$name.ods
            merge_sheets "$name" "$sheets" "$rows" 60 "$mb" Gnumeric_OpenCalc:odf "$source"
        else
            write_sheet "$rows" 60 "$(( mb * 10 ))" "$source"
        fi
        target=$out/$name.xls
        rm -f "$target"
        soffice "-env:UserInstallation=file://$scratch/profile" --headless --norestore \
            --convert-to 'xls:MS Excel 97' --outdir "$scratch" "$source" > "$scratch/log" 2>&1 ||
            { cat "$scratch/log" >&2; exit 1; }
        mv "$scratch/$name.xls" "$target"
        report "$target" "$sheets sheet(s) of $rows rows by 60 columns"
        rm -f "$source"
    fi
done
