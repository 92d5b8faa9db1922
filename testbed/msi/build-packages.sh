#!/usr/bin/env bash
# Builds the rehearsal's Windows Installer packages with wixl:
#   VrxRO-12.0.msi            the earlier version, as an upgrade meets it
#   VrxRO.msi                 this version
#   VrxRO-missing-dll.msi     this version without VrxRO.dll
#   VrxRO-damaged-dll.msi     this version with VrxRO.dll cut short
# The DLL and the signed stand-ins come from the test-trust build when its tree holds a DLL,
# otherwise from the shipped build; payload.txt names which ("test-trust" or "shipped") and where.
# Packages are rebuilt only when an input changed.
#
# build-packages.sh OUT SOURCES SHIPPED_BIN TESTTRUST_BIN HELPERS_BIN
#   OUT            folder for the packages (payload/ inside holds what they carry)
#   SOURCES        testbed/ of the source tree
#   SHIPPED_BIN    bin/ of the shipped i686 build
#   TESTTRUST_BIN  bin/ of the test-trust i686 build (may not exist)
#   HELPERS_BIN    bin/ holding vrxconf.exe and the packages' helper programs
set -euo pipefail
out=$1 sources=$2 shipped=$3 testtrust=$4 helpers=$5

if [ -f "$testtrust/VrxRO.dll" ]; then
    kind=test-trust bin=$testtrust
else
    kind=shipped bin=$shipped
fi
inputs=("$bin/VrxRO.dll" "$bin/fixtures/signing/settings/VrxSet.dll"
        "$bin/fixtures/signing/autofill/VRXAutoFillRes.dll" "$helpers/vrxconf.exe"
        "$helpers/vrx_service_standin.exe" "$helpers/vrx_task_setup.exe"
        "$sources"/msi/*.wxs "$sources"/msi/build-packages.sh "$sources"/content/content.ini
        "$sources"/content/Config/*.txt)
stamp=$( { echo "$kind $bin"; sha256sum "${inputs[@]}"; } | sha256sum | cut -d' ' -f1)
if [ -f "$out/stamp" ] && [ "$(cat "$out/stamp")" = "$stamp" ]; then
    exit 0
fi

payload=$out/payload
rm -rf "$out"
mkdir -p "$payload"
cp "$bin/VrxRO.dll" "$bin/fixtures/signing/settings/VrxSet.dll" \
   "$bin/fixtures/signing/autofill/VRXAutoFillRes.dll" "$helpers/vrxconf.exe" \
   "$helpers/vrx_task_setup.exe" "$payload/"
cp "$helpers/vrx_service_standin.exe" "$payload/VRX80Service.exe"
# A copy of the DLL cut short inside its headers: the loader refuses it.
head -c 1024 "$bin/VrxRO.dll" >"$payload/VrxRO-damaged.dll"
# Content #5 in this version's package; content #3 as the earlier version unpacked it.
(cd "$sources/content" && gcab -c -z "$payload/vrxcmcnt.cab" content.ini Config/reputation.txt \
    Config/phrases.txt)
printf 'reputation table of content #3\n' >"$payload/reputation-v3.txt"
printf 'apf of the earlier 32-bit install\n' >"$payload/apf"

# The users' settings the earlier version leaves, in the settings stand-in's store format: alice
# (level 5, no friends, filters that need escaping and a "Charset" rule in code pages), bob (level
# 5 with a friend), carol (level 3).
python3 - "$payload/VrxSet.store" <<'PY'
import sys
def wide(text): return (text + '\0').encode('utf-16-le').hex()
def dword(n): return n.to_bytes(4, 'little').hex()
filters = ('<VRXFilters><SubjCont><![CDATA[cheap]]></SubjCont>'
           '<BodyContRE><![CDATA[a]]b]]></BodyContRE>'
           '<Charset>1252;28591</Charset></VRXFilters>')
lines = []
def node(path): lines.append(f'node|{path}')
def value(path, name, data): lines.append(f'value|{path}|{name}|{data}')
node('')
for user, sid, level in (('alice', 'S-1-5-21-1001', 5), ('bob', 'S-1-5-21-1002', 5),
                         ('carol', 'S-1-5-21-1003', 3)):
    node(user)
    value(user, '_SETTINGS_NAME', wide(sid))
    value(user, 'UserFilteringLevel', dword(level))
value('alice', 'UserFilters', wide(filters))
node('bob\\UserFriendsNew')
node('bob\\UserFriendsNew\\dave')
value('bob\\UserFriendsNew\\dave', '_SETTINGS_NAME', wide('dave@example.com'))
open(sys.argv[1], 'w').write('\n'.join(lines) + '\n')
PY

# wixl takes sources relative to its working folder only.
wixl_in_payload() { (cd "$payload" && wixl -a x86 "$@"); }
wixl_in_payload -o "$out/VrxRO-12.0.msi" "$sources/msi/VrxRO-12.0.wxs"
wixl_in_payload -D Dll=VrxRO.dll -o "$out/VrxRO.msi" "$sources/msi/VrxRO.wxs"
wixl_in_payload -D Dll=none -o "$out/VrxRO-missing-dll.msi" "$sources/msi/VrxRO.wxs"
wixl_in_payload -D Dll=VrxRO-damaged.dll -o "$out/VrxRO-damaged-dll.msi" "$sources/msi/VrxRO.wxs"
printf '%s\t%s\n' "$kind" "$bin" >"$out/payload.txt"
echo "$stamp" >"$out/stamp"
echo "msi: packages built in $out with the $kind build from $bin"
