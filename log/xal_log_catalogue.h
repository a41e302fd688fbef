// The message catalogue: one flat table of wide format strings indexed by
// message id (category * 1000 + index).
#pragma once

// The format text of `id`, or null for an empty slot or an id outside the
// table.
const char16_t* xal_log_catalogue_text(int id);
