// Whether a machine name given to a Win32 call means this machine.
#pragma once

// True for null, an empty name, ".", "localhost", this host's name or its
// first label, each with or without a leading "\\"; compared
// case-insensitively. Anything else names another machine, which the
// stand-ins cannot reach.
bool Win32IsLocalMachineName(const char16_t* machine);
