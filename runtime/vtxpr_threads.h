// Threads with Windows-style exit codes.
//
// A thread's exit code reads VTXPR_STILL_ACTIVE (259) while its routine runs
// and the routine's return value afterwards; a routine must therefore never
// return 259. Handles are closed with VTXPR_CloseThread whether or not the
// thread has ended; a thread whose handle is closed while it runs goes on
// and releases its own resources when it ends.
#pragma once
#include <cstdint>

constexpr std::uint32_t VTXPR_STILL_ACTIVE = 259;

using VTXPR_THREAD_ROUTINE = std::uint32_t (*)(void* argument);

struct VTXPR_THREAD_REC;
using VTXPR_THREAD = VTXPR_THREAD_REC*;

// Starts routine(argument) at once with the default stack size. The
// attributes argument is ignored. Returns 0 and the handle, or -1 (handle
// null) when the thread cannot be created.
int VTXPR_CreateThread(VTXPR_THREAD* thread, void* attributes, VTXPR_THREAD_ROUTINE routine,
                       void* argument);
// Reads the exit code: 259 while running. Returns 0, or -1 for a null handle.
int VTXPR_GetExitCodeThread(VTXPR_THREAD thread, std::uint32_t* exit_code);
// Waits until the thread has ended, reading its exit code every 10 ms.
// Returns 0, or -1 when the state cannot be read.
int VTXPR_JoinThread(VTXPR_THREAD thread);
// Releases the handle and clears it. Returns 0, or -1 for a null handle.
int VTXPR_CloseThread(VTXPR_THREAD* thread);
