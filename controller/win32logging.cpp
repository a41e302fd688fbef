// The program's one event source and the two event writers.
#include "controller/win32logging.h"

#include "platform/win32/eventlog.h"

#include <atomic>
#include <cstring>
#include <new>
#include <vector>

namespace {

// The handle of the registered source: all ones until the first open, 0
// once closed or when registration failed; neither counts as open. Threads
// may race to open it; the handle stored last wins and both stay valid.
constexpr std::intptr_t kNeverOpened = -1;
std::atomic<std::intptr_t> g_event_source{kNeverOpened};

constexpr const char16_t* kDefaultSourceName = u"Sortwell";

bool IsOpen(std::intptr_t handle) {
    return handle != kNeverOpened && handle != 0;
}

HANDLE AsHandle(std::intptr_t handle) {
    return reinterpret_cast<HANDLE>(handle);
}

std::intptr_t Register(const char16_t* source_name) {
    return reinterpret_cast<std::intptr_t>(RegisterEventSourceW(nullptr, source_name));
}

// Registers the default source when none is open; the handle afterwards.
std::intptr_t OpenOnDemand() {
    std::intptr_t handle = g_event_source.load();
    if (!IsOpen(handle)) {
        handle = Register(kDefaultSourceName);
        g_event_source.store(handle);
    }
    return handle;
}

} // namespace

int event_log_report(std::uint16_t type, std::uint16_t category, std::uint32_t event_id,
                     const char16_t* text) {
    const std::intptr_t handle = OpenOnDemand();
    if (handle == 0) {
        return 0;
    }
    LPCWSTR strings[1] = {text};
    return ReportEventW(AsHandle(handle), type, category, event_id, nullptr, 1, 0, strings,
                        nullptr);
}

void event_log_report_data(std::uint16_t type, std::uint16_t category, std::uint32_t event_id,
                           std::uint16_t count, std::uint32_t data_size, const char16_t** strings,
                           const void* data) {
    const std::intptr_t handle = OpenOnDemand();

    // A 4-byte datum is a number: its low 16 bits go in as one more
    // insertion, in decimal, after the given strings.
    const char16_t* const* list = strings;
    std::uint16_t list_count = count;
    char16_t number_text[8];
    std::vector<const char16_t*> extended;
    if (data != nullptr && data_size == 4 && count < 0xFFFF) {
        std::uint32_t number = 0;
        std::memcpy(&number, data, sizeof number);
        unsigned value = number & 0xFFFFu;
        char16_t digits[8];
        int length = 0;
        do {
            digits[length++] = static_cast<char16_t>(u'0' + value % 10);
            value /= 10;
        } while (value != 0);
        for (int i = 0; i < length; ++i) {
            number_text[i] = digits[length - 1 - i];
        }
        number_text[length] = u'\0';
        try {
            extended.assign(strings, strings + count);
            extended.push_back(number_text);
            list = extended.data();
            list_count = static_cast<std::uint16_t>(count + 1);
        } catch (const std::bad_alloc&) {
            // Reported without the added insertion; the data still carries
            // the number.
        }
    }

    if (handle == 0) {
        return;
    }
    ReportEventW(AsHandle(handle), type, category, event_id, nullptr, list_count, data_size,
                 const_cast<LPCWSTR*>(list), const_cast<void*>(data));
}

std::intptr_t event_log_toggle_source(const char16_t* source_name) {
    const std::intptr_t handle = g_event_source.load();
    if (IsOpen(handle)) {
        g_event_source.store(0);
        return DeregisterEventSource(AsHandle(handle));
    }
    const std::intptr_t opened = Register(source_name);
    g_event_source.store(opened);
    return opened;
}
