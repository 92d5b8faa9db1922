#!/usr/bin/env python3
"""Snapshots of the product's machine state in a Wine prefix, and a readable account of what
changed between two of them. Used by demo.sh.

  demo_report.py snapshot OUT.json INSTALL_DIR_UNIX [OTHER_DIR_UNIX...]
  demo_report.py diff BEFORE.json AFTER.json
  demo_report.py logmark MARK.json LOG_DIR_UNIX
  demo_report.py lognew MARK.json LOG_DIR_UNIX
"""
import datetime
import json
import os
import struct
import subprocess
import sys

WINE = os.environ.get("WINE64", "/usr/lib/wine/wine64")
ROOTS = [r"HKLM\SOFTWARE\Varlen", r"HKLM\SOFTWARE\Wow6432Node\Varlen",
         r"HKLM\System\CurrentControlSet\Services\VRX80Service"]
WEEKDAYS = ["Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"]


def query_registry(root):
    """Returns {"key\\value": [type, data]} for every value below root."""
    result = subprocess.run([WINE, "reg", "query", root, "/s"], capture_output=True, text=True,
                            errors="replace")
    values, key = {}, None
    for raw in result.stdout.splitlines():
        line = raw.rstrip("\r")
        if line.startswith("HKEY_"):
            key = line
        elif line.startswith("    ") and key:
            parts = line[4:].split("    ", 2)
            if len(parts) >= 2:
                name = parts[0] if parts[0] != "(Default)" else ""
                values[key + "\\" + name] = [parts[1], parts[2] if len(parts) > 2 else ""]
    return values


def list_files(folder, prefix=""):
    files = {}
    for base, _, names in os.walk(folder):
        for name in names:
            path = os.path.join(base, name)
            files[prefix + os.path.relpath(path, folder).replace("/", "\\")] = os.path.getsize(path)
    return files


def windows_prefix(folder):
    """The Windows form of a folder in the prefix's drive C, with a trailing separator."""
    rest = folder.split("/drive_c/", 1)[-1]
    return "C:\\" + rest.replace("/", "\\").rstrip("\\") + "\\"


def decode(name, kind, data):
    """A value as a person reads it."""
    if kind == "REG_BINARY" and len(data) == 32:
        fields = struct.unpack("<8H", bytes.fromhex(data))
        year, month, weekday, day, hour, minute, second, ms = fields
        if 1 <= month <= 12 and weekday < 7:
            return (f"{year:04}-{month:02}-{day:02} {hour:02}:{minute:02}:{second:02}.{ms:03} UTC"
                    f" ({WEEKDAYS[weekday]})  [SYSTEMTIME {data}]")
    if kind == "REG_DWORD":
        number = int(data, 16)
        if name.lower() == "gmtdate":
            moment = datetime.datetime.fromtimestamp(number, datetime.timezone.utc)
            return f"{number} s since 1970 = {moment:%Y-%m-%d %H:%M:%S} UTC"
        return str(number)
    return data


def view_of(key):
    """Which registry view of a 64-bit machine a key is in, as a 32-bit program names it."""
    if "\\Wow6432Node\\" in key:
        return "32-bit view"
    return "64-bit view" if "\\SOFTWARE\\" in key.upper() else "shared"


def describe(path, kind, data):
    key, _, name = path.rpartition("\\")
    return (f"{key.replace('HKEY_LOCAL_MACHINE', 'HKLM')} \"{name}\" [{view_of(key)}] ({kind}) = "
            f"{decode(name, kind, data)}")


def snapshot(out, install_dir, *others):
    state = {"registry": {}, "files": list_files(install_dir)}
    for other in others:
        state["files"].update(list_files(other, windows_prefix(other)))
    for root in ROOTS:
        state["registry"].update(query_registry(root))
    with open(out, "w") as handle:
        json.dump(state, handle)


def diff(before_path, after_path):
    with open(before_path) as b, open(after_path) as a:
        before, after = json.load(b), json.load(a)
    lines = []
    old, new = before["registry"], after["registry"]
    for path in sorted(set(old) | set(new)):
        if path not in old:
            lines.append("  + " + describe(path, *new[path]))
        elif path not in new:
            lines.append("  - " + describe(path, *old[path]) + "   (deleted)")
        elif old[path] != new[path]:
            lines.append("  ~ " + describe(path, *new[path]))
            lines.append("      was " + decode(path.rpartition("\\")[2], *old[path]))
    old, new = before["files"], after["files"]
    for name in sorted(set(old) | set(new)):
        if name not in old:
            lines.append(f"  + file {name} ({new[name]} bytes)")
        elif name not in new:
            lines.append(f"  - file {name}   (deleted)")
        elif old[name] != new[name]:
            lines.append(f"  ~ file {name} ({old[name]} -> {new[name]} bytes)")
    print("\n".join(lines) if lines else "  (nothing changed)")


def log_sizes(log_dir):
    return {name: size for name, size in list_files(log_dir).items() if name.endswith(".log")}


def log_mark(mark, log_dir):
    """Remembers how far each log file reaches, so that lognew shows only what follows."""
    with open(mark, "w") as handle:
        json.dump(log_sizes(log_dir), handle)


def log_new(mark, log_dir):
    """Prints the lines written to the log files (UTF-16 text) since log_mark."""
    with open(mark) as handle:
        marked = json.load(handle)
    lines = []
    for name in sorted(log_sizes(log_dir)):
        start = marked.get(name, 0)
        with open(os.path.join(log_dir, name.replace("\\", "/")), "rb") as handle:
            data = handle.read()
        if len(data) < start:
            start = 0  # rotated: the file began again
        text = data[start:].decode("utf-16-le", errors="replace").lstrip("\ufeff")
        lines += [f"    {line}" for line in text.splitlines() if line.strip()]
    print("  log records:")
    print("\n".join(lines) if lines else "    (none)")


if __name__ == "__main__":
    if len(sys.argv) >= 4 and sys.argv[1] == "snapshot":
        snapshot(*sys.argv[2:])
    elif len(sys.argv) == 4 and sys.argv[1] == "diff":
        diff(sys.argv[2], sys.argv[3])
    elif len(sys.argv) == 4 and sys.argv[1] == "logmark":
        log_mark(sys.argv[2], sys.argv[3])
    elif len(sys.argv) == 4 and sys.argv[1] == "lognew":
        log_new(sys.argv[2], sys.argv[3])
    else:
        sys.exit(__doc__)
