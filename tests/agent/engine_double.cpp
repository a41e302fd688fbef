#include "tests/agent/engine_double.h"

#include "runtime/vtx_str.h"
#include "runtime/vtxpr_time.h"

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

engine_double_state& State() {
    static engine_double_state* state = new engine_double_state();
    return *state;
}

const char* Env(const char* name) {
    const char* value = std::getenv(name);
    return (value != nullptr && *value != '\0') ? value : nullptr;
}

// Appends one line to the trace file, when there is one.
void Trace(const std::string& line) {
    const char* path = Env("SWTEST_ENGINE_TRACE");
    if (path == nullptr) {
        return;
    }
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        return;
    }
    const std::string text = line + "\n";
    ssize_t ignored = ::write(fd, text.data(), text.size());
    (void)ignored;
    ::close(fd);
}

std::string Utf8(const char16_t* text) {
    return text != nullptr ? VTX_ToUtf8(std::u16string_view(text)) : std::string("(null)");
}

} // namespace

engine_double_state& engine_double_script() {
    return State();
}

void engine_double_reset() {
    State() = engine_double_state();
}

mailbox_engine::~mailbox_engine() {
    State().calls.push_back("destroy");
    Trace("destroy");
}

std::int32_t mailbox_engine::setup(std::uint32_t thread_count, std::uint32_t retention_days,
                                   std::uint32_t expunge_report, const char16_t* alias_text,
                                   const char16_t* server_text, const char16_t* spam_folder_text,
                                   const char16_t* spam_substring_text) {
    engine_double_state& state = State();
    if (const char* value = Env("SWTEST_ENGINE_SETUP_MS")) {
        state.setup_delay_ms = static_cast<std::uint32_t>(std::strtoul(value, nullptr, 10));
    }
    if (const char* value = Env("SWTEST_ENGINE_SETUP_RESULT")) {
        state.setup_result = static_cast<std::int32_t>(std::strtol(value, nullptr, 10));
    }
    spam_retention = retention_days;
    expunge_report_threshold = expunge_report;
    alias = alias_text;
    server = server_text;
    spam_folder = spam_folder_text;
    spam_substring = spam_substring_text;
    state.calls.push_back("setup");
    state.setups.push_back({thread_count, retention_days, expunge_report, alias_text, server_text,
                            spam_folder_text, spam_substring_text});
    Trace("setup threads=" + std::to_string(thread_count) + " retention=" +
          std::to_string(retention_days) + " report=" + std::to_string(expunge_report) +
          " alias=[" + Utf8(alias_text) + "] server=[" + Utf8(server_text) + "] folder=[" +
          Utf8(spam_folder_text) + "] substring=[" + Utf8(spam_substring_text) + "]");
    if (state.setup_delay_ms != 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(state.setup_delay_ms));
    }
    Trace("setup_done result=" + std::to_string(state.setup_result));
    return state.setup_result;
}

void mailbox_engine::teardown() {
    State().calls.push_back("teardown");
    Trace("teardown");
}

std::uint32_t mailbox_engine::run_pass(const agent_flag& stop, const agent_flag& reconfigure,
                                       std::uint32_t pass, std::uint8_t remove_pass,
                                       std::uint8_t maintenance_only_pass) {
    engine_double_state& state = State();
    if (const char* value = Env("SWTEST_ENGINE_PASS_SECONDS")) {
        state.pass_seconds = static_cast<std::uint32_t>(std::strtoul(value, nullptr, 10));
    }
    pass_number = pass;
    remove = remove_pass;
    maintenance_only = maintenance_only_pass;
    completed.store(0);
    engine_double_pass record;
    record.pass = pass;
    record.remove = remove_pass;
    record.maintenance_only = maintenance_only_pass;
    record.state = maintenance_state.load();
    record.started = VTXPR_Time();
    record.engine = this;
    state.calls.push_back("run_pass");
    Trace("run_pass pass=" + std::to_string(pass) + " remove=" + std::to_string(remove_pass) +
          " maintenance_only=" + std::to_string(maintenance_only_pass) +
          " state=" + std::to_string(record.state));
    if (state.on_pass) {
        state.on_pass(*this, pass);
    }
    std::uint32_t waited = 0;
    while (stop.load() == 0 && reconfigure.load() == 0 && waited < state.pass_seconds) {
        VTXPR_Sleep(1.0);
        ++waited;
    }
    record.waited = waited;
    state.passes.push_back(record);
    Trace("pass_end waited=" + std::to_string(waited));
    return waited;
}

bool mailbox_engine::first_mailbox(char16_t* address) {
    address[0] = u'\0';
    return false;
}

bool mailbox_engine::next_mailbox(char16_t* address) {
    address[0] = u'\0';
    return false;
}

void mailbox_engine::mark_mailbox_done() {
    completed.fetch_add(1);
}
