# Installs the Debian packages given that are not installed yet (sourced by the scripts).
ensure_packages() {
    local missing=() package
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local sudo=()
    [ "$(id -u)" -ne 0 ] && sudo=(sudo)
    echo "Installing: ${missing[*]}"
    "${sudo[@]}" apt-get update
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
}

# What building and testing needs.
BUILD_PACKAGES=(cmake ninja-build g++ make libgtest-dev libgmock-dev qt6-base-dev libgl-dev
    fonts-liberation2 fonts-urw-base35 fonts-dejavu-core
    desktop-file-utils appstream dpkg-dev file python3-xlrd)

# The spreadsheet programs users read workbooks with, which the readers' tests hold the
# program to (tests/readers): LibreOffice Calc, Gnumeric and xlrd read; they, xlwt and Perl's
# Spreadsheet::WriteExcel write the workbooks of the writer matrix.
READER_PACKAGES=(libreoffice-calc-nogui gnumeric python3 python3-xlrd python3-xlwt perl libspreadsheet-writeexcel-perl)

# What the fuzz targets need (scripts/test builds them): clang, and the runtime with
# libFuzzer and the sanitizers, which clang only recommends.
FUZZ_PACKAGES=(clang libclang-rt-14-dev)

# What the Windows build needs (scripts/build-windows): MinGW-w64's compiler with POSIX
# threads, googletest's sources, and Wine to run the test programs.
WINDOWS_PACKAGES=(cmake ninja-build g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 googletest
    wine wine64 python3)

# What building Qt for Windows from Debian's sources needs (scripts/build-qt-windows): apt's
# source fetching and unpacking, and Debian's own Qt of the same version, whose tools (moc, rcc,
# uic) the cross build runs.
QT_WINDOWS_PACKAGES=(dpkg-dev cmake ninja-build g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
    qt6-base-dev qt6-base-dev-tools python3)

# What the window's Windows build needs besides (scripts/build-windows, once Qt for Windows is
# built): the host tools of the same Qt, and the fonts its headless tests draw with.
WINDOWS_GUI_PACKAGES=(qt6-base-dev qt6-base-dev-tools fonts-liberation2 fonts-urw-base35 fonts-dejavu-core)
