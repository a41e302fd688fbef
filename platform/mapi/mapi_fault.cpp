// The fault hook of the runtime's own operations.
#include <atomic>

#include "platform/mapi/mapi_runtime.h"

namespace {
std::atomic<MAPIFaultHook> g_fault_hook{nullptr};
} // namespace

void MAPISetFaultHook(MAPIFaultHook hook) {
    g_fault_hook.store(hook);
}

HRESULT MAPICheckFault(const char* operation) {
    const MAPIFaultHook hook = g_fault_hook.load();
    if (hook == nullptr)
        return S_OK;
    const HRESULT hr = hook(operation);
    return FAILED(hr) ? hr : S_OK;
}
