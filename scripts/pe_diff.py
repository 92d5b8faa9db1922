#!/usr/bin/python3
"""Where two builds of a PE file differ: the header's time stamp and checksum, and for each section
(and the bytes outside sections) how many bytes differ and the first offset. Used by
check-reproducible.sh to say what made a build irreproducible.

  pe_diff.py FIRST SECOND
"""
import sys

import pefile


def section_name(pe, data, section):
    """A section's name; a long one ("/N") is at offset N of the COFF string table."""
    name = section.Name.rstrip(b"\0").decode(errors="replace")
    if name.startswith("/") and name[1:].isdigit():
        at = (pe.FILE_HEADER.PointerToSymbolTable + 18 * pe.FILE_HEADER.NumberOfSymbols
              + int(name[1:]))
        name = data[at:data.index(b"\0", at)].decode(errors="replace")
    return name


def regions(pe, data):
    """(name, start, end) of the headers, every section's raw data and what follows them."""
    found = [("headers", 0, pe.OPTIONAL_HEADER.SizeOfHeaders)]
    for section in pe.sections:
        if section.SizeOfRawData:
            name = section_name(pe, data, section)
            start = section.PointerToRawData
            found.append((name, start, start + section.SizeOfRawData))
    last = max(end for _, _, end in found)
    if last < len(data):
        found.append(("after the sections", last, len(data)))
    return found


def main(first_path, second_path):
    first, second = (open(path, "rb").read() for path in (first_path, second_path))
    pes = [pefile.PE(data=data, fast_load=True) for data in (first, second)]
    if len(first) != len(second):
        print(f"size {len(first)} and {len(second)} bytes")
    stamps = [pe.FILE_HEADER.TimeDateStamp for pe in pes]
    if stamps[0] != stamps[1]:
        print(f"header TimeDateStamp {stamps[0]} and {stamps[1]}")
    sums = [pe.OPTIONAL_HEADER.CheckSum for pe in pes]
    if sums[0] != sums[1]:
        print(f"header CheckSum {sums[0]:#x} and {sums[1]:#x}")
    for name, start, end in regions(pes[0], first):
        offsets = [at for at in range(start, min(end, len(first), len(second)))
                   if first[at] != second[at]]
        if offsets:
            print(f"{name}: {len(offsets)} bytes differ, the first at {offsets[0]:#x}")


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    main(sys.argv[1], sys.argv[2])
