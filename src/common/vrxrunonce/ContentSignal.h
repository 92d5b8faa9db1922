// The request poll of SignalContentUpdate: after setting the update manager's install event, the
// action watches the event until the manager resets it (the request is taken) or it gives up.
#pragma once

#include <windows.h>

#include <functional>

namespace VrxRunOnce {

constexpr unsigned kMaxPollRepeats = 1500;
constexpr DWORD kPollWaitMs = 1;
constexpr DWORD kPollSleepMs = 1;

struct UpdateRequestPoll {
    DWORD lastWait = WAIT_FAILED;  // result of the last wait on the event
    unsigned repeats = 0;          // sleep-and-wait rounds after the first wait
    bool accepted = false;         // the manager reset the event within the allowed rounds
};

// Waits on the event for kPollWaitMs; while it stays signalled, repeats at most kMaxPollRepeats
// times: sleep kPollSleepMs, wait again. The request counts as accepted when the last wait timed
// out before the last allowed round: a failed wait, an event still signalled after every round,
// and a time-out seen only in the last round count as not accepted.
UpdateRequestPoll PollUpdateRequest(const std::function<DWORD(DWORD timeoutMs)>& waitForEvent,
                                    const std::function<void(DWORD ms)>& sleep);

// The same on a real event handle.
UpdateRequestPoll PollUpdateRequest(HANDLE event);

}  // namespace VrxRunOnce
