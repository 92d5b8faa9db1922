/* Proves that this machine runs the build's programs: prints the pointer size and whether the
   process runs under WOW64. The test command runs it before counting on a build's suite. */
#include <windows.h>
#include <stdio.h>

int main(void) {
    BOOL wow64 = FALSE;
    if (!IsWow64Process(GetCurrentProcess(), &wow64)) {
        return 2;
    }
    printf("%u-bit process%s\n", (unsigned)(sizeof(void*) * 8), wow64 ? " under WOW64" : "");
    return 0;
}
