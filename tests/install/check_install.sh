#!/usr/bin/env bash
# The installed tree and the Debian package: every file in its place, the desktop entry and
# the metainfo valid, and the package holding exactly what the install puts down.
set -euo pipefail
build=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

cmake --install "$build" --prefix "$scratch/usr" >/dev/null
(cd "$scratch/usr" && find . -type f | sort) > "$scratch/installed"
cat > "$scratch/expected" <<'LIST'
./bin/tabulon
./bin/tabulon-repair
./share/applications/tabulon.desktop
./share/doc/tabulon/changelog.gz
./share/doc/tabulon/copyright
./share/icons/hicolor/128x128/apps/tabulon.png
./share/icons/hicolor/16x16/apps/tabulon.png
./share/icons/hicolor/32x32/apps/tabulon.png
./share/icons/hicolor/48x48/apps/tabulon.png
./share/icons/hicolor/64x64/apps/tabulon.png
./share/icons/hicolor/scalable/apps/tabulon.svg
./share/man/man1/tabulon-repair.1.gz
./share/man/man1/tabulon.1.gz
./share/metainfo/example.quorvex.Tabulon.metainfo.xml
./share/tabulon/help.html
LIST
diff -u "$scratch/expected" "$scratch/installed"

desktop-file-validate "$scratch/usr/share/applications/tabulon.desktop"
grep -q '^Exec=tabulon %F$' "$scratch/usr/share/applications/tabulon.desktop"
grep -q '^MimeType=application/vnd.ms-excel;' "$scratch/usr/share/applications/tabulon.desktop"
appstreamcli validate --no-net "$scratch/usr/share/metainfo/example.quorvex.Tabulon.metainfo.xml" >/dev/null
for size in 16 32 48 64 128; do
    file "$scratch/usr/share/icons/hicolor/${size}x${size}/apps/tabulon.png" | grep -q "${size} x ${size}"
done
zcat "$scratch/usr/share/man/man1/tabulon-repair.1.gz" | grep -q '^\.TH TABULON-REPAIR 1'
"$scratch/usr/bin/tabulon-repair" --version | grep -q '5\.0\.1'

# The package, made from this build, holds the same files under /usr.
(cd "$build" && cpack -G DEB -B "$scratch/package" >/dev/null)
deb=$(ls "$scratch"/package/tabulon_5.0.1_*.deb)
dpkg-deb -c "$deb" | awk '{print $6}' | grep -v '/$' | sed 's|^\./usr/|./|' | sort > "$scratch/packaged"
diff -u "$scratch/installed" "$scratch/packaged"
dpkg-deb -f "$deb" Depends | grep -q 'libqt6widgets6'
# The fonts the window is drawn with are recommended.
recommends=$(dpkg-deb -f "$deb" Recommends)
for font in fonts-liberation2 fonts-urw-base35 fonts-dejavu-core; do
    echo "$recommends" | grep -qw "$font" || { echo "the package does not recommend $font" >&2; exit 1; }
done
echo "install and package checked"
