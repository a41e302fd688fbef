// The program's name, as shown in messages.
#pragma once

// Remembers the part of `path` after its last separator ('/' or '\'), or the
// whole path when it has none, as a reference into `path`, which must stay
// alive.
void VTXPR_SetProgramName(const char16_t* path);
// The name set last, or an empty string.
const char16_t* VTXPR_ProgramName();
