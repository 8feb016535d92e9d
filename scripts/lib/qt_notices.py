#!/usr/bin/env python3
"""qt_notices.py QT_SOURCE OUTPUT: writes the licence texts a program statically linked with
Qt Core, Gui and Widgets for Windows has to carry: Qt's licence (LGPL 3, which is the GPL 3
with extra permissions, so both texts) and the notices of the code Qt bundles into those
modules (qt_attribution.json beside each), with that code's own licence texts."""
import json
import pathlib
import sys

# Attributions of parts that the Windows build of Core, Gui and Widgets leaves out.
LEFT_OUT = ('src/3rdparty/VulkanMemoryAllocator', 'src/3rdparty/android', 'src/3rdparty/forkfd',
            'src/3rdparty/gradle', 'src/3rdparty/libpsl', 'src/3rdparty/wasm', 'src/3rdparty/xcb',
            'src/dbus', 'src/gui/opengl', 'src/gui/vulkan', 'src/network', 'src/plugins/platforms/cocoa',
            'src/testlib')


def main():
    source, output = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2])
    output.mkdir(parents=True, exist_ok=True)
    for name, text in (('LGPL-3.0.txt', 'LGPL-3.0-only.txt'), ('GPL-3.0.txt', 'GPL-3.0-only.txt')):
        (output / name).write_bytes((source / 'LICENSES' / text).read_bytes().replace(b'\r\n', b'\n'))
    parts = []
    for attribution in sorted(source.glob('src/**/qt_attribution.json')):
        where = attribution.parent.relative_to(source).as_posix()
        if where.startswith(LEFT_OUT):
            continue
        entries = json.loads(attribution.read_text(encoding='utf-8'), strict=False)
        for entry in entries if isinstance(entries, list) else [entries]:
            lines = [entry.get('Name', entry.get('Id', where))]
            lines.append('=' * len(lines[0]))
            for field in ('Version', 'Homepage', 'License', 'Copyright'):
                if entry.get(field):
                    lines.append(f'{field}: {entry[field]}')
            for licence in str(entry.get('LicenseFile', '')).split(';'):
                licence = licence.strip()
                if licence and (attribution.parent / licence).is_file():
                    lines += ['', (attribution.parent / licence).read_text(encoding='utf-8', errors='replace').strip()]
            parts.append('\n'.join(lines))
    (output / 'QT-THIRD-PARTY.txt').write_text(
        'Code that Qt 6 carries within Core, Gui and Widgets, and its licences.\n\n' + '\n\n\n'.join(parts) + '\n',
        encoding='utf-8')


if __name__ == '__main__':
    main()
