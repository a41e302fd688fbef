// Sizes and limits shared by the runtime and everything above it.
#pragma once
#include <cstddef>

// Wide-character counts (one wide character is one UTF-16 code unit).
constexpr std::size_t VTXPR_MAX_PATH = 260;    // a path or file name, terminator included
constexpr std::size_t VTXPR_NAME_CHARS = 256;  // names, addresses, keywords
constexpr std::size_t VTXPR_TEXT_CHARS = 1024; // user-interface strings loaded for printing
constexpr std::size_t VTXPR_LINE_CHARS = 4098; // one log line buffer
