#include "tests/support/sandbox.h"

#include "tests/support/files.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace swtest {

// ---- The sandbox ------------------------------------------------------------------------

std::string MailboxFailure(const std::string& intro, const std::string& address, std::uint32_t hr) {
    char code[16];
    std::snprintf(code, sizeof code, "%08x", hr);
    return intro + ":\n" + address + "\n(hr=" + code + ").";
}

bool HoldsAgentProfile(const std::string& profiles) {
    return profiles.find("profile \"swl_") != std::string::npos;
}

Sandbox::Sandbox(WorldKind kind) : world_(MakeWorld(kind, dir_.path())) {}

EmbeddedStore& Sandbox::store() const {
    auto* store = dynamic_cast<EmbeddedStore*>(world_.get());
    if (store == nullptr)
        ADD_FAILURE() << "this test needs the embedded store, not " << world_->Name();
    return *store;
}

std::vector<std::string> Sandbox::Env() const {
    std::vector<std::string> env = world_->Env();
    env.insert(env.end(),
               {"SORTWELL_PROFILES=" + profiles_path(), "SORTWELL_REGISTRY=" + hive_path(),
                "SORTWELL_EVENTLOG=FILE", "SORTWELL_EVENTLOG_FILE=" + events_path(),
                "XAL_LOG_FILE=" + log_path(), "XAL_LOG_LEVEL=7"});
    return env;
}

void Sandbox::WriteHive(const std::vector<std::string>& lines) const {
    std::vector<std::string> all;
    const std::pair<const char*, const char*> required[] = {
        {"\"Alias\"=", "\"Alias\"=\"sortwell\""},
        {"\"Spam Folder\"=", "\"Spam Folder\"=\"Spam\""},
        {"\"Spam SubString\"=", "\"Spam SubString\"=\"X-Spam-Flag: YES\""}};
    for (const auto& [prefix, line] : required) {
        bool replaced = false;
        for (const std::string& given : lines)
            replaced = replaced || given.rfind(prefix, 0) == 0;
        if (!replaced)
            all.emplace_back(line);
    }
    all.insert(all.end(), lines.begin(), lines.end());
    WriteFile(hive_path(), HiveText(NamesWindow(lines) ? all : WindowClosedNow(all)));
}

ProcessResult Sandbox::RunAgent(const std::vector<std::string>& args, int timeout_ms) const {
    return RunProgram(OvoProgram(), args, Env(), "", timeout_ms);
}

std::unique_ptr<Process> Sandbox::StartAgent(const std::vector<std::string>& args,
                                             const NotifySocket* notify,
                                             const std::vector<std::string>& extra_env) const {
    std::vector<std::string> env = Env();
    if (notify != nullptr)
        env.push_back("NOTIFY_SOCKET=" + notify->address());
    env.insert(env.end(), extra_env.begin(), extra_env.end());
    auto process = Process::Start(OvoProgram(), args, env);
    EXPECT_NE(process, nullptr);
    return process;
}

std::string Sandbox::Log() const {
    return ReadFile(log_path());
}

std::vector<LogEntry> Sandbox::LogEntries() const {
    return ParseLog(Log());
}

int Sandbox::LogCount(int id) const {
    int count = 0;
    for (const LogEntry& entry : LogEntries())
        count += entry.id == id ? 1 : 0;
    return count;
}

std::string Sandbox::Events() const {
    return ReadFile(events_path());
}

std::string Sandbox::Profiles() const {
    return ReadFile(profiles_path());
}

// ---- Checks shared by the tests --------------------------------------------------------------

std::string Problems(const Sandbox& sandbox) {
    std::string text;
    for (const LogEntry& entry : sandbox.LogEntries())
        if (entry.level == "WARNING" || entry.level == "ERROR" || entry.level == "ALERT")
            text += entry.level + " [" + std::to_string(entry.id) + "] " + entry.text + "\n";
    return text;
}

} // namespace swtest
