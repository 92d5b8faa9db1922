#!/usr/bin/python3
"""Checks that a built VrxRO.dll ships lean and registers nothing with its host's run time:

- its size is at most the budget;
- it carries no debug sections, and its .gnu_debuglink section names VrxRO.dll.debug, which lies
  beside it and matches the link's checksum;
- it imports none of the run time's exit-registration functions: a callback registered there
  is called at the host's exit, after the DLL may have been unloaded;
- none of the DLLs it delay-loads is in its import table, where the host would load it with the
  DLL whether an action needs it or not, and the first call of every delay-loaded function reaches
  code: its slot starts out pointing into an executable section (the linker may have dropped the
  stub that loads the DLL). The delay-import descriptors are found by their symbols in the debug
  file, since the linker leaves the header's delay-import directory empty.

  check_lean_dll.py PATH_TO_DLL BUDGET_KB [DELAY_LOADED_DLL...]
"""
import os
import struct
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


def coff_symbols(pe):
    """(name, RVA) of each symbol in the COFF symbol table."""
    header = pe.FILE_HEADER
    data = pe.__data__
    strings = header.PointerToSymbolTable + 18 * header.NumberOfSymbols
    index = 0
    while index < header.NumberOfSymbols:
        at = header.PointerToSymbolTable + 18 * index
        name, value, section, _, _, aux = struct.unpack("<8sIhHBB", data[at:at + 18])
        if name.startswith(b"\0\0\0\0"):
            offset = strings + struct.unpack("<I", name[4:])[0]
            name = data[offset:data.find(b"\0", offset)]
        if 0 < section <= len(pe.sections):
            yield name.rstrip(b"\0"), pe.sections[section - 1].VirtualAddress + value
        index += 1 + aux


def delay_imports(pe, debug):
    """{DLL name: [(function, initial slot RVA)]} from the delay-import descriptors."""
    slot_size = 8 if pe.OPTIONAL_HEADER.Magic == 0x20B else 4
    slot_format = "<Q" if slot_size == 8 else "<I"
    found = {}
    for name, rva in coff_symbols(debug):
        if b"DELAY_IMPORT_DESCRIPTOR" not in name:
            continue
        _, dll_name, _, iat, names, _, _, _ = struct.unpack("<8I", pe.get_data(rva, 32))
        functions = []
        for at in range(0, 1 << 20, slot_size):
            hint_name = struct.unpack(slot_format, pe.get_data(names + at, slot_size))[0]
            if hint_name == 0:
                break
            target = struct.unpack(slot_format, pe.get_data(iat + at, slot_size))[0]
            functions.append((pe.get_string_at_rva(hint_name + 2).decode(),
                              target - pe.OPTIONAL_HEADER.ImageBase))
        found[pe.get_string_at_rva(dll_name).decode().lower()] = functions
    return found


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
        delayed = {}
        expect(name == "VrxRO.dll.debug", f"the debug link names {name}")
        if os.path.isfile(debug_path):
            with open(debug_path, "rb") as debug_file:
                debug_data = debug_file.read()
            expect(zlib.crc32(debug_data) == crc, f"{debug_path} does not match the link's checksum")
            delayed = delay_imports(pe, pefile.PE(data=debug_data, fast_load=True))
        else:
            failures.append(f"{debug_path} is missing")

    registering = sorted(imported.name.decode()
                         for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])
                         for imported in entry.imports if imported.name in EXIT_REGISTRATION)
    expect(not registering, f"imports exit registration {registering}")

    imported = {entry.dll.decode().lower() for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])}
    loaded_with_it = sorted(imported & {name.lower() for name in delay_loaded})
    expect(not loaded_with_it, f"imports {loaded_with_it}, which it should delay-load")
    code = [section for section in pe.sections if section.Characteristics & 0x20000000]
    stubless = sorted(f"{dll}!{function}" for dll, functions in delayed.items()
                      for function, target in functions
                      if not any(section.contains_rva(target) for section in code))
    expect(not stubless, f"delay-loaded functions without a loading stub: {stubless}")

    for failure in failures:
        print(f"{path}: {failure}")
    if not failures:
        print(f"{path}: {size} bytes (budget {budget_kb} KB), stripped, debug file beside it, "
              f"imports {sorted(imported)}, delay-loads {sorted(delayed)}")
    return not failures


if __name__ == "__main__":
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    sys.exit(0 if check(sys.argv[1], int(sys.argv[2]), sys.argv[3:]) else 1)
