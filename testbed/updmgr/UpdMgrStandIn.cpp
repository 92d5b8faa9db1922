// Stand-in for the product's update manager, for tests, benchmarks and the demo.
//
// It creates the manager's named mutex (not owned) and manual-reset install event, named from the
// machine identifier's hash, and answers at most one request, in one of three modes:
//   take     takes the request: acquires the mutex, then resets the event; holds the mutex for
//            --hold ms, releases it and exits 0.
//   abandon  as take, but exits while still holding the mutex, leaving it abandoned (exit 4).
//   ignore   never takes a request: the event stays signalled until --stop is set or --timeout
//            ends (exit 3 when a request came).
// With no request before --timeout it exits 2; bad arguments or objects that already exist or
// cannot be created give 1. Each step is reported on stdout as one line, flushed at once.
//
// Options:
//   --mode take|abandon|ignore  (default take)
//   --hold MS        time the mutex is held after taking a request (default 0)
//   --delay MS       time between seeing a request and taking it (default 0)
//   --timeout MS     longest wait for a request, and the longest life in ignore mode (60000)
//   --hash H         use H for the names instead of the hash of the registry's MachineGuid
//   --ready NAME     a named event to set once the objects exist
//   --stop NAME      a named event that ends the wait early
// And, as a separate command: --signal NAME   sets the named event NAME and exits (0, or 1 when
// no such event exists), so that scripts can set the --ready/--stop events.
#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "src/includes/CmdBuf.h"
#include "support/UniqueAny.h"

namespace {

enum ExitCode : int {
    kProcessed = 0,
    kSetupFailed = 1,
    kNoRequest = 2,
    kLeftSignalled = 3,
    kAbandoned = 4,
};

struct Options {
    std::string mode = "take";
    DWORD holdMs = 0;
    DWORD delayMs = 0;
    DWORD timeoutMs = 60000;
    std::wstring hash;
    std::wstring readyEvent;
    std::wstring stopEvent;
    std::wstring signalEvent;
};

void Report(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::fputs("updmgr: ", stdout);
    std::vfprintf(stdout, format, args);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    va_end(args);
}

std::wstring Widen(const char* text) {
    std::wstring wide;
    for (; *text != '\0'; ++text) {
        wide.push_back(static_cast<unsigned char>(*text));
    }
    return wide;
}

std::string Narrow(const std::wstring& text) {
    return std::string(text.begin(), text.end());
}

bool ParseMs(const char* text, DWORD& value) {
    char* end = nullptr;
    const unsigned long parsed = std::strtoul(text, &end, 10);
    if (end == text || *end != '\0') {
        return false;
    }
    value = static_cast<DWORD>(parsed);
    return true;
}

bool ParseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (i + 1 >= argc) {
            Report("option %s needs a value", name.c_str());
            return false;
        }
        const char* value = argv[++i];
        bool good = true;
        if (name == "--mode") {
            options.mode = value;
            good = options.mode == "take" || options.mode == "abandon" || options.mode == "ignore";
        } else if (name == "--hold") {
            good = ParseMs(value, options.holdMs);
        } else if (name == "--delay") {
            good = ParseMs(value, options.delayMs);
        } else if (name == "--timeout") {
            good = ParseMs(value, options.timeoutMs);
        } else if (name == "--hash") {
            options.hash = Widen(value);
        } else if (name == "--ready") {
            options.readyEvent = Widen(value);
        } else if (name == "--stop") {
            options.stopEvent = Widen(value);
        } else if (name == "--signal") {
            options.signalEvent = Widen(value);
        } else {
            good = false;
        }
        if (!good) {
            Report("bad option %s %s", name.c_str(), value);
            return false;
        }
    }
    return true;
}

int SignalNamedEvent(const std::wstring& name) {
    const Tessel::UniqueHandle event(::OpenEventW(EVENT_MODIFY_STATE, FALSE, name.c_str()));
    return event && ::SetEvent(event.get()) ? kProcessed : kSetupFailed;
}

// The machine hash the names are made from: the one given, or that of the registry's identifier.
std::wstring MachineHash(const Options& options) {
    if (!options.hash.empty()) {
        return options.hash;
    }
    wchar_t buffer[MAX_PATH] = {};
    const std::wstring machineGuid = CIPCPool::GetMachineGUID(buffer, MAX_PATH);
    return machineGuid.empty() ? std::wstring() : CIPCPool::GetHashVal(machineGuid);
}

// Creates one of the manager's objects; refuses one that exists already, since then another
// manager (or a leftover stand-in) would answer in its place.
Tessel::UniqueHandle CreateOwnObject(HANDLE created, const std::wstring& name) {
    Tessel::UniqueHandle object(created);
    if (!object || ::GetLastError() == ERROR_ALREADY_EXISTS) {
        Report("cannot create %s (error %lu)", Narrow(name).c_str(), ::GetLastError());
        return Tessel::UniqueHandle();
    }
    return object;
}

// Time left of `totalMs` since `startTick`.
DWORD Remaining(ULONGLONG startTick, DWORD totalMs) {
    const ULONGLONG elapsed = ::GetTickCount64() - startTick;
    return elapsed >= totalMs ? 0 : static_cast<DWORD>(totalMs - elapsed);
}

int Serve(const Options& options) {
    const ULONGLONG started = ::GetTickCount64();
    const std::wstring hash = MachineHash(options);
    if (hash.empty()) {
        Report("no machine identifier to name the objects from");
        return kSetupFailed;
    }
    const std::wstring mutexName = UpdMgrObjects::MutexName(hash);
    const std::wstring eventName = UpdMgrObjects::EventName(hash);
    const Tessel::UniqueHandle mutex =
        CreateOwnObject(::CreateMutexW(nullptr, FALSE, mutexName.c_str()), mutexName);
    if (!mutex) {
        return kSetupFailed;
    }
    const Tessel::UniqueHandle event =
        CreateOwnObject(::CreateEventW(nullptr, TRUE, FALSE, eventName.c_str()), eventName);
    if (!event) {
        return kSetupFailed;
    }
    Tessel::UniqueHandle stop;
    if (!options.stopEvent.empty()) {
        stop.reset(::CreateEventW(nullptr, TRUE, FALSE, options.stopEvent.c_str()));
        if (!stop) {
            Report("cannot create the stop event (error %lu)", ::GetLastError());
            return kSetupFailed;
        }
    }
    Report("mutex %s", Narrow(mutexName).c_str());
    Report("event %s", Narrow(eventName).c_str());
    if (!options.readyEvent.empty()) {
        const Tessel::UniqueHandle ready(
            ::CreateEventW(nullptr, TRUE, FALSE, options.readyEvent.c_str()));
        if (!ready || !::SetEvent(ready.get())) {
            Report("cannot set the ready event (error %lu)", ::GetLastError());
            return kSetupFailed;
        }
    }
    Report("ready, mode %s", options.mode.c_str());

    // A request is the event becoming signalled; waiting on a manual-reset event leaves it so.
    HANDLE waitables[] = {event.get(), stop.get()};
    const DWORD count = stop ? 2 : 1;
    const DWORD seen =
        ::WaitForMultipleObjects(count, waitables, FALSE, Remaining(started, options.timeoutMs));
    if (seen != WAIT_OBJECT_0) {
        Report("no request");
        return kNoRequest;
    }
    Report("request received");

    if (options.mode == "ignore") {
        if (stop) {
            ::WaitForSingleObject(stop.get(), Remaining(started, options.timeoutMs));
        } else {
            ::Sleep(Remaining(started, options.timeoutMs));
        }
        const bool stillSignalled = ::WaitForSingleObject(event.get(), 0) == WAIT_OBJECT_0;
        Report("request left untaken; event %s", stillSignalled ? "still signalled" : "reset");
        return kLeftSignalled;
    }

    ::Sleep(options.delayMs);
    // Holding the mutex before resetting the event: a client that sees the reset and then waits
    // for the mutex cannot get it before the work is done.
    if (::WaitForSingleObject(mutex.get(), options.timeoutMs) != WAIT_OBJECT_0) {
        Report("cannot take the mutex");
        return kSetupFailed;
    }
    ::ResetEvent(event.get());
    Report("request taken; holding the mutex for %lu ms", options.holdMs);
    ::Sleep(options.holdMs);
    if (options.mode == "abandon") {
        Report("exiting with the mutex held");
        return kAbandoned;
    }
    ::ReleaseMutex(mutex.get());
    Report("mutex released; request processed");
    return kProcessed;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        return kSetupFailed;
    }
    if (!options.signalEvent.empty()) {
        return SignalNamedEvent(options.signalEvent);
    }
    return Serve(options);
}
