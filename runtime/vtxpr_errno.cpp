// Last-error numbers per thread.
#include "runtime/vtxpr_errno.h"

#include <cerrno>

namespace {

// The platform's last error, one per thread like GetLastError's.
thread_local std::uint32_t t_platform_error = 0;

} // namespace

int VTXPR_LastError(int kind) {
    if (kind == VTXPR_ERR_PLATFORM) {
        return static_cast<int>(t_platform_error);
    }
    // The socket layer and the C library both report through errno here.
    return errno;
}

void VTXPR_SetPlatformError(std::uint32_t error) {
    t_platform_error = error;
}

std::uint32_t VTXPR_PlatformError() {
    return t_platform_error;
}
