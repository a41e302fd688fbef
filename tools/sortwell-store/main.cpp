// sortwell-store: creates and inspects an information store, delivers mail
// into it through the mailboxes' rules, puts mailboxes into the states the
// agent must repair, and injects faults.
//
// Every failure is one line on standard error naming the problem, with exit
// status 1 (`deliver` answers a mail server in its own terms, below); each
// command is one transaction, so a failing command changes nothing.
#include <sysexits.h>
#include <unistd.h>

#include <charconv>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "mailstore/mapitags.h"
#include "platform/dovecot/dovecot_admin.h"
#include "platform/dovecot/dovecot_location.h"
#include "platform/infostore/infostore_admin.h"
#include "platform/infostore/infostore_db.h"
#include "platform/infostore/infostore_util.h"
#include "runtime/vtx_str.h"

namespace {

using infostore::Admin;

const char kUsage[] =
    R"(Usage: sortwell-store [--store FILE] [--wait SECONDS] COMMAND [ARGUMENTS] [--json]
       sortwell-store --help | --version

The store file is FILE, else $SORTWELL_INFOSTORE, else /var/lib/sortwell/infostore.db.
A store "dovecot:http://HOST:PORT" is a Dovecot server's doveadm HTTP API (the key
from $SORTWELL_DOVECOT_KEY_FILE): mailboxes, folders, rules and messages list its
users, their mailboxes, the rule blocks of their active Sieve script and their
mail; the other commands are for the embedded store only.
A store that another process holds locked is waited for up to SECONDS (default 30).

Organisation
  init --server NAME [--org ORG] [--site SITE]
                               create a new store with one server
  add-server NAME              add another server
  add-mailbox ALIAS [--server NAME] [--display NAME]
                               add a mailbox with its standard folders
  add-mailboxes N --prefix P [--server NAME]
                               add mailboxes P1..PN (numbers continue after
                               the highest existing one) in one transaction
  servers                      list the servers
  mailboxes [--server NAME]    list the mailboxes

Mail
  deliver ALIAS [--age DAYS] [--folder PATH]
                               deliver the RFC 5322 message on standard input
                               as the server does: into the Inbox, then
                               through the Inbox's enabled rules. --age dates
                               it DAYS (may be fractional) in the past;
                               --folder files it in PATH without rules.
                               Exit status for a mail server: 0 delivered,
                               67 unknown mailbox, 65 a message that cannot
                               be parsed, 64 a wrong command line, 75 the
                               store is busy, locked or unusable (try again)
  folders ALIAS                list the folders below the top folder
  messages ALIAS [FOLDER]      list the messages (of one folder)
  folder create ALIAS PATH     create a folder
  folder delete ALIAS PATH     delete a folder with everything in it ("/"
                               is the top folder; the Inbox may be deleted)

Rules (of the Inbox, or of --rules-folder PATH)
  rules ALIAS                  list the rules
  rule add ALIAS [--name NAME] [--provider P] [--sequence N] [--state N]
           [--level N | --no-level] [--user-flags N]
           [--marker TEXT | --subject-marker TEXT | --no-condition]
           [--folder PATH | --no-actions]
           [--corrupt-condition] [--corrupt-actions]
                               add a rule row as given: by default provider
                               "MSExchange.Rules", sequence 1001, state 1,
                               level 0, moving messages whose headers hold
                               TEXT (any case) to PATH
  rule disable ALIAS (ID | --name NAME)
                               clear the enabled bit
  rule state ALIAS ID STATE    set the state word
  rule delete ALIAS (ID | --name NAME)
                               delete the rule(s)

Faults
  fault add OPERATION [--mailbox ALIAS] (--hr CODE | --delay MS) [--times N]
            [--after N]
                               make OPERATION (e.g. IMAPIFolder::CreateFolder)
                               return CODE (0xHHHHHHHH or a name such as
                               MAPI_E_NOT_FOUND) for the mailbox (default:
                               every mailbox), N times (default: always); a
                               warning code lets the call succeed with it.
                               --after N lets the first N calls pass;
                               --delay MS makes each hit wait MS
                               milliseconds first (alone: a slow call that
                               succeeds)
  fault list                   list the faults
  fault clear                  remove every fault
  fault operations             list the operations a fault can be set on

  demo [--server NAME] [--mailboxes N]
                               build a demo organisation in a new store (or
                               one without mailboxes): mailbox "sortwell" for
                               the agent and user1..userN (default 5) with
                               some mail, part of it marked
                               "X-Spam-Flag: YES"

Listings and deliver take --json for one JSON document on standard output;
other commands refuse it.
)";

struct UsageError {
    std::string message;
};

// The exit status of a failure: 1, except while `deliver` chooses another.
int g_failure_status = 1;

[[noreturn]] void Fail(const std::string& message) {
    std::cerr << "sortwell-store: " << message << "\n";
    std::exit(g_failure_status);
}

// ---- Arguments ------------------------------------------------------------------------
class Args {
public:
    explicit Args(std::vector<std::string> args) : args_(std::move(args)) {}

    bool Flag(const char* name) {
        for (std::size_t i = 0; i < args_.size(); ++i) {
            if (args_[i] == name) {
                args_.erase(args_.begin() + static_cast<std::ptrdiff_t>(i));
                return true;
            }
        }
        return false;
    }
    std::optional<std::string> Option(const char* name) {
        std::string prefix = std::string(name) + "=";
        for (std::size_t i = 0; i < args_.size(); ++i) {
            if (args_[i] == name) {
                if (i + 1 >= args_.size())
                    Fail(std::string("option ") + name + " needs a value");
                std::string value = args_[i + 1];
                args_.erase(args_.begin() + static_cast<std::ptrdiff_t>(i),
                            args_.begin() + static_cast<std::ptrdiff_t>(i) + 2);
                return value;
            }
            if (args_[i].rfind(prefix, 0) == 0) {
                std::string value = args_[i].substr(prefix.size());
                args_.erase(args_.begin() + static_cast<std::ptrdiff_t>(i));
                return value;
            }
        }
        return std::nullopt;
    }
    std::string Positional(const char* what) {
        auto next = NextPositional();
        if (!next)
            Fail(std::string("missing ") + what + " (see sortwell-store --help)");
        return *next;
    }
    std::optional<std::string> OptionalPositional() { return NextPositional(); }
    // Anything left over is a mistake.
    void Done() {
        if (args_.empty())
            return;
        if (args_.front().rfind("--", 0) == 0)
            Fail("unknown option for this command: " + args_.front());
        Fail("unexpected argument: " + args_.front());
    }

private:
    // Options that take a value: a positional argument is never looked for
    // among them, so options and arguments may come in any order.
    static bool TakesValue(const std::string& option) {
        static const char* const kValued[] = {
            "--store",          "--server",       "--org",     "--site",       "--display",
            "--prefix",         "--age",          "--folder",  "--name",       "--provider",
            "--sequence",       "--state",        "--level",   "--user-flags", "--marker",
            "--subject-marker", "--rules-folder", "--mailbox", "--hr",         "--times",
            "--mailboxes",      "--wait"};
        for (const char* name : kValued)
            if (option == name)
                return true;
        return false;
    }
    std::optional<std::string> NextPositional() {
        for (std::size_t i = 0; i < args_.size(); ++i) {
            if (args_[i].rfind("--", 0) == 0) {
                if (args_[i].find('=') == std::string::npos && TakesValue(args_[i]))
                    ++i;
                continue;
            }
            std::string value = args_[i];
            args_.erase(args_.begin() + static_cast<std::ptrdiff_t>(i));
            return value;
        }
        return std::nullopt;
    }
    std::vector<std::string> args_;
};

long long ParseInt(const std::string& text, const char* what, long long low, long long high) {
    long long value = 0;
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc() || ptr != end || value < low || value > high)
        Fail(std::string("invalid ") + what + ": " + text);
    return value;
}

HRESULT ParseHr(const std::string& text) {
    struct Named {
        const char* name;
        HRESULT hr;
    };
    static const Named kNames[] = {
        {"E_FAIL", E_FAIL},
        {"E_INVALIDARG", E_INVALIDARG},
        {"E_OUTOFMEMORY", E_OUTOFMEMORY},
        {"E_ACCESSDENIED", E_ACCESSDENIED},
        {"E_NOTIMPL", E_NOTIMPL},
        {"MAPI_E_CALL_FAILED", MAPI_E_CALL_FAILED},
        {"MAPI_E_NOT_FOUND", MAPI_E_NOT_FOUND},
        {"MAPI_E_NO_ACCESS", MAPI_E_NO_ACCESS},
        {"MAPI_E_COLLISION", MAPI_E_COLLISION},
        {"MAPI_E_TABLE_TOO_BIG", MAPI_E_TABLE_TOO_BIG},
        {"MAPI_E_NETWORK_ERROR", MAPI_E_NETWORK_ERROR},
        {"MAPI_E_LOGON_FAILED", MAPI_E_LOGON_FAILED},
        {"MAPI_E_CORRUPT_DATA", MAPI_E_CORRUPT_DATA},
        {"MAPI_E_TIMEOUT", MAPI_E_TIMEOUT},
        {"MAPI_E_BUSY", MAPI_E_BUSY},
        {"MAPI_W_ERRORS_RETURNED", MAPI_W_ERRORS_RETURNED},
        {"MAPI_W_PARTIAL_COMPLETION", MAPI_W_PARTIAL_COMPLETION},
    };
    for (const Named& n : kNames)
        if (text == n.name)
            return n.hr;
    std::string digits = text;
    if (digits.rfind("0x", 0) == 0 || digits.rfind("0X", 0) == 0)
        digits = digits.substr(2);
    unsigned long value = 0;
    const char* end = digits.data() + digits.size();
    auto [ptr, ec] = std::from_chars(digits.data(), end, value, 16);
    if (digits.empty() || digits.size() > 8 || ec != std::errc() || ptr != end)
        Fail("invalid result code: " + text + " (give 0xHHHHHHHH or a name)");
    return static_cast<HRESULT>(static_cast<std::uint32_t>(value));
}

std::string HrText(HRESULT hr) {
    char buf[16];
    std::snprintf(buf, sizeof(buf), "0x%08x", static_cast<unsigned>(hr));
    return buf;
}

// ---- JSON output ------------------------------------------------------------------------
std::string Json(const std::string& text) {
    // Ill-formed UTF-8 becomes U+FFFD, so the document is always valid.
    std::string clean = VTX_ToUtf8(VTX_FromUtf8(text));
    std::string out = "\"";
    for (char c : clean) {
        unsigned char u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (u < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof(buf), "\\u%04x", u);
            out += buf;
        } else {
            out.push_back(c);
        }
    }
    return out + "\"";
}

template <typename T> std::string JsonOpt(const std::optional<T>& value) {
    if (!value)
        return "null";
    if constexpr (std::is_same_v<T, std::string>)
        return Json(*value);
    else
        return std::to_string(*value);
}

std::string HexOf(const std::vector<BYTE>& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (BYTE b : bytes) {
        out.push_back(kDigits[b >> 4]);
        out.push_back(kDigits[b & 0xF]);
    }
    return out;
}

// ---- Store access -----------------------------------------------------------------------
std::string g_store_path;

std::unique_ptr<Admin> OpenStore() {
    std::unique_ptr<Admin> admin;
    if (FAILED(Admin::Open(g_store_path, &admin)))
        Fail(admin ? admin->LastError() : "cannot open " + g_store_path);
    return admin;
}

void Check(Admin& admin, HRESULT hr) {
    if (FAILED(hr))
        Fail(admin.LastError().empty() ? "failed with " + HrText(hr) : admin.LastError());
}

// ---- Commands ---------------------------------------------------------------------------
int CmdInit(Args& args) {
    auto server = args.Option("--server");
    std::string org = args.Option("--org").value_or("Sortwell");
    std::string site = args.Option("--site").value_or("Site");
    args.Done();
    if (!server || server->empty())
        Fail("init needs --server NAME");
    std::unique_ptr<Admin> admin;
    HRESULT hr = Admin::Create(g_store_path, org, site, &admin);
    if (FAILED(hr))
        Fail(admin ? admin->LastError() : "cannot create " + g_store_path);
    hr = admin->AddServer(*server);
    if (FAILED(hr)) {
        std::string error = admin->LastError();
        admin.reset();
        ::unlink(g_store_path.c_str());
        ::unlink((g_store_path + "-wal").c_str());
        ::unlink((g_store_path + "-shm").c_str());
        Fail(error);
    }
    std::cout << "created " << g_store_path << " with server " << *server << "\n";
    return 0;
}

int CmdAddServer(Args& args) {
    std::string name = args.Positional("server name");
    args.Done();
    auto admin = OpenStore();
    infostore::ServerInfo info;
    Check(*admin, admin->AddServer(name, &info));
    std::cout << info.dn << "\n";
    return 0;
}

int CmdAddMailbox(Args& args) {
    std::string alias = args.Positional("alias");
    std::string server = args.Option("--server").value_or("");
    std::string display = args.Option("--display").value_or("");
    args.Done();
    auto admin = OpenStore();
    infostore::MailboxInfo info;
    Check(*admin, admin->AddMailbox(alias, server, display, &info));
    std::cout << info.dn << "\n";
    return 0;
}

int CmdAddMailboxes(Args& args) {
    auto prefix = args.Option("--prefix");
    std::string server = args.Option("--server").value_or("");
    std::string count_text = args.Positional("count");
    args.Done();
    if (!prefix)
        Fail("add-mailboxes needs --prefix P");
    auto count = static_cast<std::uint32_t>(ParseInt(count_text, "count", 1, 1000000));
    auto admin = OpenStore();
    Check(*admin, admin->AddMailboxes(count, *prefix, server));
    std::cout << "added " << count << " mailboxes\n";
    return 0;
}

int CmdServers(Args& args, bool json) {
    args.Done();
    auto admin = OpenStore();
    std::vector<infostore::ServerInfo> servers;
    Check(*admin, admin->ListServers(&servers));
    if (json) {
        std::cout << "[";
        for (std::size_t i = 0; i < servers.size(); ++i)
            std::cout << (i ? "," : "") << "\n  {\"name\": " << Json(servers[i].name)
                      << ", \"dn\": " << Json(servers[i].dn) << "}";
        std::cout << "\n]\n";
    } else {
        for (const auto& s : servers)
            std::cout << s.name << "\t" << s.dn << "\n";
    }
    return 0;
}

int CmdMailboxes(Args& args, bool json) {
    std::string server = args.Option("--server").value_or("");
    args.Done();
    auto admin = OpenStore();
    std::vector<infostore::MailboxInfo> mailboxes;
    Check(*admin, admin->ListMailboxes(server, &mailboxes));
    if (json) {
        std::cout << "[";
        for (std::size_t i = 0; i < mailboxes.size(); ++i) {
            const auto& m = mailboxes[i];
            std::cout << (i ? "," : "") << "\n  {\"alias\": " << Json(m.alias)
                      << ", \"display_name\": " << Json(m.display_name)
                      << ", \"dn\": " << Json(m.dn) << ", \"server\": " << Json(m.server_name)
                      << "}";
        }
        std::cout << "\n]\n";
    } else {
        for (const auto& m : mailboxes)
            std::cout << m.alias << "\t" << m.display_name << "\t" << m.dn << "\n";
    }
    return 0;
}

// As a mail server's delivery command, `deliver` exits with a status the
// mail server understands (sysexits.h): 0 delivered; EX_NOUSER (67) no such
// mailbox, so the message goes back to its sender; EX_DATAERR (65) the
// message cannot be parsed; EX_USAGE (64) the command line is wrong; and
// EX_TEMPFAIL (75) for everything else (the store busy, locked, missing or
// not writable): the mail server keeps the message and tries again later,
// so nothing is lost while the administrator puts the store right.
int CmdDeliver(Args& args, bool json) {
    g_failure_status = EX_USAGE;
    std::string alias = args.Positional("alias");
    auto age = args.Option("--age");
    auto folder = args.Option("--folder");
    args.Done();
    infostore::DeliveryOptions options;
    if (age) {
        char* end = nullptr;
        options.age_days = std::strtod(age->c_str(), &end);
        if (age->empty() || *end != '\0' || !(options.age_days >= 0.0) ||
            options.age_days > 100000.0)
            Fail("invalid age: " + *age + " (days, 0 to 100000)");
    }
    if (folder) {
        options.apply_rules = false;
        options.folder_path = *folder;
    }
    std::string text((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
    g_failure_status = EX_TEMPFAIL;
    auto admin = OpenStore();
    infostore::MailboxInfo mailbox;
    HRESULT hr = admin->FindMailbox(alias, &mailbox);
    if (hr == MAPI_E_NOT_FOUND)
        g_failure_status = EX_NOUSER;
    Check(*admin, hr);
    infostore::DeliveryResult result;
    hr = admin->Deliver(alias, text, options, &result);
    if (hr == MAPI_E_INVALID_PARAMETER)
        g_failure_status = EX_DATAERR;
    else if (hr == MAPI_E_NOT_FOUND)
        g_failure_status = folder ? EX_USAGE : EX_NOUSER;
    Check(*admin, hr);
    if (json) {
        std::cout << "{\"mailbox\": " << Json(alias) << ", \"folder\": "
                  << (result.folder_path.empty() ? "null" : Json(result.folder_path))
                  << ", \"rule\": " << JsonOpt(result.rule_id) << "}\n";
        return 0;
    }
    std::cout << "delivered to " << alias << ": "
              << (result.folder_path.empty() ? "(deleted by a rule)" : result.folder_path);
    if (result.rule_id)
        std::cout << " (rule " << *result.rule_id << ")";
    std::cout << "\n";
    return 0;
}

int CmdFolders(Args& args, bool json) {
    std::string alias = args.Positional("alias");
    args.Done();
    auto admin = OpenStore();
    std::vector<infostore::FolderInfo> folders;
    Check(*admin, admin->ListFolders(alias, &folders));
    if (json) {
        std::cout << "[";
        for (std::size_t i = 0; i < folders.size(); ++i) {
            const auto& f = folders[i];
            std::cout << (i ? "," : "") << "\n  {\"path\": " << Json(f.path)
                      << ", \"name\": " << Json(f.name) << ", \"kind\": \""
                      << infostore::FolderKindName(f.kind)
                      << "\", \"messages\": " << f.message_count
                      << ", \"subfolders\": " << f.subfolder_count << ", \"entry_id\": \""
                      << HexOf(f.entry_id) << "\"}";
        }
        std::cout << "\n]\n";
    } else {
        for (const auto& f : folders)
            std::cout << f.path << "\t" << f.message_count << " message"
                      << (f.message_count == 1 ? "" : "s") << "\n";
    }
    return 0;
}

int CmdMessages(Args& args, bool json) {
    std::string alias = args.Positional("alias");
    std::string folder = args.OptionalPositional().value_or("");
    args.Done();
    auto admin = OpenStore();
    std::vector<infostore::MessageInfo> messages;
    Check(*admin, admin->ListMessages(alias, folder, &messages));
    if (json) {
        std::cout << "[";
        for (std::size_t i = 0; i < messages.size(); ++i) {
            const auto& m = messages[i];
            std::cout << (i ? "," : "") << "\n  {\"folder\": " << Json(m.folder_path)
                      << ", \"subject\": " << Json(m.subject) << ", \"delivery_time\": "
                      << (m.delivery_time ? Json(infostore::FormatFileTime(*m.delivery_time))
                                          : "null")
                      << ", \"delivery_filetime\": "
                      << (m.delivery_time ? std::to_string(*m.delivery_time) : "null")
                      << ", \"message_class\": " << Json(m.message_class) << ", \"entry_id\": \""
                      << HexOf(m.entry_id) << "\", \"headers\": " << Json(m.headers)
                      << ", \"body\": " << Json(m.body) << "}";
        }
        std::cout << "\n]\n";
    } else {
        for (const auto& m : messages)
            std::cout << (m.delivery_time ? infostore::FormatFileTime(*m.delivery_time) : "-")
                      << "\t" << m.folder_path << "\t" << m.subject << "\n";
    }
    return 0;
}

void PrintRules(const std::vector<infostore::RuleInfo>& rules, bool json) {
    if (json) {
        std::cout << "[";
        for (std::size_t i = 0; i < rules.size(); ++i) {
            const auto& r = rules[i];
            std::cout << (i ? "," : "") << "\n  {\"id\": " << r.id
                      << ", \"sequence\": " << JsonOpt(r.sequence)
                      << ", \"state\": " << JsonOpt(r.state)
                      << ", \"provider\": " << JsonOpt(r.provider)
                      << ", \"name\": " << JsonOpt(r.name) << ", \"level\": " << JsonOpt(r.level)
                      << ", \"user_flags\": " << JsonOpt(r.user_flags)
                      << ", \"condition\": " << (r.has_condition ? Json(r.condition_text) : "null")
                      << ", \"actions\": " << (r.has_actions ? Json(r.actions_text) : "null")
                      << ", \"target\": " << JsonOpt(r.move_target) << "}";
        }
        std::cout << "\n]\n";
        return;
    }
    auto opt = [](const auto& value) -> std::string {
        if (!value)
            return "-";
        if constexpr (std::is_same_v<std::decay_t<decltype(*value)>, std::string>)
            return *value;
        else
            return std::to_string(*value);
    };
    for (const auto& r : rules)
        std::cout << r.id << "\tseq " << opt(r.sequence) << "\tstate " << opt(r.state) << "\tlevel "
                  << opt(r.level) << "\t" << opt(r.provider) << "\t" << opt(r.name) << "\n\tif "
                  << r.condition_text << "\n\tthen " << r.actions_text << "\n";
}

int CmdRules(Args& args, bool json) {
    std::string alias = args.Positional("alias");
    std::string folder = args.Option("--rules-folder").value_or("");
    args.Done();
    auto admin = OpenStore();
    std::vector<infostore::RuleInfo> rules;
    Check(*admin, admin->ListRules(alias, folder, &rules));
    PrintRules(rules, json);
    return 0;
}

// The ids of the rules of a name (any case), or the one id given.
std::vector<std::int64_t> RuleIds(Admin& admin, const std::string& alias, Args& args,
                                  const std::string& folder) {
    auto name = args.Option("--name");
    if (name) {
        std::vector<infostore::RuleInfo> rules;
        Check(admin, admin.ListRules(alias, folder, &rules));
        std::vector<std::int64_t> ids;
        std::u16string wanted = VTX_FromUtf8(*name);
        for (const auto& r : rules)
            if (r.name && VTX_WStrICmp(VTX_FromUtf8(*r.name).c_str(), wanted.c_str()) == 0)
                ids.push_back(r.id);
        if (ids.empty())
            Fail("mailbox " + alias + " has no rule named " + *name);
        return ids;
    }
    std::string id = args.Positional("rule id (or --name NAME)");
    return {ParseInt(id, "rule id", 1, INT64_MAX)};
}

int CmdRule(Args& args) {
    std::string verb = args.Positional("rule command (add, disable, state, delete)");
    std::string alias = args.Positional("alias");
    std::string rules_folder = args.Option("--rules-folder").value_or("");
    if (verb == "add") {
        infostore::RuleSpec spec;
        spec.name = args.Option("--name");
        spec.provider = args.Option("--provider").value_or("MSExchange.Rules");
        auto int_option = [&](const char* option, std::int32_t fallback) {
            auto text = args.Option(option);
            return text ? static_cast<std::int32_t>(
                              ParseInt(*text, option + 2, INT32_MIN, UINT32_MAX))
                        : fallback;
        };
        spec.sequence = int_option("--sequence", 1001);
        spec.state = int_option("--state", ST_ENABLED);
        spec.level = int_option("--level", 0);
        if (args.Flag("--no-level"))
            spec.level.reset();
        if (auto flags = args.Option("--user-flags"))
            spec.user_flags =
                static_cast<std::int32_t>(ParseInt(*flags, "user flags", INT32_MIN, UINT32_MAX));
        auto marker = args.Option("--marker");
        auto subject_marker = args.Option("--subject-marker");
        bool no_condition = args.Flag("--no-condition");
        auto folder = args.Option("--folder");
        bool no_actions = args.Flag("--no-actions");
        bool corrupt_condition = args.Flag("--corrupt-condition");
        bool corrupt_actions = args.Flag("--corrupt-actions");
        args.Done();
        if ((marker ? 1 : 0) + (subject_marker ? 1 : 0) + (no_condition ? 1 : 0) > 1)
            Fail("give one of --marker, --subject-marker and --no-condition");
        if (folder && no_actions)
            Fail("give --folder or --no-actions, not both");
        auto admin = OpenStore();

        std::string text = marker ? *marker : subject_marker ? *subject_marker : "";
        SPropValue value{};
        value.ulPropTag = subject_marker ? PR_SUBJECT : PR_TRANSPORT_MESSAGE_HEADERS;
        value.Value.lpszA = text.data();
        SRestriction condition{};
        condition.rt = RES_CONTENT;
        condition.res.resContent = {FL_SUBSTRING | FL_IGNORECASE | FL_LOOSE, value.ulPropTag,
                                    &value};
        if (!no_condition && !marker && !subject_marker)
            Fail("rule add needs --marker TEXT, --subject-marker TEXT or --no-condition");
        if (!no_condition)
            spec.condition = &condition;

        std::vector<BYTE> store_id;
        infostore::FolderInfo target;
        ACTION action{};
        ACTIONS actions{EDK_RULES_VERSION, 1, &action};
        if (!no_actions) {
            if (!folder)
                Fail("rule add needs --folder PATH or --no-actions");
            Check(*admin, admin->StoreEntryId(alias, &store_id));
            Check(*admin, admin->FindFolder(alias, *folder, &target));
            action.acttype = OP_MOVE;
            action.actMoveCopy.cbStoreEntryId = static_cast<ULONG>(store_id.size());
            action.actMoveCopy.lpStoreEntryId = reinterpret_cast<LPENTRYID>(store_id.data());
            action.actMoveCopy.cbFldEntryId = static_cast<ULONG>(target.entry_id.size());
            action.actMoveCopy.lpFldEntryId = reinterpret_cast<LPENTRYID>(target.entry_id.data());
            spec.actions = &actions;
        }
        // Damaged data: the right mark and version, then bytes that end early.
        if (corrupt_condition)
            spec.raw_condition = std::vector<BYTE>{'S', 'W', 'R', 'C', 1, 3, 0};
        if (corrupt_actions)
            spec.raw_actions = std::vector<BYTE>{'S', 'W', 'R', 'A', 1, 1, 0, 0, 0, 9};
        std::int64_t id = 0;
        Check(*admin, admin->AddRule(alias, rules_folder, spec, &id));
        std::cout << "added rule " << id << "\n";
        return 0;
    }
    if (verb == "disable" || verb == "delete") {
        auto admin = OpenStore();
        std::vector<std::int64_t> ids = RuleIds(*admin, alias, args, rules_folder);
        args.Done();
        for (std::int64_t id : ids) {
            Check(*admin,
                  verb == "disable" ? admin->DisableRule(alias, id) : admin->DeleteRule(alias, id));
            std::cout << (verb == "disable" ? "disabled rule " : "deleted rule ") << id << "\n";
        }
        return 0;
    }
    if (verb == "state") {
        std::string id = args.Positional("rule id");
        std::string state = args.Positional("state");
        args.Done();
        auto admin = OpenStore();
        Check(*admin, admin->SetRuleState(alias, ParseInt(id, "rule id", 1, INT64_MAX),
                                          static_cast<std::int32_t>(
                                              ParseInt(state, "state", INT32_MIN, UINT32_MAX))));
        return 0;
    }
    Fail("unknown rule command: " + verb);
}

int CmdFolder(Args& args) {
    std::string verb = args.Positional("folder command (create, delete)");
    std::string alias = args.Positional("alias");
    std::string path = args.Positional("folder path");
    args.Done();
    auto admin = OpenStore();
    if (verb == "create") {
        Check(*admin, admin->CreateFolder(alias, path));
        std::cout << "created " << path << "\n";
    } else if (verb == "delete") {
        Check(*admin, admin->DeleteFolder(alias, path));
        std::cout << "deleted " << path << "\n";
    } else {
        Fail("unknown folder command: " + verb);
    }
    return 0;
}

int CmdFault(Args& args, bool json) {
    std::string verb = args.Positional("fault command (add, list, clear, operations)");
    if (verb == "operations") {
        args.Done();
        const auto& operations = infostore::FaultOperations();
        if (json) {
            std::cout << "[";
            for (std::size_t i = 0; i < operations.size(); ++i)
                std::cout << (i ? "," : "") << "\n  " << Json(operations[i]);
            std::cout << "\n]\n";
            return 0;
        }
        for (const auto& op : operations)
            std::cout << op << "\n";
        return 0;
    }
    if (json && verb != "list")
        Fail("--json is not available for fault " + verb);
    if (verb == "add") {
        infostore::FaultSpec fault;
        fault.mailbox = args.Option("--mailbox").value_or("*");
        auto hr = args.Option("--hr");
        auto times = args.Option("--times");
        auto after = args.Option("--after");
        auto delay = args.Option("--delay");
        fault.operation = args.Positional("operation");
        args.Done();
        if (!hr && !delay)
            Fail("fault add needs --hr CODE or --delay MS");
        fault.hr = hr ? ParseHr(*hr) : S_OK;
        fault.times =
            times ? static_cast<std::int32_t>(ParseInt(*times, "count", 1, INT32_MAX)) : -1;
        fault.after =
            after ? static_cast<std::int32_t>(ParseInt(*after, "calls", 0, INT32_MAX)) : 0;
        fault.delay_ms = delay ? static_cast<std::int32_t>(
                                     ParseInt(*delay, "delay", 0, infostore::kMaxFaultDelayMs))
                               : 0;
        auto admin = OpenStore();
        std::int64_t id = 0;
        Check(*admin, admin->AddFault(fault, &id));
        std::cout << "added fault " << id << "\n";
        return 0;
    }
    if (verb == "clear") {
        args.Done();
        auto admin = OpenStore();
        Check(*admin, admin->ClearFaults());
        return 0;
    }
    if (verb == "list") {
        args.Done();
        auto admin = OpenStore();
        std::vector<infostore::FaultInfo> faults;
        Check(*admin, admin->ListFaults(&faults));
        if (json) {
            std::cout << "[";
            for (std::size_t i = 0; i < faults.size(); ++i) {
                const auto& f = faults[i];
                std::cout << (i ? "," : "") << "\n  {\"id\": " << f.id
                          << ", \"operation\": " << Json(f.operation)
                          << ", \"mailbox\": " << Json(f.mailbox) << ", \"hr\": \"" << HrText(f.hr)
                          << "\", \"remaining\": "
                          << (f.remaining < 0 ? "null" : std::to_string(f.remaining))
                          << ", \"after\": " << f.after << ", \"delay_ms\": " << f.delay_ms << "}";
            }
            std::cout << "\n]\n";
        } else {
            for (const auto& f : faults)
                std::cout << f.id << "\t" << f.operation << "\t" << f.mailbox << "\t"
                          << HrText(f.hr) << "\t"
                          << (f.remaining < 0 ? std::string("always")
                                              : std::to_string(f.remaining) + " left")
                          << (f.after > 0 ? "\tafter " + std::to_string(f.after) + " calls" : "")
                          << (f.delay_ms > 0 ? "\tdelay " + std::to_string(f.delay_ms) + " ms" : "")
                          << "\n";
        }
        return 0;
    }
    Fail("unknown fault command: " + verb);
}

int CmdDemo(Args& args) {
    infostore::DemoOptions options;
    options.server = args.Option("--server").value_or("");
    if (auto n = args.Option("--mailboxes"))
        options.mailboxes = static_cast<std::uint32_t>(ParseInt(*n, "mailbox count", 1, 1000));
    args.Done();
    // The demo makes its store when there is none yet.
    std::unique_ptr<Admin> admin;
    HRESULT hr = Admin::Open(g_store_path, &admin);
    if (hr == MAPI_E_NOT_FOUND)
        hr = Admin::Create(g_store_path, "Sortwell", "Site", &admin);
    if (FAILED(hr))
        Fail(admin ? admin->LastError() : "cannot open " + g_store_path);
    Check(*admin, admin->BuildDemo(options));
    std::cout << "demo organisation built in " << g_store_path << "\n";
    return 0;
}

// ---- A Dovecot server -------------------------------------------------------------------
// With a "dovecot:" store the listings read the server through its doveadm
// HTTP API; the commands that build or change the embedded store have no
// meaning there and say so.
std::unique_ptr<dovecot::Admin> OpenDovecot() {
    std::unique_ptr<dovecot::Admin> admin;
    std::string error;
    if (FAILED(dovecot::Admin::Open(g_store_path, &admin, &error)))
        Fail(error);
    return admin;
}

void CheckDovecot(const dovecot::Admin& admin, HRESULT hr, const std::string& what) {
    if (FAILED(hr))
        Fail(what + ": " + HrText(hr) +
             (admin.LastError().empty() ? "" : " (" + admin.LastError() + ")"));
}

int DovecotCommand(const std::string& c, Args& args, bool json) {
    if (c == "mailboxes") {
        args.Done();
        auto admin = OpenDovecot();
        std::vector<std::string> users;
        CheckDovecot(*admin, admin->Users(&users), "cannot list the users");
        std::cout << (json ? "[" : "");
        for (std::size_t i = 0; i < users.size(); ++i) {
            if (json)
                std::cout << (i ? "," : "") << "\n  {\"alias\": " << Json(users[i])
                          << ", \"display_name\": " << Json(users[i])
                          << ", \"dn\": " << Json(users[i]) << "}";
            else
                std::cout << users[i] << "\n";
        }
        std::cout << (json ? "\n]\n" : "");
        return 0;
    }
    if (c == "folders") {
        std::string user = args.Positional("user");
        args.Done();
        auto admin = OpenDovecot();
        std::vector<dovecot::AdminFolder> folders;
        CheckDovecot(*admin, admin->Folders(user, &folders), "cannot list the folders of " + user);
        std::cout << (json ? "[" : "");
        for (std::size_t i = 0; i < folders.size(); ++i) {
            const auto& f = folders[i];
            if (json)
                std::cout << (i ? "," : "") << "\n  {\"path\": " << Json(f.path)
                          << ", \"mailbox\": " << Json(f.mailbox)
                          << ", \"messages\": " << f.messages << ", \"guid\": " << Json(f.guid)
                          << "}";
            else
                std::cout << f.path << "\t" << f.messages << " message"
                          << (f.messages == 1 ? "" : "s") << "\n";
        }
        std::cout << (json ? "\n]\n" : "");
        return 0;
    }
    if (c == "rules") {
        std::string user = args.Positional("user");
        args.Done();
        auto admin = OpenDovecot();
        std::vector<dovecot::AdminRule> rules;
        CheckDovecot(*admin, admin->Rules(user, &rules), "cannot read the rules of " + user);
        std::cout << (json ? "[" : "");
        for (std::size_t i = 0; i < rules.size(); ++i) {
            const auto& r = rules[i];
            if (json)
                std::cout << (i ? "," : "") << "\n  {\"name\": " << Json(r.rule.name)
                          << ", \"state\": " << (r.rule.enabled ? 1 : 0)
                          << ", \"test\": " << Json(r.rule.test) << ", \"fileinto\": "
                          << (r.rule.fileinto ? Json(*r.rule.fileinto) : "null")
                          << ", \"target\": " << (r.target ? Json(*r.target) : "null")
                          << ", \"block\": " << Json(r.block) << "}";
            else
                std::cout << r.rule.name << "\t" << (r.rule.enabled ? "on" : "off") << "\t"
                          << r.rule.test << "\t-> "
                          << (r.rule.fileinto ? *r.rule.fileinto : std::string("-"))
                          << (r.rule.fileinto && !r.target ? " (missing)" : "") << "\n";
        }
        std::cout << (json ? "\n]\n" : "");
        return 0;
    }
    if (c == "messages") {
        std::string user = args.Positional("user");
        std::string folder = args.OptionalPositional().value_or("");
        args.Done();
        auto admin = OpenDovecot();
        std::vector<dovecot::AdminMessage> messages;
        CheckDovecot(*admin, admin->Messages(user, folder, &messages),
                     "cannot list the messages of " + user);
        std::cout << (json ? "[" : "");
        for (std::size_t i = 0; i < messages.size(); ++i) {
            const auto& m = messages[i];
            const std::uint64_t when =
                116444736000000000ull + static_cast<std::uint64_t>(m.received) * 10000000ull;
            if (json)
                std::cout << (i ? "," : "") << "\n  {\"folder\": " << Json(m.folder)
                          << ", \"subject\": " << Json(m.subject)
                          << ", \"delivery_time\": " << Json(infostore::FormatFileTime(when))
                          << ", \"body\": " << Json(m.body) << "}";
            else
                std::cout << infostore::FormatFileTime(when) << "\t" << m.folder << "\t"
                          << m.subject << "\n";
        }
        std::cout << (json ? "\n]\n" : "");
        return 0;
    }
    if (c == "deliver")
        Fail("a Dovecot server delivers with dovecot-lda or LMTP, which apply the user's Sieve "
             "rules; sortwell-store delivers only into the embedded store");
    Fail(c + " works on the embedded store only; on a Dovecot server use its own tools "
             "(doveadm) for that");
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> raw(argv + 1, argv + argc);
    for (const std::string& a : raw) {
        if (a == "--help" || a == "-h") {
            std::cout << kUsage;
            return 0;
        }
        if (a == "--version") {
            std::cout << "sortwell-store " << SORTWELL_VERSION << "\n";
            return 0;
        }
    }
    Args args(std::move(raw));
    if (auto store = args.Option("--store")) {
        if (store->empty())
            Fail("--store needs a file name");
        g_store_path = *store;
    } else {
        g_store_path = infostore::StorePath();
    }
    if (auto wait = args.Option("--wait")) {
        char* end = nullptr;
        const double seconds = std::strtod(wait->c_str(), &end);
        if (wait->empty() || *end != '\0' || !(seconds >= 0.0) || seconds > 86400.0)
            Fail("invalid wait: " + *wait + " (seconds, 0 to 86400)");
        infostore::SetBusyTimeoutMs(static_cast<int>(seconds * 1000.0));
    }
    bool json = args.Flag("--json");
    auto command = args.OptionalPositional();
    if (!command)
        Fail("no command given (see sortwell-store --help)");
    const std::string& c = *command;
    if (dovecot::IsDovecotLocation(g_store_path))
        return DovecotCommand(c, args, json);
    // What a command that lists nothing would do with --json is anyone's
    // guess, so it says no rather than ignore it.
    if (json && (c == "init" || c == "add-server" || c == "add-mailbox" || c == "add-mailboxes" ||
                 c == "rule" || c == "folder" || c == "demo"))
        Fail("--json is not available for " + c);
    if (c == "init")
        return CmdInit(args);
    if (c == "add-server")
        return CmdAddServer(args);
    if (c == "add-mailbox")
        return CmdAddMailbox(args);
    if (c == "add-mailboxes")
        return CmdAddMailboxes(args);
    if (c == "servers")
        return CmdServers(args, json);
    if (c == "mailboxes")
        return CmdMailboxes(args, json);
    if (c == "deliver")
        return CmdDeliver(args, json);
    if (c == "folders")
        return CmdFolders(args, json);
    if (c == "messages")
        return CmdMessages(args, json);
    if (c == "rules")
        return CmdRules(args, json);
    if (c == "rule")
        return CmdRule(args);
    if (c == "folder")
        return CmdFolder(args);
    if (c == "fault")
        return CmdFault(args, json);
    if (c == "demo")
        return CmdDemo(args);
    Fail("unknown command: " + c + " (see sortwell-store --help)");
}
