#!/usr/bin/python3
"""Checks the shipped 32-bit VrxRO.dll, which no test can load here (32-bit Wine does not start):
machine type, export directory (module name, undecorated names, ordinals from 1 in alphabetical
order), imports (Windows system DLLs only), the version resource, and that none of libcrypto's
configuration loading is linked in.

  check_shipped_dll.py PATH_TO_DLL
"""
import sys

import pefile

EXPORTS = ["AdjustFiltLevel", "CheckOutlook", "ConvertUFilters", "DeleteVRXTask",
           "ExtractAutoFillData", "ExtractContent", "MoveApfFile", "RemoveServiceDependency",
           "SetInstallDate", "SignalContentUpdate"]
SYSTEM_DLLS = {"advapi32.dll", "kernel32.dll", "msvcrt.dll", "shell32.dll", "shlwapi.dll",
               "user32.dll", "ws2_32.dll", "crypt32.dll", "ole32.dll", "oleaut32.dll",
               "bcrypt.dll", "gdi32.dll", "version.dll", "wintrust.dll", "cabinet.dll"}
# What libcrypto's initialisation brings along: the configuration file's name, the variables that
# name a configuration file or a provider folder, and the build machine's cache of dependencies.
CONFIGURATION_TEXTS = [b"openssl.cnf", b"OPENSSL_CONF", b"OPENSSL_MODULES", b"vrxro-deps"]
STRINGS = {
    "InternalName": "VrxRO",
    "OriginalFilename": "vrxro.dll",
    "FileDescription": "Varlen Anti-Spam VrxRunOnce Dynamic Link Library",
    "ProductName": "Varlen Anti-Spam",
    "ProductVersion": "18.9",
}


def check(path):
    failures = []

    def expect(condition, message):
        if not condition:
            failures.append(message)

    pe = pefile.PE(path)
    expect(pe.FILE_HEADER.Machine == pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"],
           "not a 32-bit x86 image")
    expect(pe.is_dll(), "not a DLL")

    exports = pe.DIRECTORY_ENTRY_EXPORT
    expect(pe.get_string_at_rva(exports.struct.Name) == b"VrxRO.dll",
           "export directory module name is not VrxRO.dll")
    expect(exports.struct.Base == 1, "ordinal base is not 1")
    found = {symbol.ordinal: (symbol.name or b"").decode() for symbol in exports.symbols}
    wanted = {ordinal: name for ordinal, name in enumerate(EXPORTS, start=1)}
    expect(found == wanted, f"exports are {found}, expected {wanted}")

    imported = {entry.dll.decode().lower() for entry in pe.DIRECTORY_ENTRY_IMPORT}
    expect(imported <= SYSTEM_DLLS, f"imports DLLs that are not Windows's: {imported - SYSTEM_DLLS}")

    fixed = pe.VS_FIXEDFILEINFO[0]
    version = (fixed.FileVersionMS >> 16, fixed.FileVersionMS & 0xFFFF,
               fixed.FileVersionLS >> 16, fixed.FileVersionLS & 0xFFFF)
    product = (fixed.ProductVersionMS >> 16, fixed.ProductVersionMS & 0xFFFF,
               fixed.ProductVersionLS >> 16, fixed.ProductVersionLS & 0xFFFF)
    expect(version == (18, 9, 161, 0), f"file version is {version}")
    expect(product == (18, 9, 161, 0), f"product version is {product}")
    expect(not fixed.FileFlags & 0x8, "flagged as a private build (VS_FF_PRIVATEBUILD)")
    strings = {}
    for info in pe.FileInfo[0]:
        if info.Key == b"StringFileInfo":
            for table in info.StringTable:
                strings.update({k.decode(): v.decode() for k, v in table.entries.items()})
    expect(strings == STRINGS, f"version strings are {strings}")

    data = open(path, "rb").read()
    linked = [text.decode() for text in CONFIGURATION_TEXTS if text in data]
    expect(not linked, f"libcrypto's configuration loading is linked in: {linked}")

    for failure in failures:
        print(f"{path}: {failure}")
    if not failures:
        print(f"{path}: 32-bit DLL, {len(found)} exports, imports {sorted(imported)}, version 18.9.161.0")
    return not failures


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    sys.exit(0 if check(sys.argv[1]) else 1)
