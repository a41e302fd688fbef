// Text helpers shared by the mailbox operations: the wide names they are
// given become 8-bit MAPI text here, and 8-bit text read back becomes wide.
// The 8-bit code page is UTF-8.
#pragma once
#include <string>
#include <string_view>

#include "mailstore/mapidefs.h"
#include "runtime/vtx_str.h"

namespace mailbox_ops {

// May throw std::bad_alloc; every operation catches it at its boundary.
inline std::string ToAnsi(LPCWSTR text) {
    return VTX_ToUtf8(std::u16string_view(text, VTX_WStrLen(text)));
}
inline std::u16string FromAnsi(const char* text) {
    return VTX_FromUtf8(std::string_view(text));
}

} // namespace mailbox_ops
