"""Packs the release zip: tavrio-updater.exe, 卸载.exe and SHA256SUMS, in that order.

    python3 pack_release.py <zip> <built tavrio-updater.exe> <built uninstall.exe>

Every field of every entry is fixed here (name, order, time, attributes, no extra fields, no
compression), so the zip's bytes depend on the two programs' bytes and nothing else.
"""
import hashlib
import os
import re
import sys
import zipfile

# The time every entry carries. A zip time has no time zone, so this is the same everywhere.
ENTRY_TIME = (2025, 1, 1, 0, 0, 0)


def entry(name, data):
    info = zipfile.ZipInfo(name, date_time=ENTRY_TIME)
    # Made on Unix, as a plain file readable by all: unzip then takes the name as the UTF-8 the
    # entry's flag says it is (with MS-DOS as the origin it re-encodes the name as code page 437).
    info.create_system = 3
    info.external_attr = 0o100644 << 16
    info.compress_type = zipfile.ZIP_STORED  # no dependence on a compressor's version
    return info, data


def bundle_name(constant):
    """A name of the bundle as the programs spell it, read from their one header of names."""
    header = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "src", "common",
                          "bundle.h")
    with open(header, encoding="utf-8") as f:
        return re.search(constant + r'\[\] = L"([^"]+)"', f.read()).group(1)


def main():
    out, updater, uninstaller = sys.argv[1:4]
    programs = []
    for name, path in ((bundle_name("kUpdater"), updater),
                       (bundle_name("kShippedUninstaller"), uninstaller)):
        with open(path, "rb") as f:
            programs.append((name, f.read()))
    sums = "".join(f"{hashlib.sha256(data).hexdigest()}  {name}\n" for name, data in programs)
    entries = [entry(name, data) for name, data in programs]
    entries.append(entry("SHA256SUMS", sums.encode("utf-8")))

    # Written beside the target and renamed over it, so that a failed run leaves no zip that a
    # later build would take for finished.
    partial = out + ".partial"
    with zipfile.ZipFile(partial, "w") as archive:
        for info, data in entries:
            archive.writestr(info, data)
    os.replace(partial, out)


if __name__ == "__main__":
    main()
