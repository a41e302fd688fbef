// Service control codes to the runtime's signal numbers.
#include "runtime/vtxpr_signal.h"

namespace {

struct ControlSignal {
    int control_code;
    int signal;
};

// Searched in this order; the first pair whose code matches wins. The last
// pair marks the table's end (control code -1) and maps to signal 5.
constexpr ControlSignal kControlSignals[] = {
    {6, 2},   // SERVICE_CONTROL_PARAMCHANGE: reload
    {1, 1},   // SERVICE_CONTROL_STOP: stop
    {5, 1},   // SERVICE_CONTROL_SHUTDOWN: stop
    {128, 4}, // the first user-defined control
    {-1, 5},  // end marker
};

} // namespace

int VTXPR_ControlToSignal(int control_code) {
    for (const ControlSignal& pair : kControlSignals) {
        if (pair.control_code == control_code) {
            return pair.signal;
        }
    }
    return 0;
}
