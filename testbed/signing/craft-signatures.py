#!/usr/bin/env python3
"""Crafts files whose embedded signature was taken from another file, for the validation tests.

  craft-signatures.py transplant DONOR TARGET OUT
      TARGET (its own signature, if any, removed) with DONOR's PKCS #7 signed message attached,
      the file digest in the message's signed content replaced by TARGET's Authenticode digest.
      The signer's authenticated attributes and signature stay DONOR's.
  craft-signatures.py add-signer SIGNED DONOR OUT
      SIGNED with DONOR's signer and certificates copied into its signed message as a second
      signer. Both must sign the same content (the same module signed twice).
"""
import hashlib
import struct
import sys

# DigestInfo of a SHA-256 file digest in Authenticode's signed content, up to the digest itself.
SHA256_DIGEST_INFO = bytes.fromhex("3031300d060960864801650304020105000420")


def element(data, pos):
    """(tag, start of contents, end) of the DER element at pos."""
    length, header = data[pos + 1], 2
    if length & 0x80:
        count = length & 0x7F
        length, header = int.from_bytes(data[pos + 2:pos + 2 + count], "big"), 2 + count
    return data[pos], pos + header, pos + header + length


def children(data, start, end):
    items, pos = [], start
    while pos < end:
        _, _, stop = element(data, pos)
        items.append(data[pos:stop])
        pos = stop
    return items


def encode(tag, contents):
    n = len(contents)
    length = bytes([n]) if n < 0x80 else bytes([0x80 | ((n.bit_length() + 7) // 8)]) + n.to_bytes(
        (n.bit_length() + 7) // 8, "big")
    return bytes([tag]) + length + contents


def layout(image):
    """Offsets of the checksum and of the certificate table's directory entry."""
    optional = struct.unpack_from("<I", image, 0x3C)[0] + 24
    magic = struct.unpack_from("<H", image, optional)[0]
    return optional + 64, optional + (112 if magic == 0x20B else 96) + 4 * 8


def split(path):
    """The file without its certificate table (directory entry cleared), and its signed message."""
    image = bytearray(open(path, "rb").read())
    _, directory = layout(image)
    offset, size = struct.unpack_from("<II", image, directory)
    message = b""
    if size:
        entry = struct.unpack_from("<I", image, offset)[0]
        blob = bytes(image[offset + 8:offset + entry])
        message = blob[:element(blob, 0)[2]]
        del image[offset:]
    struct.pack_into("<II", image, directory, 0, 0)
    return image, message


def attach(image, message, out):
    image = bytearray(image) + b"\0" * (-len(image) % 8)
    padded = message + b"\0" * (-len(message) % 8)
    _, directory = layout(image)
    struct.pack_into("<II", image, directory, len(image), 8 + len(padded))
    image += struct.pack("<IHH", 8 + len(padded), 0x0200, 2) + padded
    open(out, "wb").write(image)


def authenticode_sha256(image):
    checksum, directory = layout(image)
    image = bytes(image) + b"\0" * (-len(image) % 8)
    return hashlib.sha256(image[:checksum] + image[checksum + 4:directory] +
                          image[directory + 8:]).digest()


def signed_data_parts(message):
    """The parts of the SignedData inside a ContentInfo, as encoded elements."""
    _, start, end = element(message, 0)
    oid, wrapped = children(message, start, end)
    _, inner_start, inner_end = element(wrapped, 0)
    _, data_start, data_end = element(wrapped, inner_start)
    return oid, children(wrapped, data_start, data_end)


def transplant(donor, target, out):
    _, message = split(donor)
    image, _ = split(target)
    at = message.find(SHA256_DIGEST_INFO)
    assert at > 0 and message.find(SHA256_DIGEST_INFO, at + 1) < 0, "one SHA-256 file digest"
    at += len(SHA256_DIGEST_INFO)
    message = message[:at] + authenticode_sha256(image) + message[at + 32:]
    attach(image, message, out)


def add_signer(signed, donor, out):
    image, message = split(signed)
    oid, parts = signed_data_parts(message)
    _, donor_parts = signed_data_parts(split(donor)[1])
    certificates = [p for p in parts if p[0] == 0xA0][0]
    donor_certificates = [p for p in donor_parts if p[0] == 0xA0][0]
    certs = children(certificates, element(certificates, 0)[1], len(certificates))
    for cert in children(donor_certificates, element(donor_certificates, 0)[1],
                         len(donor_certificates)):
        if cert not in certs:
            certs.append(cert)
    signers = children(parts[-1], element(parts[-1], 0)[1], len(parts[-1]))
    donor_signers = children(donor_parts[-1], element(donor_parts[-1], 0)[1],
                             len(donor_parts[-1]))
    rebuilt = [encode(0xA0, b"".join(certs)) if p[0] == 0xA0 else p for p in parts[:-1]]
    rebuilt.append(encode(0x31, b"".join(signers + donor_signers)))
    signed_data = encode(0x30, b"".join(rebuilt))
    attach(image, encode(0x30, oid + encode(0xA0, signed_data)), out)


if __name__ == "__main__":
    {"transplant": transplant, "add-signer": add_signer}[sys.argv[1]](*sys.argv[2:5])
