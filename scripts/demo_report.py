#!/usr/bin/env python3
"""Snapshots of the product's machine state in a Wine prefix, and a readable account of what
changed between two of them. Used by demo.sh.

  demo_report.py snapshot OUT.json TASKS_DIR_UNIX INSTALL_DIR_UNIX [OTHER_DIR_UNIX...]
  demo_report.py diff BEFORE.json AFTER.json
  demo_report.py logmark MARK.json LOG_DIR_UNIX
  demo_report.py lognew MARK.json LOG_DIR_UNIX
  demo_report.py store STORE              writes the demo's users into a settings store file
  demo_report.py levels BEFORE AFTER      each user's filtering level before and after
  demo_report.py filters BEFORE AFTER     each user's filters document and rule scripts, and
                                          what Lua makes of each script
  demo_report.py lines BEFORE AFTER       lines gone from and added to a text file (task lists)
  demo_report.py privatebuild DLL         the PrivateBuild string of a DLL's version resource
  demo_report.py refusal MARK.json LOG_DIR_UNIX  the libraries the new log records refused
"""
import datetime
import hashlib
import json
import os
import struct
import subprocess
import sys
import tempfile

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
            with open(path, "rb") as handle:
                digest = hashlib.sha256(handle.read()).hexdigest()
            files[prefix + os.path.relpath(path, folder).replace("/", "\\")] = [
                os.path.getsize(path), digest]
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


def scheduled_tasks(folder):
    """The names of the tasks that the task scheduler keeps in folder ("<name>.job" files)."""
    names = os.listdir(folder) if os.path.isdir(folder) else []
    return sorted(name[:-4] for name in names if name.lower().endswith(".job"))


def snapshot(out, tasks_dir, install_dir, *others):
    state = {"registry": {}, "files": list_files(install_dir),
             "tasks": scheduled_tasks(tasks_dir)}
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
            lines.append(f"  + file {name} ({new[name][0]} bytes)")
        elif name not in new:
            lines.append(f"  - file {name}   (deleted)")
        elif old[name] != new[name]:
            lines.append(f"  ~ file {name} ({old[name][0]} -> {new[name][0]} bytes)")
    old, new = set(before["tasks"]), set(after["tasks"])
    lines += [f"  - scheduled task {name}   (deleted)" for name in sorted(old - new)]
    lines += [f"  + scheduled task {name}" for name in sorted(new - old)]
    print("\n".join(lines) if lines else "  (nothing changed)")


def log_sizes(log_dir):
    return {name: size for name, (size, _) in list_files(log_dir).items() if name.endswith(".log")}


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


# The settings store of the settings-library stand-in (testbed/settings): one entry a line,
# "node|<path>" and "value|<path>|<name>|<hex bytes>", a node's path being its names joined by "\\".
SID = "S-1-5-21-3623811015-3361044348-30300820-"
DEMO_FILTERS = {
    # Rule texts that would close the scripts' long brackets ("[[SPAM]]"), a regular expression
    # for "]]>", a white-list rule, and a character-set rule in the old code-page form.
    "alice": "<VRXFilters>"
             "<SubjCont><![CDATA[[[SPAM]]]]></SubjCont>"
             "<BodyContRE><![CDATA[<!\\[CDATA\\[.*]]\\x3E]]></BodyContRE>"
             "<SndrContAllow type=\"1\"><![CDATA[boss@example.com]]></SndrContAllow>"
             "<Charset>1251;20866</Charset>"
             "</VRXFilters>",
    # Subject tags, the rules users write most, end in "]": each needs a long bracket of its own
    # level in the scripts ("[=[[SPAM]]=]").
    "bob": "<VRXFilters><SubjCont>[SPAM]</SubjCont>"
           "<SubjNotCont><![CDATA[[External]]]></SubjNotCont>"
           "<SndrCont><![CDATA[offers@]]></SndrCont>"
           "<SubjContAllow type=\"1\">[Team]</SubjContAllow>"
           "<Charset>1252;28591</Charset></VRXFilters>",
}
# name: (level or None, friends or None)
DEMO_USERS = {
    "alice": (5, None),                      # level 5, no friends list: lowered to 4
    "bob": (5, ["carol@example.com"]),        # level 5 with a friend: kept
    "carol": (5, [""]),                      # level 5, friends without names: lowered to 4
    "dave": (3, None),
    "erin": (4, []),
    "frank": (None, None),                   # no level: counts as 3, kept
}


def wide(text):
    return (text + "\0").encode("utf-16-le").hex()


def write_store(path):
    lines = []
    for number, (name, (level, friends)) in enumerate(DEMO_USERS.items(), start=1001):
        user = f"{SID}{number}"
        lines += [f"node|{user}", f"value|{user}|_SETTINGS_NAME|{wide(user)}",
                  f"value|{user}|UserName|{wide(name)}"]
        if level is not None:
            lines.append(f"value|{user}|UserFilteringLevel|{struct.pack('<I', level).hex()}")
        if name in DEMO_FILTERS:
            lines.append(f"value|{user}|UserFilters|{wide(DEMO_FILTERS[name])}")
        if friends is not None:
            lines.append(f"node|{user}\\UserFriendsNew")
            for index, friend in enumerate(friends):
                node = f"{user}\\UserFriendsNew\\friend{index}"
                lines += [f"node|{node}", f"value|{node}|_SETTINGS_NAME|{wide(friend)}"]
    with open(path, "w") as handle:
        handle.write("\n".join(lines) + "\n")


def read_store(path):
    """{user path: {value name: bytes}}, and each user's friends' names (absent: no friends
    list)."""
    users, friends = {}, {}
    with open(path) as handle:
        for line in handle.read().splitlines():
            fields = line.split("|")
            owner = fields[1].split("\\")[0] if len(fields) > 1 else ""
            if fields[0] == "node" and "\\" not in fields[1]:
                users[fields[1]] = {}
            elif fields[0] == "node" and fields[1].endswith("\\UserFriendsNew"):
                friends[owner] = []
            elif fields[0] == "value" and fields[1] in users:
                users[fields[1]][fields[2]] = bytes.fromhex(fields[3])
            elif fields[0] == "value" and fields[2] == "_SETTINGS_NAME":
                friends[owner].append(text_of(bytes.fromhex(fields[3])) or '""')
    return users, friends


def text_of(data):
    return data.decode("utf-16-le").split("\0")[0] if data else ""


def level_of(values):
    data = values.get("UserFilteringLevel")
    return struct.unpack("<I", data)[0] if data and len(data) == 4 else None


def show_levels(before_path, after_path):
    before, friends = read_store(before_path)
    after, _ = read_store(after_path)
    print("  user    friends list           level before -> after")
    for user, values in before.items():
        names = friends.get(user)
        listed = "(no list)" if names is None else ", ".join(names) or "(empty list)"
        old, new = level_of(values), level_of(after[user])
        shown = lambda level: "(none)" if level is None else str(level)
        change = "lowered" if old != new else "kept"
        print(f"  {text_of(values['UserName']):7} {listed:22} {shown(old):>6} -> {shown(new):6} "
              f"{change}")


def show_filters(before_path, after_path):
    before, _ = read_store(before_path)
    after, _ = read_store(after_path)
    for user, values in before.items():
        name = text_of(values["UserName"])
        if "UserFilters" not in values:
            print(f"  {name}: no filters document, nothing written")
            continue
        new = after[user]
        print(f"  {name}: filters document before:")
        print(f"      {text_of(values['UserFilters'])}")
        print(f"    after (escaped, character sets repaired):")
        for line in text_of(new.get("UserFilters", b"")).splitlines():
            if line.strip():
                print(f"      {line}")
        for script in ("UserFiltersBlack", "UserFiltersWhite"):
            data = new.get(script)
            shown = data.rstrip(b"\0").decode("utf-8") if data else "(empty: not stored)"
            print(f"    {script} ({len(data or b'')} bytes, UTF-8): {shown}")
            if data:
                print(f"      read by Lua as the filter engine does: {lua_reading(data)}")


def lua_reading(data):
    """What Debian's lua5.4 makes of a stored script: the list it sets and its rule count, or why
    it does not load."""
    reader = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "lua",
                          "rule_scripts.lua")
    with tempfile.NamedTemporaryFile(suffix=".lua") as script:
        script.write(data.split(b"\0")[0])
        script.flush()
        result = subprocess.run(["lua5.4", reader, "count", script.name], capture_output=True,
                                text=True)
    answer = result.stdout.strip()
    if result.returncode != 0:
        return f"DOES NOT LOAD: {answer or result.stderr.strip()}"
    name, count = answer.split()
    return f"loads, sets \"{name}\" with {count} rule{'' if count == '1' else 's'}"


def show_lines(before_path, after_path):
    with open(before_path) as b, open(after_path) as a:
        old, new = b.read().split(), a.read().split()
    for line in old:
        print(f"  {'kept   ' if line in new else 'removed'} {line}")
    for line in new:
        if line not in old:
            print(f"  added   {line}")


def private_build(dll):
    """The PrivateBuild string of a module's version resource: a String block is its lengths and
    type (6 bytes), its UTF-16 key with terminator, padding to 4 bytes, and its UTF-16 value."""
    data = open(dll, "rb").read()
    key = "PrivateBuild\0".encode("utf-16-le")
    at = data.find(key)
    if at < 6:
        return "(none)"
    value = at + len(key)
    value += (value - (at - 6)) % 4
    end = value
    while end + 1 < len(data) and data[end:end + 2] != b"\0\0":
        end += 2
    return data[value:end].decode("utf-16-le")


def refusals(mark, log_dir):
    """Names of the files that the log records written since log_mark refused to validate."""
    with open(mark) as handle:
        marked = json.load(handle)
    refused = []
    for name in sorted(log_sizes(log_dir)):
        with open(os.path.join(log_dir, name.replace("\\", "/")), "rb") as handle:
            data = handle.read()
        text = data[marked.get(name, 0):].decode("utf-16-le", errors="replace")
        for line in text.splitlines():
            if "Unable to validate file:" in line:
                path = line.split("Unable to validate file:", 1)[1].strip()
                refused.append(path.rsplit("\\", 1)[-1])
    return refused


if __name__ == "__main__":
    if len(sys.argv) >= 5 and sys.argv[1] == "snapshot":
        snapshot(*sys.argv[2:])
    elif len(sys.argv) == 4 and sys.argv[1] == "diff":
        diff(sys.argv[2], sys.argv[3])
    elif len(sys.argv) == 4 and sys.argv[1] == "logmark":
        log_mark(sys.argv[2], sys.argv[3])
    elif len(sys.argv) == 4 and sys.argv[1] == "lognew":
        log_new(sys.argv[2], sys.argv[3])
    elif len(sys.argv) == 3 and sys.argv[1] == "store":
        write_store(sys.argv[2])
    elif len(sys.argv) == 4 and sys.argv[1] == "levels":
        show_levels(sys.argv[2], sys.argv[3])
    elif len(sys.argv) == 4 and sys.argv[1] == "filters":
        show_filters(sys.argv[2], sys.argv[3])
    elif len(sys.argv) == 4 and sys.argv[1] == "lines":
        show_lines(sys.argv[2], sys.argv[3])
    elif len(sys.argv) == 3 and sys.argv[1] == "privatebuild":
        print(private_build(sys.argv[2]))
    elif len(sys.argv) == 4 and sys.argv[1] == "refusal":
        print(" ".join(refusals(sys.argv[2], sys.argv[3])))
    else:
        sys.exit(__doc__)
