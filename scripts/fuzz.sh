#!/usr/bin/env bash
# Coverage-guided fuzzing of the parsers that read outside input, in the library's own code under
# Wine (build/fuzz-win64: the library compiled by clang with coverage instrumentation, linked with
# libFuzzer's engine).
#
#   scripts/fuzz.sh --list              the targets, one a line, with what each reads
#   scripts/fuzz.sh TARGET [SECONDS]    builds what it needs and fuzzes TARGET (default 60 s),
#                                       starting from its corpus and regression inputs; what
#                                       the run learns stays in build/fuzz-win64/corpus/TARGET,
#                                       inputs that break an invariant go to .../findings/TARGET
#   scripts/fuzz.sh --merge TARGET      minimises that working corpus with the kept one into
#                                       tests/fuzz/corpus/TARGET (the inputs that add coverage)
#   scripts/fuzz.sh --replay [TARGET..] runs every kept input of each target (all by default),
#                                       then fuzzes it for VRX_FUZZ_REPLAY_SECONDS (default 5);
#                                       what the test command runs. Exits non-zero on a finding.
#   scripts/fuzz.sh --build [i686]      builds the fuzz tree only (i686: build/fuzz-win32, which
#                                       this machine may not be able to run)
#
# Every finding is kept as a regression input in tests/fuzz/regressions/TARGET and fixed.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$here/env.sh"
. "$here/wine-prefix.sh"

fuzz_tree=$VRX_BUILD/fuzz-win64
fuzz_prefix=${VRX_FUZZ_PREFIX:-$VRX_BUILD/wineprefix-fuzz}
kept=$VRX_ROOT/tests/fuzz

# name|what it reads|engine options
targets=(
    "enciphered_record|enciphered registry records, as the logging settings are read|-max_len=4096"
    "log_ini|log.ini, through the obfuscating INI reader and the file sink's settings|-max_len=4096"
    "filters_document|a user's filters document, converted and made into rule scripts|-max_len=8192 -timeout=20"
    "cabinet_names|a content package's member names, listed and checked for containment|-max_len=8192"
    "embedded_signature|a signed library's embedded signature, checked by the own signature check|-timeout=20"
    "trusted_list|the trusted list's text|-max_len=4096"
    "task_names|the task names the scheduler hands out to DeleteVRXTask|-max_len=4096"
    "profile_path|the default profile path CheckOutlook sweeps from|-max_len=1024"
)

# The Windows form of an absolute Unix path (Wine's drive Z: is the Unix root).
windows_path() { printf 'Z:%s\\' "${1//\//\\}"; }

field() { # field TARGET N
    local entry
    for entry in "${targets[@]}"; do
        if [ "${entry%%|*}" = "$1" ]; then
            echo "$entry" | cut -d'|' -f"$2"
            return 0
        fi
    done
    echo "fuzz: no target $1 (scripts/fuzz.sh --list)" >&2
    return 1
}

# build [ARCH]: the fuzz tree of x86_64 (build/fuzz-win64, the one that runs here) or of i686
# (build/fuzz-win32: the shipped architecture, built to show that it builds).
build() {
    local arch=${1:-x86_64} tree=$fuzz_tree
    [ "$arch" = x86_64 ] || tree=$VRX_BUILD/fuzz-win32
    VRX_FUZZ_ARCHES="${VRX_FUZZ_ARCHES:-} $arch" bash "$here/setup-deps.sh"
    local options=()
    if command -v ccache >/dev/null; then
        export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$VRX_ROOT} CCACHE_NOHASHDIR=${CCACHE_NOHASHDIR:-true}
        options=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
    fi
    # The toolchain is named only when the tree is made (CMake warns on later runs otherwise).
    [ -f "$tree/CMakeCache.txt" ] ||
        options+=(-DCMAKE_TOOLCHAIN_FILE="$VRX_ROOT/cmake/toolchain-clang-$arch-w64-mingw32.cmake")
    cmake -S "$VRX_ROOT" -B "$tree" -G Ninja -DCMAKE_BUILD_TYPE=Release "${options[@]}" \
        -DVRX_OPENSSL_ROOT="$VRX_DEPS/openssl-$arch" -DVRX_BUILD_FUZZ=ON \
        -DVRX_LIBFUZZER="$VRX_DEPS/libfuzzer-$arch/libFuzzer.a" >/dev/null
    # The linker's notes on libstdc++'s type names and the engine's export directives are
    # harmless; the log is shown only when the build fails.
    cmake --build "$tree" --target vrx_fuzz_all -j "$(nproc)" >"$tree/build.log" 2>&1 ||
        { grep -v 'duplicate section\|corrupt .drectve' "$tree/build.log" | tail -n 40; return 1; }
}

# The signature target also starts from the signing fixtures of the x86_64 test tree (those of a
# library's size), which end in this machine's test authorities: their root goes into the fuzz
# prefix's root store, and the target reads them from VRX_FUZZ_SIGNING. The filters target keeps
# the rule scripts it makes in VRX_FUZZ_SCRIPTS for the real Lua reader.
signature_fixtures=$VRX_BUILD/win64/bin/fixtures/signing
extra_inputs=""
prepare() { # prepare TARGET: sets extra_inputs, the folders of inputs beside the kept ones
    local target=$1 seeds=$fuzz_tree/seeds/$1
    extra_inputs=""
    if [ "$target" = embedded_signature ]; then
        cmake --build "$VRX_BUILD/win64" --target vrx_signing_fixtures vrx_test_roots >/dev/null
        "$WINE64" "$VRX_BUILD/win64/bin/vrx_test_roots.exe" add "$signature_fixtures/ca-root.der" \
            >/dev/null
        export VRX_FUZZ_SIGNING="$(windows_path "$signature_fixtures")"
        rm -rf "$seeds" && mkdir -p "$seeds"
        find "$signature_fixtures" -maxdepth 1 -type f \( -name '*.dll' -o -name '*.js' \) \
            -size -64k -exec cp {} "$seeds/" \;
        extra_inputs=$seeds
    fi
}

# The engine, run in the fuzz prefix: run TARGET ARGUMENTS...
run() {
    local target=$1
    shift
    # shellcheck disable=SC2046
    "$WINE64" "$fuzz_tree/bin/vrx_fuzz_$target.exe" $(field "$target" 3) "$@"
}

# Inputs of a target: the kept corpus and the regression inputs that exist.
kept_inputs() {
    local dir
    for dir in "$kept/corpus/$1" "$kept/regressions/$1"; do
        [ -d "$dir" ] && echo "$dir"
    done
    return 0
}

campaign() { # campaign TARGET SECONDS
    local target=$1 seconds=$2 work=$fuzz_tree/corpus/$1 findings=$fuzz_tree/findings/$1
    mkdir -p "$work" "$findings"
    prepare "$target"
    # shellcheck disable=SC2046,SC2086
    run "$target" -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="$(windows_path "$findings")" "$work" $(kept_inputs "$target") $extra_inputs \
        2>&1 | tee "$fuzz_tree/$target.log" | grep -av '^#[0-9]*	REDUCE'
}

merge() { # merge TARGET
    local target=$1 merged=$fuzz_tree/merged/$1
    rm -rf "$merged" && mkdir -p "$merged" "$kept/corpus/$target"
    prepare "$target"
    # shellcheck disable=SC2086
    run "$target" -merge=1 "$merged" "$kept/corpus/$target" "$fuzz_tree/corpus/$target" \
        $extra_inputs 2>&1 |
        grep -E 'MERGE-OUTER|INFO: .*files found' || true
    rm -rf "$kept/corpus/$target" && mkdir -p "$kept/corpus/$target"
    cp "$merged"/* "$kept/corpus/$target/"
    echo "fuzz: $target: $(ls "$kept/corpus/$target" | wc -l) inputs kept"
}

replay() { # replay TARGET
    local target=$1 seconds=${VRX_FUZZ_REPLAY_SECONDS:-5} scratch=$fuzz_tree/replay/$1
    local findings=$fuzz_tree/findings/$1
    rm -rf "$scratch" && mkdir -p "$scratch/new" "$scratch/scripts" "$findings"
    prepare "$target"
    export VRX_FUZZ_SCRIPTS=
    if [ "$target" = filters_document ]; then
        VRX_FUZZ_SCRIPTS=$(windows_path "$scratch/scripts")
        VRX_FUZZ_SCRIPTS=${VRX_FUZZ_SCRIPTS%\\}
    fi
    # New inputs go to a scratch folder: the kept corpus is never changed by a replay. The seed
    # is fixed, so that a run again makes the same inputs; an input that breaks an invariant is
    # kept in the findings folder (a later run that passes does not make it any less a finding).
    # shellcheck disable=SC2046,SC2086
    if ! run "$target" -max_total_time="$seconds" -seed="${VRX_FUZZ_SEED:-1}" \
        -artifact_prefix="$(windows_path "$findings")" "$scratch/new" \
        $(kept_inputs "$target") $extra_inputs >"$scratch/log" 2>&1; then
        grep -av '^#[0-9]*	\|^"' "$scratch/log" | tail -n 30
        echo "fuzz: $target: FAILED, the input is in $findings" >&2
        return 1
    fi
    grep -aE '^#[0-9]+	(INITED|DONE)' "$scratch/log" | sed "s/^/fuzz: $target: /"
    # The scripts made along the way, read by the engine's reader, Lua 5.4: each must hold the
    # number of rules its name gives.
    if [ "$target" = filters_document ]; then
        local script counted scripts=0
        for script in "$scratch"/scripts/*.lua; do
            [ -e "$script" ] || continue
            counted=$(lua5.4 "$VRX_ROOT/tests/lua/rule_scripts.lua" count "$script" 2>&1) || true
            if [ "$counted" != "$(basename "$script" .lua | cut -d- -f2- | tr - ' ')" ]; then
                echo "fuzz: $target: FAILED, Lua reads $script as: $counted" >&2
                return 1
            fi
            scripts=$((scripts + 1))
        done
        echo "fuzz: $target: $scripts scripts read by lua5.4 with the rules expected"
    fi
}

with_prefix() {
    trap 'vrx_prefix_stop "$fuzz_prefix"' EXIT
    vrx_prefix_start "$fuzz_prefix"
}

case "${1:-}" in
    --list)
        for entry in "${targets[@]}"; do
            printf '%-20s %s\n' "${entry%%|*}" "$(echo "$entry" | cut -d'|' -f2)"
        done
        ;;
    --build)
        build "${2:-x86_64}"
        ;;
    --merge)
        field "${2:?--merge TARGET}" 1 >/dev/null
        build
        with_prefix
        merge "$2"
        ;;
    --replay)
        shift
        [ $# -gt 0 ] || set -- $(for entry in "${targets[@]}"; do echo "${entry%%|*}"; done)
        for target in "$@"; do field "$target" 1 >/dev/null; done
        [ -n "${VRX_FUZZ_NO_BUILD:-}" ] || build
        with_prefix
        failed=0
        for target in "$@"; do replay "$target" || failed=1; done
        exit "$failed"
        ;;
    ""|-*)
        awk 'NR > 1 && /^#/ { sub(/^# ?/, ""); print; next } NR > 1 { exit }' "$0"
        exit 2
        ;;
    *)
        field "$1" 1 >/dev/null
        build
        with_prefix
        campaign "$1" "${2:-60}"
        ;;
esac
