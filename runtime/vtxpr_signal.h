// Service control codes to the runtime's signal numbers.
#pragma once

// Signal numbers: 1 stop, 2 reload, 4 user signal, 5 the table's end marker.
// SERVICE_CONTROL_STOP (1) and SHUTDOWN (5) give 1, PARAMCHANGE (6) gives 2,
// the user control 128 gives 4, -1 gives 5, every other code 0.
int VTXPR_ControlToSignal(int control_code);
