# Where scripts/build-qt-windows puts Qt for Windows, and how it configures it (sourced by the
# scripts; needs packages.sh). The folder's name carries the version of Debian's Qt sources
# (the same as the host tools the cross build runs, qt6-base-dev-tools) and a digest of the
# options and the compiler, so that a change to either gives a new folder, built afresh.

# Core, Gui and Widgets (and Test, which the window's tests use), static, with the Windows
# platform plugin, the offscreen one the tests run on, and the styles; nothing else.
QT_WINDOWS_OPTIONS=(
    -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=OFF
    -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF
    -DFEATURE_sql=OFF -DFEATURE_network=OFF -DFEATURE_dbus=OFF -DFEATURE_opengl=OFF
    -DFEATURE_printsupport=OFF -DFEATURE_concurrent=OFF -DFEATURE_xml=OFF -DFEATURE_vulkan=OFF
    -DFEATURE_testlib=ON -DFEATURE_widgets=ON
)

# The version of Debian's Qt 6 host tools, which the Qt for Windows must match.
qt_windows_version() {
    dpkg-query -W -f='${Version}' qt6-base-dev-tools 2>/dev/null || true
}

# Prints the cache folder for the installed host tools (which need not exist yet).
qt_windows_prefix() {
    local version digest
    version=$(qt_windows_version)
    [ -n "$version" ] || { echo "qt-windows: qt6-base-dev-tools is not installed" >&2; return 1; }
    digest=$({
        echo "$version"
        printf '%s\n' "${QT_WINDOWS_OPTIONS[@]}"
        x86_64-w64-mingw32-g++-posix --version 2>/dev/null | head -n1
        cat cmake/mingw-w64-x86_64.cmake
    } | sha256sum | cut -c1-10)
    echo "${XDG_CACHE_HOME:-$HOME/.cache}/tabulon/qt-${version%%+*}-mingw-w64-$digest"
}

# True when the cache folder holds a finished build.
qt_windows_ready() {
    local prefix
    prefix=$(qt_windows_prefix) && [ -f "$prefix/tabulon-qt-built" ]
}
