// Process and thread numbers and the per-thread last error, over Linux.
#include "platform/win32/win32_base.h"

#include "runtime/vtxpr_errno.h"

#include <sys/syscall.h>
#include <unistd.h>

DWORD GetLastError() {
    return VTXPR_PlatformError();
}

void SetLastError(DWORD error) {
    VTXPR_SetPlatformError(error);
}

DWORD GetCurrentProcessId() {
    return static_cast<DWORD>(::getpid());
}

DWORD GetCurrentThreadId() {
    // The kernel's thread id, the number that ps -L and /proc show; asked of
    // the kernel once per thread.
    thread_local const DWORD tid = static_cast<DWORD>(::syscall(SYS_gettid));
    return tid;
}
