// The wide printf-style formatter.
//
// Every log line, catalogue message, rotated file name and date stamp is
// produced here and never by the C library's formatter, so that the output
// is the same on every platform. Text is UTF-16 (char16_t).
//
// Arguments as read from the argument list on 64-bit Linux:
//   %d %i %u %o %x %X, also with `l` or `q`: a 32-bit int (pass int or
//   unsigned, never long); `h`: the value cut to 16 bits.
//   %c: a UTF-16 code unit passed as int.  %s: const char16_t*.
//   %pp: a pointer.  %pA: pointer to a 4-byte IPv4 address in network order.
//   %pI: pointer to an IPv4 socket address (struct sockaddr_in layout).
//   %e %E %f %g %G: double.  %n: int* (short* with `h`).
#pragma once
#include <cstdarg>
#include <cstddef>

// Where the engine writes: the next position and the end. The engine stores
// a character only while `cur` is not null and below `end`; at the end it
// calls the flush operation, which either makes room (moving cur/end) and
// returns 0, or reports failure with a non-zero result, which stops the
// formatting.
struct VTXPR_BUFFER {
    char16_t* cur;
    char16_t* end;
};
using VTXPR_FLUSH = int (*)(VTXPR_BUFFER* buffer);

// Formats `format` with `arguments` through `buffer`. Returns the number of
// characters produced (including those that found no buffer), -1 when a
// flush failed, or 1 when a positional specification is malformed or its
// argument table cannot be allocated. buffer->cur is written back at the
// normal end. Does not terminate the text.
int VTXPR_VFormatter(VTXPR_FLUSH flush, VTXPR_BUFFER* buffer, const char16_t* format,
                     va_list arguments);

// Bounded front ends: `count` is the buffer's size in wide characters; at
// most count - 1 characters are stored and, when count is not 0, the text is
// terminated where it stopped. The result is the number of characters
// written, or `count` when the output was cut (1 for a malformed positional
// specification).
int VTXPR_Snprintf(char16_t* buffer, std::size_t count, const char16_t* format, ...);
int VTXPR_Vsnprintf(char16_t* buffer, std::size_t count, const char16_t* format, va_list arguments);
