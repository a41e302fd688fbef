// Last-error numbers.
#pragma once
#include <cstdint>

constexpr int VTXPR_ERR_SOCKET = 0;   // the socket layer's last error
constexpr int VTXPR_ERR_PLATFORM = 1; // the platform's last error (GetLastError)
constexpr int VTXPR_ERR_CRT = 2;      // the runtime library's errno (any other kind too)

// The last error of the given kind on the calling thread. On Linux the
// socket layer reports through errno, like the runtime library.
int VTXPR_LastError(int kind);
// Records the platform's last error for the calling thread; the platform
// layer's SetLastError stores here and GetLastError reads it back.
void VTXPR_SetPlatformError(std::uint32_t error);
std::uint32_t VTXPR_PlatformError();
