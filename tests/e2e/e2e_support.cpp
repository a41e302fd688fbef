#include "tests/e2e/e2e_support.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace e2e {

// ---- Processes --------------------------------------------------------------------------

namespace {

bool OwnVariable(const std::string& entry) {
    return entry.rfind("NOTIFY_SOCKET=", 0) == 0 || entry.rfind("XAL_", 0) == 0 ||
           entry.rfind("SORTWELL_", 0) == 0 || entry.rfind("LD_PRELOAD=", 0) == 0;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (std::string& text : texts)
        pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace

std::unique_ptr<Process> Process::Start(const std::string& program,
                                        const std::vector<std::string>& args,
                                        const std::vector<std::string>& env,
                                        const std::string& input) {
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry)
        if (!OwnVariable(*entry))
            environment.emplace_back(*entry);
    environment.insert(environment.end(), env.begin(), env.end());
    std::vector<std::string> argv_text{program};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char*> argv = Pointers(argv_text);
    std::vector<char*> envp = Pointers(environment);

    int out_pipe[2], err_pipe[2], in_pipe[2];
    if (::pipe2(out_pipe, O_CLOEXEC) != 0)
        return nullptr;
    if (::pipe2(err_pipe, O_CLOEXEC) != 0 || ::pipe2(in_pipe, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe: " << std::strerror(errno);
        return nullptr;
    }
    std::unique_ptr<Process> process(new Process());
    process->started_ = std::chrono::steady_clock::now();
    process->pid_ = ::fork();
    if (process->pid_ == 0) {
        // Only async-signal-safe calls from here to exec.
        ::dup2(in_pipe[0], 0);
        ::dup2(out_pipe[1], 1);
        ::dup2(err_pipe[1], 2);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        struct sigaction default_action {};
        default_action.sa_handler = SIG_DFL;
        for (int sig : {SIGINT, SIGTERM, SIGQUIT, SIGHUP, SIGUSR1, SIGPIPE})
            ::sigaction(sig, &default_action, nullptr);
        struct rlimit no_core {
            0, 0
        };
        ::setrlimit(RLIMIT_CORE, &no_core);
        ::execve(program.c_str(), argv.data(), envp.data());
        ::_exit(127);
    }
    ::close(out_pipe[1]);
    ::close(err_pipe[1]);
    ::close(in_pipe[0]);
    if (process->pid_ < 0) {
        ADD_FAILURE() << "fork: " << std::strerror(errno);
        ::close(out_pipe[0]);
        ::close(err_pipe[0]);
        ::close(in_pipe[1]);
        return nullptr;
    }
    // The inputs are small: they fit the pipe, so this never blocks.
    std::size_t written = 0;
    while (written < input.size()) {
        const ssize_t n = ::write(in_pipe[1], input.data() + written, input.size() - written);
        if (n <= 0)
            break;
        written += static_cast<std::size_t>(n);
    }
    ::close(in_pipe[1]);
    process->out_fd_ = out_pipe[0];
    process->err_fd_ = err_pipe[0];
    ::fcntl(process->out_fd_, F_SETFL, O_NONBLOCK);
    ::fcntl(process->err_fd_, F_SETFL, O_NONBLOCK);
    return process;
}

Process::~Process() {
    if (pid_ > 0 && !ended_) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    if (out_fd_ >= 0)
        ::close(out_fd_);
    if (err_fd_ >= 0)
        ::close(err_fd_);
}

bool Process::Signal(int signal_number) const {
    return !ended_ && ::kill(pid_, signal_number) == 0;
}

void Process::Drain() {
    char buffer[4096];
    for (auto [fd, text] : {std::pair{out_fd_, &result_.out}, std::pair{err_fd_, &result_.err}}) {
        for (;;) {
            const ssize_t got = ::read(fd, buffer, sizeof buffer);
            if (got <= 0)
                break;
            text->append(buffer, static_cast<std::size_t>(got));
        }
    }
}

bool Process::Reap(bool block) {
    if (ended_)
        return true;
    int status = 0;
    const pid_t done = ::waitpid(pid_, &status, block ? 0 : WNOHANG);
    if (done != pid_)
        return false;
    ended_ = true;
    result_.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    result_.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result_.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    Drain();
    return true;
}

bool Process::Wait(int timeout_ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!Reap(false)) {
        if (std::chrono::steady_clock::now() >= end) {
            ::kill(pid_, SIGKILL);
            Reap(true);
            result_.timed_out = true;
            return false;
        }
        pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
        ::poll(fds, 2, 10);
        Drain();
    }
    return true;
}

bool Process::Running() {
    Drain();
    return !Reap(false);
}

const ProcessResult& Process::result() {
    Drain();
    return result_;
}

ProcessResult Run(const std::string& program, const std::vector<std::string>& args,
                  const std::vector<std::string>& env, const std::string& input, int timeout_ms) {
    auto process = Process::Start(program, args, env, input);
    if (!process)
        return {};
    process->Wait(timeout_ms);
    return process->result();
}

bool WaitUntil(const std::function<bool()>& condition, int timeout_ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (condition())
            return true;
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// ---- JSON -------------------------------------------------------------------------------

const Json& Json::operator[](const std::string& key) const {
    static const Json null;
    auto found = members.find(key);
    return found == members.end() ? null : found->second;
}

const Json& Json::operator[](std::size_t index) const {
    static const Json null;
    return index < items.size() ? items[index] : null;
}

namespace {

class JsonReader {
public:
    explicit JsonReader(const std::string& text) : text_(text) {}

    bool Document(Json* value) {
        if (!Value(value, 0))
            return false;
        Space();
        return at_ == text_.size() || Fail("text after the document");
    }
    std::string error;

private:
    bool Fail(const std::string& why) {
        if (error.empty())
            error = why + " at offset " + std::to_string(at_);
        return false;
    }
    void Space() {
        while (at_ < text_.size() && std::strchr(" \t\r\n", text_[at_]) != nullptr)
            ++at_;
    }
    bool Literal(const char* word) {
        const std::size_t n = std::strlen(word);
        if (text_.compare(at_, n, word) != 0)
            return Fail(std::string("expected ") + word);
        at_ += n;
        return true;
    }
    static void AppendUtf8(std::string* out, std::uint32_t c) {
        if (c < 0x80) {
            out->push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out->push_back(static_cast<char>(0xC0 | (c >> 6)));
            out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out->push_back(static_cast<char>(0xE0 | (c >> 12)));
            out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    bool String(std::string* out) {
        if (at_ >= text_.size() || text_[at_] != '"')
            return Fail("expected a string");
        ++at_;
        while (at_ < text_.size() && text_[at_] != '"') {
            char c = text_[at_++];
            if (static_cast<unsigned char>(c) < 0x20)
                return Fail("control character in a string");
            if (c != '\\') {
                out->push_back(c);
                continue;
            }
            if (at_ >= text_.size())
                break;
            c = text_[at_++];
            switch (c) {
            case '"':
            case '\\':
            case '/':
                out->push_back(c);
                break;
            case 'n':
                out->push_back('\n');
                break;
            case 'r':
                out->push_back('\r');
                break;
            case 't':
                out->push_back('\t');
                break;
            case 'b':
                out->push_back('\b');
                break;
            case 'f':
                out->push_back('\f');
                break;
            case 'u': {
                if (at_ + 4 > text_.size())
                    return Fail("short \\u escape");
                const std::string hex = text_.substr(at_, 4);
                char* end = nullptr;
                const unsigned long code = std::strtoul(hex.c_str(), &end, 16);
                if (*end != '\0')
                    return Fail("bad \\u escape");
                at_ += 4;
                AppendUtf8(out, static_cast<std::uint32_t>(code));
                break;
            }
            default:
                return Fail("unknown escape");
            }
        }
        if (at_ >= text_.size())
            return Fail("unterminated string");
        ++at_;
        return true;
    }
    bool Value(Json* value, int depth) {
        if (depth > 32)
            return Fail("nesting too deep");
        Space();
        if (at_ >= text_.size())
            return Fail("unexpected end");
        const char c = text_[at_];
        if (c == 'n') {
            value->kind = Json::Null;
            return Literal("null");
        }
        if (c == 't' || c == 'f') {
            value->kind = Json::Bool;
            value->boolean = c == 't';
            return Literal(c == 't' ? "true" : "false");
        }
        if (c == '"') {
            value->kind = Json::String;
            return String(&value->text);
        }
        if (c == '-' || (c >= '0' && c <= '9')) {
            const char* start = text_.c_str() + at_;
            char* end = nullptr;
            errno = 0;
            value->kind = Json::Number;
            value->number = std::strtoll(start, &end, 10);
            if (end == start || errno != 0 || *end == '.' || *end == 'e' || *end == 'E')
                return Fail("expected an integer");
            at_ += static_cast<std::size_t>(end - start);
            return true;
        }
        if (c == '[') {
            value->kind = Json::Array;
            ++at_;
            Space();
            if (at_ < text_.size() && text_[at_] == ']') {
                ++at_;
                return true;
            }
            for (;;) {
                value->items.emplace_back();
                if (!Value(&value->items.back(), depth + 1))
                    return false;
                Space();
                if (at_ < text_.size() && text_[at_] == ',') {
                    ++at_;
                    continue;
                }
                if (at_ < text_.size() && text_[at_] == ']') {
                    ++at_;
                    return true;
                }
                return Fail("expected , or ]");
            }
        }
        if (c == '{') {
            value->kind = Json::Object;
            ++at_;
            Space();
            if (at_ < text_.size() && text_[at_] == '}') {
                ++at_;
                return true;
            }
            for (;;) {
                Space();
                std::string key;
                if (!String(&key))
                    return false;
                Space();
                if (at_ >= text_.size() || text_[at_] != ':')
                    return Fail("expected :");
                ++at_;
                if (!Value(&value->members[key], depth + 1))
                    return false;
                Space();
                if (at_ < text_.size() && text_[at_] == ',') {
                    ++at_;
                    continue;
                }
                if (at_ < text_.size() && text_[at_] == '}') {
                    ++at_;
                    return true;
                }
                return Fail("expected , or }");
            }
        }
        return Fail("unexpected character");
    }

    const std::string& text_;
    std::size_t at_ = 0;
};

} // namespace

bool ParseJson(const std::string& text, Json* value, std::string* error) {
    JsonReader reader(text);
    *value = Json();
    const bool ok = reader.Document(value);
    if (!ok && error != nullptr)
        *error = reader.error;
    return ok;
}

// ---- The log file -------------------------------------------------------------------------

// A message's first line reads "5 Dec 2026 18:48:45 (WARNING:123.456): [28007] text".
std::vector<LogEntry> ParseLog(const std::string& log) {
    std::vector<LogEntry> entries;
    std::istringstream lines(log);
    std::string line;
    while (std::getline(lines, line)) {
        const std::size_t open = line.find(" (");
        const std::size_t colon = open == std::string::npos ? open : line.find(':', open);
        const std::size_t close = line.find("): [");
        const std::size_t id_end = close == std::string::npos ? close : line.find("] ", close);
        if (open != std::string::npos && colon != std::string::npos && close != std::string::npos &&
            id_end != std::string::npos && colon < close) {
            LogEntry entry;
            entry.level = line.substr(open + 2, colon - open - 2);
            entry.id = std::atoi(line.c_str() + close + 4);
            entry.text = line.substr(id_end + 2);
            entries.push_back(entry);
        } else if (!entries.empty()) {
            entries.back().text += "\n" + line;
        }
    }
    return entries;
}

// ---- Service notifications --------------------------------------------------------------

NotifySocket::NotifySocket() {
    static int serial = 0;
    name_ = "sortwell-e2e-notify-" + std::to_string(::getpid()) + "-" + std::to_string(++serial);
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + 1, name_.data(), name_.size());
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name_.size());
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), length) != 0)
        ADD_FAILURE() << "cannot bind the notification socket: " << std::strerror(errno);
}

NotifySocket::~NotifySocket() {
    if (fd_ >= 0)
        ::close(fd_);
}

std::string NotifySocket::address() const {
    return "@" + name_;
}

bool NotifySocket::ReceiveOne(int timeout_ms) {
    pollfd fds{fd_, POLLIN, 0};
    if (::poll(&fds, 1, timeout_ms) <= 0)
        return false;
    char buffer[1024];
    const ssize_t got = ::recv(fd_, buffer, sizeof buffer, 0);
    if (got < 0)
        return false;
    messages_.emplace_back(buffer, static_cast<std::size_t>(got));
    return true;
}

bool NotifySocket::WaitFor(const std::string& needle, int timeout_ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < end) {
        if (ReceiveOne(50) && messages_.back().find(needle) != std::string::npos)
            return true;
    }
    return false;
}

void NotifySocket::Collect(int quiet_ms) {
    while (ReceiveOne(quiet_ms)) {
    }
}

// ---- The sandbox ------------------------------------------------------------------------

std::string HostName() {
    char name[256] = {};
    ::gethostname(name, sizeof name - 1);
    return name;
}

std::string MailboxFailure(const std::string& intro, const std::string& address, std::uint32_t hr) {
    char code[16];
    std::snprintf(code, sizeof code, "%08x", hr);
    return intro + ":\n" + address + "\n(hr=" + code + ").";
}

std::string Dword(const std::string& name, std::uint32_t value) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%08x", value);
    return "\"" + name + "\"=dword:" + digits;
}

namespace {
std::uint32_t LocalHour() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    return static_cast<std::uint32_t>(local.tm_hour);
}
} // namespace

std::vector<std::string> WindowOpenNow() {
    const std::uint32_t hour = LocalHour();
    return {Dword("Maintenance Begin (Hour)", hour),
            Dword("Maintenance End (Hour)", (hour + 23) % 24)};
}

std::vector<std::string> WindowClosedNow() {
    const std::uint32_t hour = LocalHour();
    return {Dword("Maintenance Begin (Hour)", (hour + 2) % 24),
            Dword("Maintenance End (Hour)", (hour + 3) % 24)};
}

bool HoldsAgentProfile(const std::string& profiles) {
    return profiles.find("profile \"swl_") != std::string::npos;
}

Sandbox::Sandbox() {
    char pattern[] = "/tmp/sortwell-e2e-XXXXXX";
    const char* made = ::mkdtemp(pattern);
    if (made == nullptr)
        ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
    dir_ = made != nullptr ? made : "/nonexistent";
}

Sandbox::~Sandbox() {
    std::error_code ignored;
    if (dir_ != "/nonexistent")
        std::filesystem::remove_all(dir_, ignored);
}

std::vector<std::string> Sandbox::Env() const {
    return {"SORTWELL_INFOSTORE=" + store_path(),
            "SORTWELL_PROFILES=" + profiles_path(),
            "SORTWELL_REGISTRY=" + hive_path(),
            "SORTWELL_EVENTLOG=FILE",
            "SORTWELL_EVENTLOG_FILE=" + events_path(),
            "XAL_LOG_FILE=" + log_path(),
            "XAL_LOG_LEVEL=7"};
}

void Sandbox::WriteHive(const std::vector<std::string>& lines) const {
    std::string text = "Windows Registry Editor Version 5.00\n\n"
                       "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Altavane\\Sortwell]\n";
    const std::pair<const char*, const char*> required[] = {
        {"\"Alias\"=", "\"Alias\"=\"sortwell\""},
        {"\"Spam Folder\"=", "\"Spam Folder\"=\"Spam\""},
        {"\"Spam SubString\"=", "\"Spam SubString\"=\"X-Spam-Flag: YES\""}};
    for (const auto& [prefix, line] : required) {
        bool replaced = false;
        for (const std::string& given : lines)
            replaced = replaced || given.rfind(prefix, 0) == 0;
        if (!replaced)
            text += std::string(line) + "\n";
    }
    for (const std::string& line : lines)
        text += line + "\n";
    std::ofstream(hive_path(), std::ios::binary | std::ios::trunc) << text;
}

ProcessResult Sandbox::StoreCommand(const std::vector<std::string>& args,
                                    const std::string& input) const {
    ProcessResult result = Run(SW_E2E_STORE, args, Env(), input);
    std::string shown;
    for (const std::string& arg : args)
        shown += " " + arg;
    EXPECT_EQ(result.exit_code, 0) << "sortwell-store" << shown << ": " << result.err;
    return result;
}

void Sandbox::CreateStore(const std::vector<std::string>& aliases) const {
    StoreCommand({"init", "--server", HostName()});
    StoreCommand({"add-mailbox", "sortwell", "--display", "Sortwell Agent"});
    for (const std::string& alias : aliases)
        StoreCommand({"add-mailbox", alias});
}

namespace {
Json Listing(const Sandbox& sandbox, const std::vector<std::string>& args) {
    std::vector<std::string> with_json = args;
    with_json.push_back("--json");
    ProcessResult result = sandbox.StoreCommand(with_json);
    Json value;
    std::string error;
    EXPECT_TRUE(ParseJson(result.out, &value, &error)) << error << "\n" << result.out;
    EXPECT_EQ(value.kind, Json::Array) << result.out;
    return value;
}

std::optional<std::int64_t> OptionalNumber(const Json& value) {
    if (value.kind != Json::Number)
        return std::nullopt;
    return value.number;
}

std::optional<std::string> OptionalText(const Json& value) {
    if (value.kind != Json::String)
        return std::nullopt;
    return value.text;
}

bool SameNameIgnoringCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}
} // namespace

std::string Sandbox::MailboxDn(const std::string& alias) const {
    for (const Json& mailbox : Listing(*this, {"mailboxes"}).items)
        if (mailbox["alias"].text == alias)
            return mailbox["dn"].text;
    ADD_FAILURE() << "no mailbox " << alias;
    return "";
}

std::vector<std::string> Sandbox::Aliases() const {
    std::vector<std::string> aliases;
    for (const Json& mailbox : Listing(*this, {"mailboxes"}).items)
        aliases.push_back(mailbox["alias"].text);
    return aliases;
}

std::vector<Rule> Sandbox::Rules(const std::string& alias) const {
    std::vector<Rule> rules;
    for (const Json& row : Listing(*this, {"rules", alias}).items) {
        Rule rule;
        rule.id = row["id"].number;
        rule.sequence = OptionalNumber(row["sequence"]);
        rule.state = OptionalNumber(row["state"]);
        rule.level = OptionalNumber(row["level"]);
        rule.provider = OptionalText(row["provider"]);
        rule.name = OptionalText(row["name"]);
        rule.target = OptionalText(row["target"]);
        rule.condition = row["condition"].text;
        rules.push_back(rule);
    }
    return rules;
}

std::vector<Rule> Sandbox::AgentRules(const std::string& alias) const {
    std::vector<Rule> ours;
    for (const Rule& rule : Rules(alias))
        if (rule.name && SameNameIgnoringCase(*rule.name, "_Corvane Spam Folder Rule_"))
            ours.push_back(rule);
    return ours;
}

std::vector<Folder> Sandbox::Folders(const std::string& alias) const {
    std::vector<Folder> folders;
    for (const Json& row : Listing(*this, {"folders", alias}).items)
        folders.push_back({row["path"].text, row["entry_id"].text, row["messages"].number});
    return folders;
}

std::optional<Folder> Sandbox::FindFolder(const std::string& alias, const std::string& path) const {
    for (const Folder& folder : Folders(alias))
        if (folder.path == path)
            return folder;
    return std::nullopt;
}

std::vector<Message> Sandbox::Messages(const std::string& alias, const std::string& folder) const {
    std::vector<std::string> args{"messages", alias};
    if (!folder.empty())
        args.push_back(folder);
    std::vector<Message> messages;
    for (const Json& row : Listing(*this, args).items)
        messages.push_back({row["folder"].text, row["subject"].text, row["body"].text});
    return messages;
}

std::vector<Fault> Sandbox::Faults() const {
    std::vector<Fault> faults;
    for (const Json& row : Listing(*this, {"fault", "list"}).items)
        faults.push_back(
            {row["operation"].text, row["mailbox"].text, OptionalNumber(row["remaining"])});
    return faults;
}

std::int64_t Sandbox::AddRule(const std::string& alias,
                              const std::vector<std::string>& options) const {
    std::vector<std::string> args{"rule", "add", alias};
    args.insert(args.end(), options.begin(), options.end());
    const ProcessResult result = StoreCommand(args);
    std::int64_t id = 0;
    EXPECT_EQ(std::sscanf(result.out.c_str(), "added rule %ld", &id), 1) << result.out;
    return id;
}

void Sandbox::AddFault(const std::string& operation, const std::string& mailbox, std::uint32_t hr,
                       int times) const {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08x", hr);
    std::vector<std::string> args{"fault", "add", operation, "--hr", code};
    if (!mailbox.empty())
        args.insert(args.end(), {"--mailbox", mailbox});
    if (times > 0)
        args.insert(args.end(), {"--times", std::to_string(times)});
    StoreCommand(args);
}

void Sandbox::Deliver(const std::string& alias, const std::string& subject, bool spam,
                      double age_days, const std::string& folder) const {
    std::vector<std::string> args{"deliver", alias};
    if (age_days > 0)
        args.insert(args.end(), {"--age", std::to_string(age_days)});
    if (!folder.empty())
        args.insert(args.end(), {"--folder", folder});
    std::string message = "From: someone@example.org\nTo: " + alias + "@example.org\n";
    if (spam)
        message += "X-Spam-Flag: YES\n";
    message += "Subject: " + subject + "\n\nHello.\n";
    StoreCommand(args, message);
}

ProcessResult Sandbox::RunAgent(const std::vector<std::string>& args, int timeout_ms) const {
    return Run(SW_E2E_OVO, args, Env(), "", timeout_ms);
}

std::unique_ptr<Process> Sandbox::StartAgent(const std::vector<std::string>& args,
                                             const NotifySocket* notify,
                                             const std::vector<std::string>& extra_env) const {
    std::vector<std::string> env = Env();
    if (notify != nullptr)
        env.push_back("NOTIFY_SOCKET=" + notify->address());
    env.insert(env.end(), extra_env.begin(), extra_env.end());
    auto process = Process::Start(SW_E2E_OVO, args, env);
    EXPECT_NE(process, nullptr);
    return process;
}

std::string Sandbox::Log() const {
    return ReadWholeFile(log_path());
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
    return ReadWholeFile(events_path());
}

std::string Sandbox::Profiles() const {
    return ReadWholeFile(profiles_path());
}

// ---- Checks shared by the tests --------------------------------------------------------------

Rule ExpectOneAgentRule(const Sandbox& sandbox, const std::string& alias,
                        const std::string& target) {
    const std::vector<Rule> rules = sandbox.AgentRules(alias);
    EXPECT_EQ(rules.size(), 1u) << alias << ":\n" << Describe(sandbox, {alias});
    if (rules.empty())
        return {};
    const Rule& rule = rules.front();
    EXPECT_EQ(rule.name, std::optional<std::string>(kRuleName)) << alias;
    EXPECT_EQ(rule.provider, std::optional<std::string>("MSExchange.Rules")) << alias;
    EXPECT_EQ(rule.state, std::optional<std::int64_t>(1)) << alias;
    EXPECT_EQ(rule.sequence, std::optional<std::int64_t>(1001)) << alias;
    EXPECT_EQ(rule.level, std::optional<std::int64_t>(0)) << alias;
    EXPECT_EQ(rule.condition, kAgentCondition) << alias;
    EXPECT_EQ(rule.target, std::optional<std::string>(target)) << alias;
    return rule;
}

std::string Describe(const Sandbox& sandbox, const std::vector<std::string>& aliases) {
    std::string text;
    for (const std::string& alias : aliases) {
        for (const Rule& rule : sandbox.Rules(alias))
            text += alias + " rule " + std::to_string(rule.id) + " " + rule.provider.value_or("-") +
                    " '" + rule.name.value_or("-") + "' state " +
                    (rule.state ? std::to_string(*rule.state) : "-") + " -> " +
                    rule.target.value_or("-") + "\n";
        for (const Folder& folder : sandbox.Folders(alias))
            text += alias + " folder '" + folder.path + "' " + folder.entry_id + " " +
                    std::to_string(folder.messages) + "\n";
    }
    return text;
}

std::string Problems(const Sandbox& sandbox) {
    std::string text;
    for (const LogEntry& entry : sandbox.LogEntries())
        if (entry.level == "WARNING" || entry.level == "ERROR" || entry.level == "ALERT")
            text += entry.level + " [" + std::to_string(entry.id) + "] " + entry.text + "\n";
    return text;
}

} // namespace e2e
