#!/usr/bin/env bash
# The main job: provisions a product install in a Wine prefix of its own, runs the 32-bit
# VrxRO.dll's ten actions through SysWOW64's rundll32 in the order the installer does (a 32-bit
# process on a 64-bit system, as in production), and shows what each one changed. The DLL is the
# test-trust build, which accepts the test publisher that signed the stand-ins of the product's
# libraries; the four actions that load those libraries then run once more with the shipped
# build, which refuses them.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$here/env.sh"
. "$here/wine-prefix.sh"

bash "$here/setup-deps.sh"
bash "$here/build.sh" >/dev/null

trap 'vrx_prefix_stop "$VRX_DEMO_PREFIX"' EXIT
vrx_prefix_start "$VRX_DEMO_PREFIX"
# Every step runs a 32-bit program, as the installer does.
if ! probe=$("$here/wine-run.sh" "$VRX_BUILD/win32/bin/vrx_arch_probe.exe" 2>&1); then
    echo "demo: this machine cannot run 32-bit Windows programs (is the package wine32:i386" \
         "installed?), and the demo runs the 32-bit DLL as the installer does. The probe said:" >&2
    echo "  $probe" >&2
    exit 1
fi

install_win='C:\Program Files\Varlen\VRX'
install_unix="$VRX_DEMO_PREFIX/drive_c/Program Files/Varlen/VRX"
# The "apf" folder of an earlier, 32-bit install: where MoveApfFile takes the file from.
legacy_apf_unix="$VRX_DEMO_PREFIX/drive_c/Program Files (x86)/Varlen/VRX/apf"
# A user profile beside the prefix's own, with Outlook's extension cache: what CheckOutlook deletes.
profile_unix="$VRX_DEMO_PREFIX/drive_c/users/DemoUser"
extensions_key='HKLM\SOFTWARE\Wow6432Node\Microsoft\Exchange\Client\Extensions'
# The product's data folder (the auto-fill database) and the log files of the DLL's records.
data_unix="$VRX_DEMO_PREFIX/drive_c/ProgramData/Varlen/VRX"
logs_unix="$VRX_DEMO_PREFIX/drive_c/ProgramData/Varlen/VLLOGS"
# The test-trust i686 build, with the stand-ins and helpers built alongside it, and the shipped one.
bin="$VRX_BUILD/win32-testtrust/bin"
shipped="$VRX_BUILD/win32/bin/VrxRO.dll"
helper="$bin/vrx_demo_helper.exe"
# Where the utility library VlUtil.dll is looked for ("vlutil32_install_dir" below).
platform_unix="$VRX_DEMO_PREFIX/drive_c/Program Files (x86)/Common Files/Varlen/Platform"
# The product's scheduled tasks (the agent task goes through VlUtil.dll) and one of another program.
tasks=(VrxAgentTask VRX_ABImport_alice VRX_ABImport_bob VRX_abimport_lowercase BackupNightly)
# Where the task scheduler keeps them, one "<name>.job" each.
tasks_unix="$VRX_DEMO_PREFIX/drive_c/windows/tasks"
rundll32='C:\windows\syswow64\rundll32.exe'
work=$(mktemp -d)
trap 'rm -rf "$work"; vrx_prefix_stop "$VRX_DEMO_PREFIX"' EXIT

reg() { "$WINE64" reg "$@" >/dev/null 2>&1; }
set_value() { reg add "$1" /v "$2" /t "$3" /d "$4" /f; }

provision() {
    # Start from a clean product state on every run.
    reg delete 'HKLM\SOFTWARE\Varlen' /f || true
    reg delete 'HKLM\SOFTWARE\Wow6432Node\Varlen' /f || true
    rm -rf "$install_unix" "$VRX_DEMO_PREFIX/drive_c/Program Files (x86)/Varlen" "$profile_unix" \
        "$data_unix" "$logs_unix"
    reg delete "$extensions_key" /v 'Varlen Anti-Spam' /f || true
    mkdir -p "$install_unix/Config"

    # The product's keys as the installer leaves them just before it runs the actions.
    set_value 'HKLM\SOFTWARE\Varlen\VRX' 'Install Dir' REG_SZ "$install_win"
    set_value 'HKLM\SOFTWARE\Varlen\VRX' content REG_DWORD 3
    set_value 'HKLM\SOFTWARE\Varlen\VRX' upd_content REG_DWORD 5
    set_value 'HKLM\SOFTWARE\Varlen\VRX\AppInfo\Substitute' version2 REG_SZ 12.0
    set_value 'HKLM\SOFTWARE\Varlen\ZEDHOST' Enable REG_DWORD 0
    set_value 'HKLM\SOFTWARE\Varlen\VSC' 'CommonFiles Dir' REG_SZ 'C:\Program Files\Common Files\Varlen'
    set_value 'HKLM\SOFTWARE\Varlen\Platform' vlutil32_install_dir REG_SZ \
        'C:\Program Files (x86)\Common Files\Varlen\Platform'
    set_value 'HKLM\SOFTWARE\Wow6432Node\Varlen\Keelbase' keelbase_version REG_SZ 5.2.0.31
    # The product key in the 32-bit view, which 32-bit components reach without naming a view:
    # SignalContentUpdate stamps "contentUMDate" there.
    reg add 'HKLM\SOFTWARE\Wow6432Node\Varlen\VRX' /f
    # The DLL logs into files (the enciphered "Logging Mechanism" = 1) rather than to event
    # tracing, which Wine does not carry. vrxconf writes it where the shipped 32-bit DLL reads
    # its log configuration: the 32-bit view.
    "$WINE64" "$bin/vrxconf.exe" logging file </dev/null >/dev/null

    # The install folder: the DLL, the content package of this install, and the content that an
    # earlier version unpacked.
    cp "$bin/VrxRO.dll" "$install_unix/"
    # Stand-ins for the product's settings, resource and utility libraries, signed by the test
    # publisher, whose root the machine trusts.
    "$WINE64" "$bin/vrx_test_roots.exe" add "$bin/fixtures/signing/ca-root.der" </dev/null
    cp "$bin/fixtures/signing/settings/VrxSet.dll" "$bin/fixtures/signing/autofill/VRXAutoFillRes.dll" \
        "$install_unix/"
    mkdir -p "$platform_unix"
    cp "$bin/fixtures/signing/vlutil/VlUtil.dll" "$platform_unix/"
    provision_users_and_tasks
    (cd "$VRX_ROOT/testbed/content" &&
     gcab -c -z "$install_unix/vrxcmcnt.cab" content.ini Config/reputation.txt Config/phrases.txt)
    printf 'reputation table of content #3\n' > "$install_unix/Config/reputation-v3.txt"

    # The earlier install's "apf" file, and the empty "apf" folder this install laid down for it.
    mkdir -p "$legacy_apf_unix" "$install_unix/apf"
    printf 'apf of the earlier 32-bit install\n' > "$legacy_apf_unix/apf"

    # The product's Outlook client extension is registered, and a user's Outlook has cached it.
    set_value "$extensions_key" 'Varlen Anti-Spam' REG_SZ '4.0;C:\Program Files\Varlen\VRX\VrxOutlook.dll;1'
    mkdir -p "$profile_unix/AppData/Local/Microsoft/Outlook"
    printf 'cached extension list\n' > "$profile_unix/AppData/Local/Microsoft/Outlook/extend.dat"

    # The product's service, still waiting for the maker's service "vlnfire" at start (made with
    # the testbed's helper: Wine's "sc create ... depend=" stores an unterminated list).
    local services="$bin/vrx_service_setup.exe"
    "$WINE64" "$services" delete VRX80Service </dev/null
    "$WINE64" "$services" create VRX80Service 'C:\windows\system32\cmd.exe' vlnfire </dev/null
}

# The users of the settings store (beside the settings library), the scheduled tasks, and no
# auto-fill database: what the four actions that load the product's libraries work on.
provision_users_and_tasks() {
    python3 "$here/demo_report.py" store "$install_unix/VrxSet.store"
    "$WINE64" "$helper" tasks-remove "${tasks[@]}" </dev/null
    "$WINE64" "$helper" tasks-add "${tasks[@]}" </dev/null
    rm -rf "$data_unix"
}

snapshot() {
    python3 "$here/demo_report.py" snapshot "$work/$1.json" "$tasks_unix" "$install_unix" \
        "$legacy_apf_unix" "$profile_unix" "$data_unix"
}

run_action() {
    local action=$1 before=$work/before.json
    echo
    echo "== rundll32 VrxRO.dll,$action"
    snapshot before
    python3 "$here/demo_report.py" logmark "$work/log.json" "$logs_unix"
    "$WINE64" "$rundll32" "$install_win\\VrxRO.dll,$action" </dev/null >/dev/null 2>&1
    snapshot after
    python3 "$here/demo_report.py" diff "$work/before.json" "$work/after.json"
    python3 "$here/demo_report.py" lognew "$work/log.json" "$logs_unix"
}

echo "Provisioning a product install in $VRX_DEMO_PREFIX"
provision
echo "Install folder $install_win:"
(cd "$install_unix" && find . -type f | sed 's|^\./|  |' | sort)
echo "The earlier install's apf folder:"
(cd "$legacy_apf_unix" && find . -type f | sed 's|^\./|  |' | sort)
echo "A user profile, with the product's Outlook extension registered:"
(cd "$profile_unix" && find . -type f | sed 's|^\./|  C:\\users\\DemoUser\\|; s|/|\\|g' | sort)

# The update manager is a process of its own: the stand-in creates its mutex and install event,
# named from this machine's identifier as the DLL names them, takes the request and holds the
# mutex for a moment as the real one does while it works.
signal_content_update() {
    local log=$work/updmgr.log
    "$WINE64" "$bin/vrx_updmgr_standin.exe" --mode take --hold 1500 \
        --timeout 30000 >"$log" 2>&1 </dev/null &
    local manager=$!
    for _ in $(seq 100); do grep -q ready "$log" && break; sleep 0.1; done
    run_action SignalContentUpdate
    wait "$manager" || true
    echo "  update manager (stand-in) saw:"
    sed 's/^updmgr: /    /' "$log"
}

# The actions that work on the settings store: each user's level, or documents and scripts.
settings_action() {
    local action=$1 view=$2
    cp "$install_unix/VrxSet.store" "$work/store-before"
    run_action "$action"
    python3 "$here/demo_report.py" "$view" "$work/store-before" "$install_unix/VrxSet.store"
}

delete_tasks() {
    "$WINE64" "$helper" tasks </dev/null | tr -d '\r' | sort >"$work/tasks-before"
    run_action DeleteVRXTask
    "$WINE64" "$helper" tasks </dev/null | tr -d '\r' | sort >"$work/tasks-after"
    echo "  scheduled tasks:"
    python3 "$here/demo_report.py" lines "$work/tasks-before" "$work/tasks-after"
}

extract_autofill() {
    run_action ExtractAutoFillData
    local db="$data_unix/VRXWMAutoFillDB.dat"
    if cmp -s "$db" "$bin/fixtures/signing/autofill.dat"; then
        echo "  the database file holds the resource library's DBFILE 101 byte for byte"
    fi
    # Wine keeps no access list for files: it answers with one made from the folder's Unix mode.
    echo "  rights of C:\\ProgramData\\Varlen\\VRX as Wine reports them (it does not keep the list"
    echo "  that the action set; on Windows Everyone's entries go and Authenticated Users and"
    echo "  Guests are allowed, inherited by files and folders):"
    echo "    $("$WINE64" "$helper" dacl 'C:\ProgramData\Varlen\VRX' </dev/null | tr -d '\r')"
}

echo
echo "The DLL: $bin/VrxRO.dll"
echo "  PrivateBuild: $(python3 "$here/demo_report.py" privatebuild "$bin/VrxRO.dll")"

# The installer's order.
run_action SetInstallDate
run_action ExtractContent
signal_content_update
run_action MoveApfFile
run_action RemoveServiceDependency
run_action CheckOutlook
# The steps that load the product's own libraries, accepted by the test-trust build.
settings_action AdjustFiltLevel levels
settings_action ConvertUFilters filters
delete_tasks
extract_autofill

# The shipped build refuses the same libraries: one line per action.
echo
echo "== The same four actions with the shipped build, $shipped"
provision_users_and_tasks
cp "$shipped" "$install_unix/VrxRO.dll"
cp "$install_unix/VrxSet.store" "$work/store-shipped"
for action in AdjustFiltLevel ConvertUFilters DeleteVRXTask ExtractAutoFillData; do
    python3 "$here/demo_report.py" logmark "$work/log.json" "$logs_unix"
    "$WINE64" "$rundll32" "$install_win\\VrxRO.dll,$action" </dev/null >/dev/null 2>&1
    refused=$(python3 "$here/demo_report.py" refusal "$work/log.json" "$logs_unix")
    case $action in
    DeleteVRXTask)
        # The utility library is validated without a log record: the agent task it deletes stays.
        "$WINE64" "$helper" tasks </dev/null | grep -q '^VrxAgentTask' &&
            refused="VlUtil.dll (VrxAgentTask still scheduled; the ABImport tasks, which need no library, are gone)" ;;
    ExtractAutoFillData)
        [ -e "$data_unix/VRXWMAutoFillDB.dat" ] || refused="$refused (no database written)" ;;
    *)
        cmp -s "$work/store-shipped" "$install_unix/VrxSet.store" &&
            refused="$refused (settings store unchanged)" ;;
    esac
    printf '  %-20s %s\n' "$action" "${refused:+refused }${refused:-NOT REFUSED: the shipped build accepted a test-signed library}"
done

echo
echo "The DLL's log files are under C:\\ProgramData\\Varlen\\VLLOGS."
