#!/usr/bin/env bash
# Builds everything and runs every test under Wine in the project's own prefix: first the shipped
# i686 build (its tests under 32-bit Wine, its DLL through SysWOW64's rundll32), then the x86_64
# build, then the fuzz targets' replay of their kept inputs (win64.Fuzz.*, in a prefix of their
# own). One ctest run counts them all; test names begin with win32. or win64.
# Ends with ctest's summary line; exits non-zero when anything fails. Arguments go to ctest.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$here/env.sh"
. "$here/wine-prefix.sh"

bash "$here/setup-deps.sh"
bash "$here/build.sh"
# The fuzz targets (build/fuzz-win64), whose kept inputs are replayed after the two suites.
bash "$here/fuzz.sh" --build

trap 'vrx_prefix_stop "$VRX_TEST_PREFIX"' EXIT
vrx_prefix_start "$VRX_TEST_PREFIX"

# The 32-bit suite counts only on a machine that runs 32-bit programs; elsewhere it is reported
# as skipped, with the reason, and only its checks of the built files (tests/tools) run.
win32_suite='subdirs("win32")'
if ! probe=$("$here/wine-run.sh" "$VRX_BUILD/win32/bin/vrx_arch_probe.exe" 2>&1); then
    # No apostrophe: the reason is quoted for the shell in the test's command.
    reason="this machine cannot run 32-bit Windows programs (is the package wine32:i386 installed?)"
    echo "test: $reason; the shipped i686 build's suite is SKIPPED but for its checks of the built files" >&2
    echo "test: the probe said: $probe" >&2
    win32_suite="add_test(win32.Suite /bin/sh -c \"echo '$reason'; exit 77\")
set_tests_properties(win32.Suite PROPERTIES SKIP_RETURN_CODE 77 LABELS win32)
subdirs(\"win32/tests/tools\")"
fi
printf '# Written by scripts/test.sh: the shipped build first, then its x86_64 twin, then the fuzz\n# targets replaying their kept inputs.\n%s\nsubdirs("win64")\nsubdirs("fuzz-win64")\n' \
    "$win32_suite" >"$VRX_BUILD/CTestTestfile.cmake"

cd "$VRX_BUILD"
# A failed test is run once more: a Wine process has been seen to end at start-up with no output
# (docs/platform.md). Both runs' output stays in the log, and a test that fails twice fails.
ctest --output-on-failure --repeat until-pass:2 "$@"
