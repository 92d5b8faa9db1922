#!/usr/bin/python3
"""Checks that a built VrxRO.dll ships lean and registers nothing with its host's run time:

- its size is at most the budget;
- it carries no debug sections, and its .gnu_debuglink section names VrxRO.dll.debug, which lies
  beside it and matches the link's checksum;
- it imports none of the run time's exit-registration functions: a callback registered there
  is called at the host's exit, after the DLL may have been unloaded;
- none of the DLLs it delay-loads is in its import table, where the host would load it with the
  DLL whether an action needs it or not.

  check_lean_dll.py PATH_TO_DLL BUDGET_KB [DELAY_LOADED_DLL...]
"""
import os
import sys
import zlib

import pefile

EXIT_REGISTRATION = {b"_onexit", b"atexit", b"__dllonexit", b"_crt_atexit",
                     b"_register_onexit_function"}


def section_names(pe):
    """Section names, long ones ("/N") looked up in the COFF string table."""
    strings = pe.FILE_HEADER.PointerToSymbolTable + 18 * pe.FILE_HEADER.NumberOfSymbols
    names = {}
    for section in pe.sections:
        name = section.Name.rstrip(b"\0")
        if name.startswith(b"/") and strings:
            at = strings + int(name[1:])
            name = pe.__data__[at:pe.__data__.find(b"\0", at)]
        names[name] = section
    return names


def check(path, budget_kb, delay_loaded):
    failures = []

    def expect(condition, message):
        if not condition:
            failures.append(message)

    size = os.path.getsize(path)
    expect(size <= budget_kb * 1024, f"{size} bytes, over the budget of {budget_kb} KB")

    pe = pefile.PE(path)
    sections = section_names(pe)
    debug = sorted(name.decode() for name in sections if name.startswith(b".debug"))
    expect(not debug, f"not stripped: carries {debug}")

    link = sections.get(b".gnu_debuglink")
    if link is None:
        failures.append("no .gnu_debuglink section")
    else:
        data = link.get_data()
        name = data[:data.index(b"\0")].decode()
        crc_at = (len(name) + 4) // 4 * 4
        crc = int.from_bytes(data[crc_at:crc_at + 4], "little")
        debug_path = os.path.join(os.path.dirname(path), name)
        expect(name == "VrxRO.dll.debug", f"the debug link names {name}")
        if os.path.isfile(debug_path):
            with open(debug_path, "rb") as debug_file:
                expect(zlib.crc32(debug_file.read()) == crc,
                       f"{debug_path} does not match the link's checksum")
        else:
            failures.append(f"{debug_path} is missing")

    registering = sorted(imported.name.decode()
                         for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])
                         for imported in entry.imports if imported.name in EXIT_REGISTRATION)
    expect(not registering, f"imports exit registration {registering}")

    imported = {entry.dll.decode().lower() for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])}
    loaded_with_it = sorted(imported & {name.lower() for name in delay_loaded})
    expect(not loaded_with_it, f"imports {loaded_with_it}, which it should delay-load")

    for failure in failures:
        print(f"{path}: {failure}")
    if not failures:
        print(f"{path}: {size} bytes (budget {budget_kb} KB), stripped, debug file beside it, "
              f"imports {sorted(imported)}")
    return not failures


if __name__ == "__main__":
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    sys.exit(0 if check(sys.argv[1], int(sys.argv[2]), sys.argv[3:]) else 1)
