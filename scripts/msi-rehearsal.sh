#!/usr/bin/env bash
# The install rehearsal: Wine's msiexec installs the earlier version's package, upgrades it to this
# version's (which runs the ten actions as deferred custom actions through SysWOW64's rundll32),
# uninstalls it, then installs the two damaged packages (DLL missing, DLL cut short). It prints
# each step, every custom action's return value from the MSI log and the state checks, and exits
# non-zero when a check fails. It runs in a prefix of its own, made afresh on every run
# (VRX_MSI_PREFIX, default build/wineprefix-msi, removed at the end unless VRX_KEEP_PREFIX=1); the
# MSI logs stay in build/win32/msi/logs. The packages are built by the win32 tree (testbed/msi).
#
# msi-rehearsal.sh                 the packages of the win32 tree
# msi-rehearsal.sh --release DIST  packages carrying a release's signed VrxRO.dll and vrxconf.exe
#                                  (scripts/release.sh), built into build/win32/msi-release
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$here/env.sh"
. "$here/wine-prefix.sh"

msi=$VRX_BUILD/win32/msi dist=""
if [ "${1:-}" = --release ]; then
    # The release's files, with the shipped tree's stand-ins and helpers beside them.
    dist=$(cd "${2:?--release needs the release folder}" && pwd)
    msi=$VRX_BUILD/win32/msi-release
    shipped=$VRX_BUILD/win32/bin release_bin=$VRX_BUILD/win32/msi-release-bin
    rm -rf "$release_bin"
    mkdir -p "$release_bin"
    ln -s "$dist/VrxRO.dll" "$dist/vrxconf.exe" "$shipped/fixtures" \
        "$shipped/vrx_service_standin.exe" "$shipped/vrx_task_setup.exe" "$release_bin/"
    bash "$VRX_ROOT/testbed/msi/build-packages.sh" "$msi" "$VRX_ROOT/testbed" "$release_bin" \
        "$release_bin/no-test-trust-build" "$release_bin" >/dev/null
elif [ $# -gt 0 ]; then
    vrx_usage "$0"
fi
prefix=${VRX_MSI_PREFIX:-$VRX_BUILD/wineprefix-msi}
logs=$msi/logs
if [ ! -f "$msi/payload.txt" ]; then
    echo "msi-rehearsal: no packages in $msi; build the win32 tree first (scripts/build.sh)" >&2
    exit 2
fi
IFS=$'\t' read -r kind bin <"$msi/payload.txt"
started=$(date +%s)

rm -rf "$prefix" "$logs"
mkdir -p "$logs"
cleanup() {
    vrx_prefix_stop "$prefix"
    if [ "${VRX_KEEP_PREFIX:-0}" != 1 ]; then rm -rf "$prefix"; fi
}
trap cleanup EXIT
vrx_prefix_start "$prefix" >/dev/null

c=$prefix/drive_c
install_dir="$c/Program Files/Varlen/VRX"
legacy_apf="$c/Program Files (x86)/Varlen/VRX/apf/apf"
profile=$c/users/RehearsalUser
autofill_db=$c/ProgramData/Varlen/VRX/VRXWMAutoFillDB.dat
dll_log=$c/ProgramData/Varlen/VLLOGS/Anti-Spam/VrxRO/VrxRO000.log
product_key='HKLM\SOFTWARE\Varlen\VRX'
substitute_key='HKLM\SOFTWARE\Varlen\VRX\AppInfo\Substitute'
extensions_key='HKLM\SOFTWARE\Wow6432Node\Microsoft\Exchange\Client\Extensions'
service_key='HKLM\System\CurrentControlSet\Services\VRX80Service'

wine() { "$WINE64" "$@" </dev/null 2>/dev/null; }
# value KEY NAME: the value's data as reg prints it, or nothing when it is missing.
value() { wine reg query "$1" /v "$2" | tr -d '\r' | awk -v n="$2" '
    { line = $0; sub(/^ +/, "", line) }
    index(line, n " ") == 1 { sub(/^[^ ]+( [^ ]+)* +REG_[A-Z_]+ */, "", line); print line; exit }'; }

failures=0
check() {  # check DESCRIPTION COMMAND...: runs the command, prints ok/FAILED with the description.
    local what=$1; shift
    if "$@" >/dev/null 2>&1; then
        echo "  ok      $what"
    else
        echo "  FAILED  $what"
        failures=$((failures + 1))
    fi
}
has_value() { [ -n "$(value "$1" "$2")" ]; }
no_value() { [ -z "$(value "$1" "$2")" ]; }
value_is() { [ "$(value "$1" "$2")" = "$3" ]; }
task() { [ -f "$c/windows/tasks/$1.job" ]; }
no_task() { ! task "$1"; }
no_file() { [ ! -e "$1" ]; }
in_store() { grep -qx "$1" "$install_dir/VrxSet.store"; }
not_in_store() { ! grep -q "$1" "$install_dir/VrxSet.store"; }
# The DLL's log file is UTF-16.
logged() { iconv -f UTF-16LE -t UTF-8 "$dll_log" | grep -qF "$1"; }
registered() { wine reg query 'HKLM\SOFTWARE\Wow6432Node\Microsoft\Windows\CurrentVersion\Uninstall' /s |
               grep -q "DisplayVersion.*$1"; }
not_registered() { ! registered "$1"; }

# msiexec OPTION PACKAGE LOG: runs Wine's msiexec silently with a verbose log. Wine's msiexec can
# return before the install has ended, so this waits for the log's closing line as well.
# Prints the exit status and every custom action's return value as the install ran it.
msiexec() {
    local option=$1 package=$2 log=$logs/$3 status=0
    echo "\$ msiexec $option $(basename "$package") /qn /l*v $(basename "$log")"
    wine msiexec "$option" "$(winepath_of "$package")" /qn /l*v "$(winepath_of "$log")" ||
        status=$?
    for _ in $(seq 600); do
        grep -qa 'Action ended .*: INSTALL\. Return value' "$log" 2>/dev/null && break
        sleep 0.2
    done
    echo "  msiexec exit status $status; $(grep -a 'Action ended .*: INSTALL\. Return value' "$log" |
        tail -1 | sed 's/^Action ended [0-9:]*: //')"
    # Wine logs a deferred action twice: once when it is scheduled, once when InstallFinalize runs
    # the script. The second is the one that ran.
    awk '/Action start .*: InstallFinalize\./ { run = 1 }
         run && /Action ended .*: (Vrx|CreateTasks)/ {
             sub(/^Action ended [0-9:]*: /, ""); sub(/\. Return value /, " "); sub(/\.$/, "")
             printf "  custom action %-28s return value %s (%s)\n", $1, $2,
                    $2 == 1 ? "success" : $2 == 3 ? "failure" : "other" }' "$log"
    return "$status"
}
winepath_of() { printf 'Z:%s' "$(printf '%s' "$1" | tr '/' '\\')"; }

echo "Install rehearsal in a fresh prefix $prefix"
echo "Packages carry the $kind build: $bin/VrxRO.dll${dist:+ (the release in $dist)}"

# What no installer provides: the DLL logs into files (set by support with vrxconf), the test
# publisher's root is a trusted root as a real publisher's would be, and a user's Outlook has
# cached the product's extension.
wine "$msi/payload/vrxconf.exe" logging file >/dev/null
# The test-trust build pins the shared test root of build/test-ca; without it that build refuses
# its stand-ins, so a missing root is a failure, not a skip.
root="$VRX_BUILD/test-ca/ca-root.der"
if [ -f "$root" ]; then
    wine "$VRX_BUILD/win32/bin/vrx_test_roots.exe" add "$(winepath_of "$root")" >/dev/null
elif [ "$kind" = test-trust ]; then
    echo "msi-rehearsal: $root is missing; the test-trust build cannot accept its stand-ins" >&2
    exit 1
fi
mkdir -p "$profile/AppData/Local/Microsoft/Outlook"
printf 'cached extension list\n' >"$profile/AppData/Local/Microsoft/Outlook/extend.dat"

echo
echo "== 1. Install the earlier version 12.0"
msiexec /i "$msi/VrxRO-12.0.msi" 1-install-12.0.log || true
check "12.0 is installed" registered 12.0.0
check "content #3 unpacked (Config\\reputation-v3.txt, \"content\" = 3)" \
    bash -c "[ -f '$install_dir/Config/reputation-v3.txt' ] && [ '$(value "$product_key" content)' = 0x3 ]"
check "the \"apf\" file in the 32-bit program folder" test -f "$legacy_apf"
check "VRX80Service depends on vlnfire" value_is "$service_key" DependOnService vlnfire
check "the product's scheduled tasks" bash -c "[ -f '$c/windows/tasks/VRX_ABImport_alice.job' ] && [ -f '$c/windows/tasks/VRX_ABImport_bob.job' ]"
check "the Outlook extension registered (32-bit view)" has_value "$extensions_key" 'Varlen Anti-Spam'

echo
echo "== 2. Major upgrade to this version 18.9.161 (the ten actions run)"
msiexec /i "$msi/VrxRO.msi" 2-upgrade-18.9.log || true
check "18.9.161 is installed, 12.0 removed" bash -c "$(declare -f wine registered); registered 18.9.161 && ! registered 12.0.0"
check "every action ran and returned success to the installer" \
    test "$(awk '/Action start .*: InstallFinalize\./ { run = 1 } run && /Action ended .*: Vrx.*Return value 1\./' "$logs/2-upgrade-18.9.log" | wc -l)" -eq 10
check "SetInstallDate: \"date\", \"gmtdate\", \"contentDate\"" \
    bash -c "$(declare -f wine value has_value); has_value '$substitute_key' date && has_value '$substitute_key' gmtdate && has_value '$product_key' contentDate"
check "ExtractContent: content #3 removed, #5 unpacked" \
    bash -c "[ ! -e '$install_dir/Config/reputation-v3.txt' ] && [ -f '$install_dir/Config/reputation.txt' ] && [ -f '$install_dir/content.ini' ]"
check "ExtractContent: \"content\" = 5, \"upd_content\" deleted" \
    bash -c "$(declare -f wine value no_value value_is); value_is '$product_key' content 0x5 && no_value '$product_key' upd_content"
check "SignalContentUpdate: \"contentUMDate\" in the 32-bit view" \
    has_value 'HKLM\SOFTWARE\Wow6432Node\Varlen\VRX' contentUMDate
check "MoveApfFile: \"apf\" moved into the install folder" \
    bash -c "[ ! -e '$legacy_apf' ] && [ -f '$install_dir/apf/apf' ]"
check "RemoveServiceDependency: VRX80Service depends on nothing" no_value "$service_key" DependOnService
check "CheckOutlook: the user's extend.dat deleted" no_file "$profile/AppData/Local/Microsoft/Outlook/extend.dat"
check "DeleteVRXTask: the ABImport tasks removed" bash -c "$(declare -f task no_task); c='$c'; no_task VRX_ABImport_alice && no_task VRX_ABImport_bob"
check "DeleteVRXTask: another product's task kept" task OtherVendorBackup
if [ "$kind" = test-trust ]; then
    echo "  (test-trust build: the test-signed libraries are accepted)"
    check "AdjustFiltLevel: alice (level 5, no friends) lowered to 4" in_store 'value|alice|UserFilteringLevel|04000000'
    check "AdjustFiltLevel: bob (level 5, a friend) kept at 5" in_store 'value|bob|UserFilteringLevel|05000000'
    check "ConvertUFilters: alice's rule scripts written" bash -c "grep -q '^value|alice|UserFiltersBlack|' '$install_dir/VrxSet.store'"
    check "ExtractAutoFillData: the auto-fill database written" test -s "$autofill_db"
else
    echo "  (shipped build: the test-signed libraries must be refused)"
    check "AdjustFiltLevel refused VrxSet.dll (returns 0): alice still at level 5" \
        bash -c "$(declare -f logged); dll_log='$dll_log'; logged 'AdjustFiltLevel: Failed to load Settings DLL.' && grep -qx 'value|alice|UserFilteringLevel|05000000' '$install_dir/VrxSet.store'"
    check "ConvertUFilters refused VrxSet.dll (returns 0): no rule scripts" \
        bash -c "$(declare -f logged); dll_log='$dll_log'; logged 'ConvertUFilters: Failed to load Settings DLL.' && ! grep -q UserFiltersBlack '$install_dir/VrxSet.store'"
    check "ExtractAutoFillData refused VRXAutoFillRes.dll (returns 1): no database" \
        bash -c "$(declare -f logged); dll_log='$dll_log'; logged 'ExtractAutoFillData Error Unable to find resource' && [ ! -e '$autofill_db' ]"
fi
date_after_upgrade=$(value "$substitute_key" date)

echo
echo "== 3. Uninstall this version"
msiexec /x "$msi/VrxRO.msi" 3-uninstall-18.9.log || true
check "no version is registered" bash -c "$(declare -f wine registered); ! registered 18.9.161 && ! registered 12.0.0"
check "the package's files removed (VrxRO.dll, vrxcmcnt.cab, VrxSet.dll)" bash -c "cd '$install_dir' 2>/dev/null || exit 0; [ ! -e VrxRO.dll ] && [ ! -e vrxcmcnt.cab ] && [ ! -e VrxSet.dll ]"
check "the package's values removed (\"Install Dir\")" no_value "$product_key" 'Install Dir'
check "VRX80Service removed" bash -c "! '$WINE64' reg query '$service_key' </dev/null >/dev/null 2>&1"
echo "  What the actions and the earlier version left stays (no installer owns it):"
check "the stamped dates" has_value "$substitute_key" date
check "unpacked content and the users' settings" \
    bash -c "[ -f '$install_dir/Config/reputation.txt' ] && [ -f '$install_dir/VrxSet.store' ]"

echo
echo "== 4. Bad input: packages whose DLL is missing or damaged"
echo "  rundll32 discards what an action returns, and Wine's rundll32 exits 0 even when it cannot"
echo "  load the DLL, so under every return handling the install completes; the actions do nothing."
for bad in missing damaged; do
    echo
    msiexec /i "$msi/VrxRO-$bad-dll.msi" "4-install-$bad-dll.log" || true
    check "the $bad-DLL package installs (the failure is not seen by the installer)" registered 18.9.161
    check "the $bad-DLL package's actions did nothing (\"date\" not stamped again)" \
        value_is "$substitute_key" date "$date_after_upgrade"
    msiexec /x "$msi/VrxRO-$bad-dll.msi" "4-uninstall-$bad-dll.log" >/dev/null || true
done

echo
echo "MSI logs: $logs"
echo "The packages carried the $kind build ($bin)."
echo "Rehearsal took $(( $(date +%s) - started )) s; $failures check(s) failed."
[ "$failures" -eq 0 ]
