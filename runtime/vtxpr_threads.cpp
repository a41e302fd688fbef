// Threads with exit codes read the way the service code expects them.
//
// The record behind a handle is shared by the handle and the running
// thread and freed by whichever lets go of it last, so a handle may be
// closed while its thread still runs.
//
// Waiting for a thread to end: the exit code is read every 10 ms of real
// time, but the thread's end also wakes the waiter at once, so joins do not
// add up to 10 ms each when a pool stops its workers one by one. The wait
// uses the real clock on purpose: the thread waited for runs in real time,
// and a test clock installed with VTXPR_SetClock must not be advanced (or
// spun) by joins. A routine that breaks the rule and returns 259 still
// counts as ended for the join, which would otherwise never return.
#include "runtime/vtxpr_threads.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

struct VTXPR_THREAD_REC {
    VTXPR_THREAD_ROUTINE routine = nullptr;
    void* argument = nullptr;
    std::mutex mutex;
    std::condition_variable ended_signal;
    std::uint32_t exit_code = VTXPR_STILL_ACTIVE;
    bool ended = false;
    // One reference for the handle, one for the running thread.
    std::atomic<int> references{2};
};

namespace {

constexpr auto kJoinPoll = std::chrono::milliseconds(10);

void ReleaseRecord(VTXPR_THREAD_REC* record) {
    if (record->references.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        delete record;
    }
}

void RunThread(VTXPR_THREAD_REC* record) {
    const std::uint32_t code = record->routine(record->argument);
    {
        std::lock_guard<std::mutex> hold(record->mutex);
        record->exit_code = code;
        record->ended = true;
        record->ended_signal.notify_all();
    }
    ReleaseRecord(record);
}

} // namespace

int VTXPR_CreateThread(VTXPR_THREAD* thread, void* /*attributes*/, VTXPR_THREAD_ROUTINE routine,
                       void* argument) {
    if (thread == nullptr) {
        return -1;
    }
    *thread = nullptr;
    if (routine == nullptr) {
        return -1;
    }
    VTXPR_THREAD_REC* record = new (std::nothrow) VTXPR_THREAD_REC;
    if (record == nullptr) {
        return -1;
    }
    record->routine = routine;
    record->argument = argument;
    try {
        std::thread(RunThread, record).detach();
    } catch (const std::system_error&) {
        delete record;
        return -1;
    } catch (const std::bad_alloc&) {
        delete record;
        return -1;
    }
    *thread = record;
    return 0;
}

int VTXPR_GetExitCodeThread(VTXPR_THREAD thread, std::uint32_t* exit_code) {
    if (thread == nullptr || exit_code == nullptr) {
        return -1;
    }
    std::lock_guard<std::mutex> hold(thread->mutex);
    *exit_code = thread->exit_code;
    return 0;
}

int VTXPR_JoinThread(VTXPR_THREAD thread) {
    if (thread == nullptr) {
        return -1;
    }
    std::unique_lock<std::mutex> hold(thread->mutex);
    while (thread->exit_code == VTXPR_STILL_ACTIVE && !thread->ended) {
        thread->ended_signal.wait_for(hold, kJoinPoll);
    }
    return 0;
}

int VTXPR_CloseThread(VTXPR_THREAD* thread) {
    if (thread == nullptr || *thread == nullptr) {
        return -1;
    }
    VTXPR_THREAD_REC* record = *thread;
    *thread = nullptr;
    ReleaseRecord(record);
    return 0;
}
