// LoadLibrary + FreeLibrary of a DLL against the same for the empty DLL, alternating, in one
// process.   vrx_bench_load <dll> <empty dll> [runs] [pairs per run]
// Prints microseconds per load-and-unload pair for each, and the ratio of the medians.
#include <cstdlib>

#include "Stats.h"
#include "support/UniqueAny.h"

namespace {

double MicrosecondsPerPair(const wchar_t* path, int pairs) {
    const LARGE_INTEGER start = VrxBench::Now();
    for (int i = 0; i < pairs; ++i) {
        Tessel::UniqueHModule module(::LoadLibraryW(path));
        if (!module) {
            std::fprintf(stderr, "cannot load %ls: %lu\n", path, ::GetLastError());
            std::exit(1);
        }
    }
    return VrxBench::Seconds(start, VrxBench::Now()) * 1e6 / pairs;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: vrx_bench_load <dll> <empty dll> [runs] [pairs]\n");
        return 2;
    }
    const int runs = argc > 3 ? _wtoi(argv[3]) : 7;
    const int pairs = argc > 4 ? _wtoi(argv[4]) : 200;
    std::vector<double> dll;
    std::vector<double> empty;
    for (int run = 0; run < runs; ++run) {
        empty.push_back(MicrosecondsPerPair(argv[2], pairs));
        dll.push_back(MicrosecondsPerPair(argv[1], pairs));
    }
    const double floor = VrxBench::Summarise("load+unload, empty DLL", empty, "us/pair");
    const double subject = VrxBench::Summarise("load+unload, VrxRO.dll", dll, "us/pair");
    VrxBench::PrintRatio("DLL load", subject / floor, "<= 2x");

    // The same with the system DLLs that VrxRO.dll imports held loaded, as in a host that uses
    // them itself: what is left is the DLL's own load.
    std::vector<Tessel::UniqueHModule> held;
    for (const wchar_t* system :
         {L"advapi32.dll", L"cabinet.dll", L"crypt32.dll", L"ole32.dll", L"oleaut32.dll",
          L"shell32.dll", L"shlwapi.dll", L"user32.dll", L"version.dll", L"wintrust.dll"}) {
        held.emplace_back(::LoadLibraryW(system));
    }
    std::vector<double> warm;
    for (int run = 0; run < runs; ++run) {
        warm.push_back(MicrosecondsPerPair(argv[1], pairs));
    }
    const double heldMedian = VrxBench::Summarise("load+unload, system DLLs held", warm, "us/pair");
    VrxBench::PrintRatio("DLL load, system DLLs held", heldMedian / floor, "<= 2x");
    return 0;
}
