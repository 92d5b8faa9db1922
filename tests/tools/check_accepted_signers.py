#!/usr/bin/python3
"""Checks cmake/AcceptedSigners.cmake, which turns VRX_ACCEPTED_PUBLISHERS and
VRX_ACCEPTED_CERTIFICATES into the DLL's generated header: thumbprints of DER and PEM files, and
the configure step stopping, with its reason, on input it cannot use.

  check_accepted_signers.py MODULE CA_DIR   (CA_DIR holds ca-root.der/.pem and ca-other.pem)
"""
import hashlib
import os
import subprocess
import sys
import tempfile

DRIVER = """include({module})
vrx_accepted_signers_header(header "${{PUBLISHERS}}" "${{CERTIFICATES}}")
file(READ "${{header}}" text)
message(STATUS "HEADER ${{text}}")
"""


def configure(work, module, publishers, certificates):
    driver = os.path.join(work, "driver.cmake")
    with open(driver, "w") as handle:
        handle.write(DRIVER.format(module=module))
    return subprocess.run(["cmake", f"-DPUBLISHERS={publishers}",
                           f"-DCERTIFICATES={';'.join(certificates)}", "-P", driver],
                          cwd=work, capture_output=True, text=True)


def c_bytes(der_path):
    digest = hashlib.sha256(open(der_path, "rb").read()).hexdigest()
    return "{{" + ", ".join(f"0x{digest[i:i + 2]}" for i in range(0, 64, 2)) + "}}"


def main(module, ca):
    failures = []
    with tempfile.TemporaryDirectory() as work:
        def made(name, data):
            path = os.path.join(work, name)
            with open(path, "wb") as handle:
                handle.write(data)
            return path

        root_der, root_pem = f"{ca}/ca-root.der", f"{ca}/ca-root.pem"
        der = open(root_der, "rb").read()
        two = made("two.pem", open(root_pem, "rb").read() + open(f"{ca}/ca-other.pem", "rb").read())
        # (case, publishers, certificates, whether configure stops, text its output must hold)
        cases = [
            ("nothing configured", "", [], False, "std::array<const wchar_t*, 0>"),
            ("DER", "VrxRO Test Signing", [root_der], False, c_bytes(root_der)),
            ("PEM, same thumbprint", "A;B", [root_pem], False, c_bytes(root_der)),
            ("names", "A;B", [root_pem], False, 'L"A", L"B",'),
            ("missing file", "A", [f"{work}/none.der"], True, "none.der: no such file"),
            ("empty file", "A", [made("empty.der", b"")], True, "the file is empty"),
            ("not a certificate", "A", [made("junk.der", b"\x30\x03abc")], True,
             "not an X.509 certificate in DER form"),
            ("trailing bytes", "A", [made("long.der", der + b"\0")], True, "not plain DER"),
            ("two certificates", "A", [two], True, "holds 2 certificates"),
            ("names without certificates", "A", [], True, "VRX_ACCEPTED_CERTIFICATES is empty"),
            ("certificates without names", "", [root_der], True, "VRX_ACCEPTED_PUBLISHERS is empty"),
            ("quote in a name", 'A"B', [root_der], True, "is not a usable publisher name"),
        ]
        for case, publishers, certificates, stops, wanted in cases:
            result = configure(work, module, publishers, certificates)
            output = " ".join((result.stdout + result.stderr).split())
            if stops != (result.returncode != 0) or wanted not in output:
                failures.append(f"{case}: exit {result.returncode}, output: {output[:400]}")
    for failure in failures:
        print(failure)
    print(f"{len(cases) - len(failures)} of {len(cases)} cases as expected")
    return not failures


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    sys.exit(0 if main(sys.argv[1], sys.argv[2]) else 1)
