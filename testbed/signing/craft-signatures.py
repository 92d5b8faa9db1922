#!/usr/bin/env python3
"""Crafts files whose embedded signature was taken from another file, or whose timestamp was made
or altered by hand, for the validation tests.

  craft-signatures.py transplant DONOR TARGET OUT
      TARGET (its own signature, if any, removed) with DONOR's PKCS #7 signed message attached,
      the file digest in the message's signed content replaced by TARGET's Authenticode digest.
      The signer's authenticated attributes and signature stay DONOR's.
  craft-signatures.py add-signer SIGNED DONOR OUT
      SIGNED with DONOR's signer and certificates copied into its signed message as a second
      signer. Both must sign the same content (the same module signed twice).
  craft-signatures.py countersign MODE SIGNED CERT KEY TIME OUT
      SIGNED with a legacy counter-signature (PKCS #9 countersignature, the form of the older
      timestamping authorities) added to its signer's unauthenticated attributes, made with CERT
      and KEY (PEM files) and dated TIME (Unix time); CERT joins the message's certificates.
      MODE: "valid"; "random-signature" (bytes that are no signature in place of one);
      "other-signature" (the message digest of other bytes than the signer's signature);
      "sha1" (a genuine one made with SHA-1, as older authorities still make them).
  craft-signatures.py move-timestamps DONOR TARGET OUT
      TARGET with its signer's unauthenticated attributes (its timestamps) replaced by DONOR's.
  craft-signatures.py resign-token SIGNED CERT KEY OUT
      SIGNED whose RFC 3161 timestamp token is signed anew by CERT and KEY instead of its
      timestamping authority (which signing tools refuse to do with a certificate that lacks the
      time-stamping usage).
  craft-signatures.py alter-token-time SIGNED OUT
      SIGNED with one digit of the time in its RFC 3161 token changed, the token's signature left
      as it was.
"""
import base64
import hashlib
import re
import struct
import subprocess
import sys
import time

# DigestInfo of a SHA-256 file digest in Authenticode's signed content, up to the digest itself.
SHA256_DIGEST_INFO = bytes.fromhex("3031300d060960864801650304020105000420")
# Encoded object identifiers and algorithm identifiers.
OID_DATA = bytes.fromhex("06092a864886f70d010701")
OID_CONTENT_TYPE = bytes.fromhex("06092a864886f70d010903")
OID_MESSAGE_DIGEST = bytes.fromhex("06092a864886f70d010904")
OID_SIGNING_TIME = bytes.fromhex("06092a864886f70d010905")
OID_COUNTER_SIGNATURE = bytes.fromhex("06092a864886f70d010906")
OID_RFC3161_TIMESTAMP = bytes.fromhex("060a2b060104018237030301")
SHA256_ALGORITHM = bytes.fromhex("300d06096086480165030402010500")
SHA1_ALGORITHM = bytes.fromhex("300906052b0e03021a0500")
RSA_ALGORITHM = bytes.fromhex("300d06092a864886f70d0101010500")


def element(data, pos):
    """(tag, start of contents, end) of the DER element at pos."""
    length, header = data[pos + 1], 2
    if length & 0x80:
        count = length & 0x7F
        length, header = int.from_bytes(data[pos + 2:pos + 2 + count], "big"), 2 + count
    return data[pos], pos + header, pos + header + length


def contents(item):
    """The contents of an encoded element."""
    return item[element(item, 0)[1]:]


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


def signer_fields(message):
    """The SignedData parts of a message with one signer, and that signer's fields."""
    oid, parts = signed_data_parts(message)
    signers = children(parts[-1], element(parts[-1], 0)[1], len(parts[-1]))
    assert len(signers) == 1, "one signer"
    return oid, parts, children(signers[0], element(signers[0], 0)[1], len(signers[0]))


def with_signer(oid, parts, fields, certificates=()):
    """The message rebuilt with its one signer made of `fields`, `certificates` added."""
    rebuilt = []
    for part in parts[:-1]:
        if part[0] == 0xA0 and certificates:
            held = children(part, element(part, 0)[1], len(part))
            part = encode(0xA0, b"".join(held + [c for c in certificates if c not in held]))
        rebuilt.append(part)
    rebuilt.append(encode(0x31, encode(0x30, b"".join(fields))))
    return encode(0x30, oid + encode(0xA0, encode(0x30, b"".join(rebuilt))))


def der_set(items):
    """A DER SET OF: its items in the order of their encodings."""
    return encode(0x31, b"".join(sorted(items)))


def pem_certificate(path):
    body = open(path).read().split("-----BEGIN CERTIFICATE-----")[1].split("-----END")[0]
    return base64.b64decode("".join(body.split()))


def issuer_and_serial(certificate):
    tbs = children(certificate, element(certificate, 0)[1], len(certificate))[0]
    fields = children(tbs, element(tbs, 0)[1], len(tbs))
    if fields[0][0] == 0xA0:  # the version
        fields = fields[1:]
    return encode(0x30, fields[2] + fields[0])


def rsa_signature(key, data, digest="sha256"):
    return subprocess.run(["openssl", "dgst", "-" + digest, "-sign", key], input=data,
                          capture_output=True, check=True).stdout


def attribute(oid, value):
    return encode(0x30, oid + encode(0x31, value))


def signed_attributes(items):
    """The [0] authenticated attributes of a SignerInfo, and the SET OF that is signed."""
    signed = der_set(items)
    return encode(0xA0, contents(signed)), signed


def countersign(mode, signed, cert, key, when, out):
    image, message = split(signed)
    oid, parts, fields = signer_fields(message)
    signature = contents([f for f in fields if f[0] == 0x04][0])
    if mode == "other-signature":
        signature = signature[::-1]
    digest = "sha1" if mode == "sha1" else "sha256"
    stamp = time.strftime("%y%m%d%H%M%SZ", time.gmtime(int(when))).encode()
    attributes, to_sign = signed_attributes([
        attribute(OID_CONTENT_TYPE, OID_DATA),
        attribute(OID_SIGNING_TIME, encode(0x17, stamp)),
        attribute(OID_MESSAGE_DIGEST, encode(0x04, hashlib.new(digest, signature).digest()))])
    certificate = pem_certificate(cert)
    if mode == "random-signature":
        counter_signature = hashlib.sha256(b"no signature").digest() * 8
    else:
        counter_signature = rsa_signature(key, to_sign, digest)
    algorithm = SHA1_ALGORITHM if digest == "sha1" else SHA256_ALGORITHM
    counter_signer = encode(0x30, bytes.fromhex("020101") + issuer_and_serial(certificate) +
                            algorithm + attributes + RSA_ALGORITHM +
                            encode(0x04, counter_signature))
    unauthenticated = [attribute(OID_COUNTER_SIGNATURE, counter_signer)]
    if fields[-1][0] == 0xA1:
        held = fields.pop()
        unauthenticated += children(held, element(held, 0)[1], len(held))
    fields.append(encode(0xA1, contents(der_set(unauthenticated))))
    attach(image, with_signer(oid, parts, fields, [certificate]), out)


def move_timestamps(donor, target, out):
    _, _, donor_fields = signer_fields(split(donor)[1])
    image, message = split(target)
    oid, parts, fields = signer_fields(message)
    fields = [f for f in fields if f[0] != 0xA1] + [f for f in donor_fields if f[0] == 0xA1]
    attach(image, with_signer(oid, parts, fields), out)


def token_of(fields):
    """The index of the RFC 3161 token attribute among the signer's unauthenticated attributes,
    those attributes, and the token."""
    unauthenticated = children(fields[-1], element(fields[-1], 0)[1], len(fields[-1]))
    for at, item in enumerate(unauthenticated):
        if contents(item).startswith(OID_RFC3161_TIMESTAMP):
            values = contents(item)[len(OID_RFC3161_TIMESTAMP):]
            return at, unauthenticated, contents(values)
    raise AssertionError("no RFC 3161 token")


def replace_token(fields, at, unauthenticated, token):
    unauthenticated[at] = attribute(OID_RFC3161_TIMESTAMP, token)
    fields[-1] = encode(0xA1, contents(der_set(unauthenticated)))


def resign_token(signed, cert, key, out):
    image, message = split(signed)
    oid, parts, fields = signer_fields(message)
    at, unauthenticated, token = token_of(fields)
    token_oid, token_parts, token_fields = signer_fields(token)
    certificate = pem_certificate(cert)
    attributes = [f for f in token_fields if f[0] == 0xA0][0]
    to_sign = encode(0x31, contents(attributes))
    token_fields[1] = issuer_and_serial(certificate)
    token_fields = [encode(0x04, rsa_signature(key, to_sign)) if f[0] == 0x04 else f
                    for f in token_fields]
    replace_token(fields, at, unauthenticated,
                  with_signer(token_oid, token_parts, token_fields, [certificate]))
    attach(image, with_signer(oid, parts, fields), out)


def alter_token_time(signed, out):
    image, message = split(signed)
    oid, parts, fields = signer_fields(message)
    at, unauthenticated, token = token_of(fields)
    times = [m.start() for m in re.finditer(rb"\x18\x0f[0-9]{14}Z", token)]
    assert len(times) == 1, "one generalized time in the token"
    digit = times[0] + 2 + 13  # the last digit of the seconds
    changed = ord("0") + (token[digit] - ord("0") + 1) % 10
    token = token[:digit] + bytes([changed]) + token[digit + 1:]
    replace_token(fields, at, unauthenticated, token)
    attach(image, with_signer(oid, parts, fields), out)


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
    commands = {"transplant": transplant, "add-signer": add_signer, "countersign": countersign,
                "move-timestamps": move_timestamps, "resign-token": resign_token,
                "alter-token-time": alter_token_time}
    commands[sys.argv[1]](*sys.argv[2:])
