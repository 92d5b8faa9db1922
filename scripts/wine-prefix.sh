# Wine prefix handling shared by the test and demo scripts; sourced, never run.
# vrx_prefix_start DIR: creates the prefix when missing, keeps its server alive and warms it, so
# that Wine's background services are up before anything reads a program's output.
# vrx_prefix_stop DIR: stops that prefix's server (and only that one).
vrx_prefix_start() {
    local prefix=$1
    export WINEPREFIX=$prefix WINEDEBUG=-all
    if [ ! -f "$prefix/system.reg" ]; then
        echo "wine: creating prefix $prefix"
        mkdir -p "$prefix"
        "$WINE64" wineboot --init >/dev/null 2>&1 </dev/null || true
        "$WINESERVER64" -w
    fi
    # A prefix made before 32-bit Wine was installed has no SysWOW64 side; an update adds it. On a
    # machine that cannot run 32-bit programs the update never adds it: the marker keeps it from
    # being tried on every start (where a server kept alive by another run would make the wait for
    # the update's processes last for ever). A new 32-bit Wine is tried once more.
    local wow64=$prefix/drive_c/windows/syswow64/rundll32.exe marker=$prefix/.vrx-no-wow64
    local wine32
    wine32=$(dpkg-query -W -f='${Version}' wine32:i386 2>/dev/null || true)
    if [ -x /usr/lib/wine/wine ] && [ ! -f "$wow64" ] &&
        [ "$(cat "$marker" 2>/dev/null)" != "$wine32" ]; then
        echo "wine: adding the 32-bit side to $prefix"
        "$WINE64" wineboot --update >/dev/null 2>&1 </dev/null || true
        "$WINESERVER64" -w
        [ -f "$wow64" ] || printf '%s' "$wine32" >"$marker"
    fi
    # A server already running for this prefix (exit code 2) is kept as it is.
    "$WINESERVER64" -p </dev/null >/dev/null 2>&1 || true
    "$WINE64" cmd /c exit </dev/null >/dev/null 2>&1 || true
}

vrx_prefix_stop() {
    WINEPREFIX=$1 "$WINESERVER64" -k >/dev/null 2>&1 || true
}
