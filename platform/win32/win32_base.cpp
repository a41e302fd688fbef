// Process and thread numbers and the per-thread last error, over Linux.
#include "platform/win32/win32_base.h"

#include "runtime/vtxpr_errno.h"

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
    // The kernel's thread id, the number that ps -L and /proc show. Asked
    // each time rather than cached, so that a forked child reports its own.
    return static_cast<DWORD>(::gettid());
}
