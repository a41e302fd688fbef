// The doveadm client against a private Dovecot (how it refuses calls),
// against a fake endpoint for what a real one rarely does, and the location
// and key file it is given. The calls' successes are the stories' business:
// they run the agent against a private Dovecot too.
#include "platform/dovecot/doveadm_client.h"
#include "platform/dovecot/dovecot_location.h"
#include "tests/support/dovecot_server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cstdlib>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace dovecot;

Client ClientFor(const swtest::DovecotServer& server, const std::string& key = "") {
    return Client({server.base_url(), key.empty() ? server.api_key() : key, 2000, 20000});
}

std::size_t Count(Client& client, const std::string& user, const std::vector<std::string>& query) {
    std::vector<MessageRef> found;
    EXPECT_EQ(client.Search(user, query, &found), S_OK) << client.LastError();
    return found.size();
}

// What the backend relies on beyond what the stories show through the
// agent: the result code of each way a real Dovecot refuses a call.
TEST(DoveadmClient, ARealDovecotsRefusalsMapToResultCodes) {
    swtest::DovecotServer server({{"alice", ""}, {"mary smith", ""}});
    ASSERT_TRUE(server.running());
    Client client = ClientFor(server);
    std::vector<std::string> users;
    ASSERT_EQ(client.Users(&users), S_OK) << client.LastError();
    std::sort(users.begin(), users.end());
    EXPECT_EQ(users, (std::vector<std::string>{"alice", "mary smith"}));

    EXPECT_EQ(client.MailboxCreate("alice", "Spam"), S_OK);
    EXPECT_EQ(client.MailboxCreate("alice", "Spam"), MAPI_E_COLLISION);
    std::vector<MailboxStatusInfo> none;
    EXPECT_EQ(client.MailboxStatus("alice", {"Nope"}, &none), MAPI_E_NOT_FOUND);
    EXPECT_EQ(client.SievePut("alice", "roundcube", "keep;\n", true), S_OK);
    EXPECT_EQ(client.SievePut("alice", "roundcube", "if nonsense {", false), MAPI_E_BAD_VALUE);
    std::string text;
    ASSERT_EQ(client.SieveGet("alice", "roundcube", &text), S_OK);
    EXPECT_EQ(text, "keep;\n");
    EXPECT_EQ(Count(client, "alice", {"mailbox", "Spam"}), 0u);

    // Several calls in one POST, each with its own result; one with an
    // empty script name, which would make doveadm drop the connection, is
    // refused without being sent.
    Batch batch;
    HRESULT hr[4];
    std::vector<std::string> odd_names;
    std::string missing_script, unnamed_script;
    batch.MailboxList("mary smith", {}, &odd_names, &hr[0]);
    batch.SieveGet("alice", "missing", &missing_script, &hr[1]);
    batch.SieveGet("alice", "", &unnamed_script, &hr[2]);
    batch.MailboxCreate("nobody-here", {"Spam"}, &hr[3]);
    ASSERT_EQ(client.Execute(batch), S_OK);
    EXPECT_EQ(hr[0], S_OK);
    EXPECT_EQ(odd_names, std::vector<std::string>{"INBOX"});
    EXPECT_EQ(hr[1], MAPI_E_NOT_FOUND);
    EXPECT_EQ(hr[2], MAPI_E_INVALID_PARAMETER);
    EXPECT_EQ(hr[3], MAPI_E_NOT_FOUND);

    Client wrong = ClientFor(server, "not-the-key");
    EXPECT_EQ(wrong.Users(&users), MAPI_E_LOGON_FAILED);
}

// One connection on a port of its own, answered with `reply` (nothing: the
// connection closes unanswered), or held open without an answer.
class FakeEndpoint {
public:
    FakeEndpoint(std::string reply, bool hang) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        EXPECT_EQ(::listen(fd_, 1), 0);
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
        url_ = "http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port));
        thread_ = std::thread([this, reply, hang] {
            int c = ::accept(fd_, nullptr, nullptr);
            char buffer[65536];
            pollfd p{c, POLLIN, 0};
            if (c >= 0 && ::poll(&p, 1, 2000) == 1)
                (void)::recv(c, buffer, sizeof buffer, 0);
            if (c >= 0 && !reply.empty())
                (void)::send(c, reply.data(), reply.size(), MSG_NOSIGNAL);
            while (hang && !done_)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            if (c >= 0)
                ::close(c);
        });
    }
    ~FakeEndpoint() {
        done_ = true;
        ::shutdown(fd_, SHUT_RDWR);
        thread_.join();
        ::close(fd_);
    }
    const std::string& url() const { return url_; }

private:
    int fd_ = -1;
    std::string url_;
    std::atomic<bool> done_{false};
    std::thread thread_;
};

TEST(DoveadmClient, WhatAnEndpointAnswersMapsToAResultCode) {
    auto http = [](const std::string& status, const std::string& body) {
        return "HTTP/1.1 " + status + "\r\nContent-Length: " + std::to_string(body.size()) +
               "\r\nConnection: close\r\n\r\n" + body;
    };
    const struct {
        const char* what;
        std::string reply;
        bool hang;
        HRESULT expected;
    } cases[] = {
        {"closed unanswered", "", false, MAPI_E_NETWORK_ERROR},
        {"no answer in time", "", true, MAPI_E_TIMEOUT},
        {"server error", http("503 Service Unavailable", ""), false, MAPI_E_CALL_FAILED},
        {"no API there", http("404 Not Found", ""), false, MAPI_E_UNCONFIGURED},
        {"not JSON", http("200 OK", "<html>"), false, MAPI_E_CORRUPT_DATA},
        {"another tag", http("200 OK", R"([["doveadmResponse",{"userList":[]},"x"]])"), false,
         MAPI_E_CORRUPT_DATA},
        {"wrong shape", http("200 OK", R"([["doveadmResponse",{"userList":"a"},"c0"]])"), false,
         MAPI_E_CORRUPT_DATA},
        {"well formed", http("200 OK", R"([["doveadmResponse",{"userList":["a"]},"c0"]])"), false,
         S_OK},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FakeEndpoint endpoint(c.reply, c.hang);
        Client client({endpoint.url(), "key", 1000, 500});
        std::vector<std::string> users;
        EXPECT_EQ(client.Users(&users), c.expected) << client.LastError();
        EXPECT_EQ(users.size(), c.expected == S_OK ? 1u : 0u);
    }
}

TEST(DovecotLocation, EndpointsAndKeyFiles) {
    const struct {
        const char* location;
        const char* base_url; // null: refused
        bool warned;
    } locations[] = {
        {"dovecot:http://127.0.0.1:8080", "http://127.0.0.1:8080", false},
        {"dovecot:http://localhost:8080/", "http://localhost:8080", false},
        {"dovecot:http://[::1]:24", "http://[::1]:24", false},
        {"dovecot:https://mail.example.org:8443", "https://mail.example.org:8443", false},
        {"dovecot:http://mail.example.org:8080", "http://mail.example.org:8080", true},
        {"dovecot:http://10.0.0.1:8080", "http://10.0.0.1:8080", true},
        {"dovecot:ftp://h:1", nullptr, false},
        {"dovecot:http://h", nullptr, false},
        {"dovecot:http://u:p@h:1", nullptr, false},
        {"dovecot:http://h:1/doveadm/v1", nullptr, false},
        {"dovecot:http://h:65536", nullptr, false},
        {"dovecot:http://[::1:80", nullptr, false},
        {"/var/lib/sortwell/infostore.db", nullptr, false},
    };
    for (const auto& c : locations) {
        SCOPED_TRACE(c.location);
        Location parsed;
        std::string error;
        HRESULT hr = ParseLocation(c.location, &parsed, &error);
        EXPECT_EQ(IsDovecotLocation(c.location), c.location[0] == 'd');
        ASSERT_EQ(hr, c.base_url != nullptr ? S_OK : MAPI_E_INVALID_PARAMETER) << error;
        if (c.base_url == nullptr) {
            EXPECT_NE(error.find(c.location), std::string::npos);
            continue;
        }
        EXPECT_EQ(parsed.base_url, c.base_url);
        EXPECT_EQ(EndpointWarning(parsed) != "", c.warned);
    }

    swtest::TempDir dir;
    const struct {
        const char* content; // null: no file
        mode_t mode;
        HRESULT expected;
        const char* said; // in the error line
    } keys[] = {
        {"s3cret\r\n", 0600, S_OK, ""},
        {"s3cret", 0400, S_OK, ""},
        {"s3cret", 0640, MAPI_E_NO_ACCESS, "mode 0640"},
        {"s3cret", 0604, MAPI_E_NO_ACCESS, "mode 0604"},
        {"\n", 0600, MAPI_E_INVALID_PARAMETER, "empty"},
        {"one\ntwo\n", 0600, MAPI_E_INVALID_PARAMETER, "more than one line"},
        {nullptr, 0, MAPI_E_NOT_FOUND, "does not exist"},
    };
    int n = 0;
    for (const auto& k : keys) {
        const std::string path = dir.file("key" + std::to_string(n++));
        SCOPED_TRACE(path);
        if (k.content != nullptr) {
            swtest::WriteFile(path, k.content);
            ::chmod(path.c_str(), k.mode);
        }
        std::string key = "before", error;
        ASSERT_EQ(ReadApiKey(path, &key, &error), k.expected);
        EXPECT_EQ(key, k.expected == S_OK ? "s3cret" : "before");
        EXPECT_NE(error.find(k.said), std::string::npos) << error;
    }

    // The named file wins, then systemd's credential, then the default.
    ::setenv("CREDENTIALS_DIRECTORY", dir.path().c_str(), 1);
    ::unsetenv(kKeyFileVariable);
    EXPECT_EQ(KeyFilePath(), kDefaultKeyFile);
    swtest::WriteFile(dir.file(kCredentialName), "k");
    EXPECT_EQ(KeyFilePath(), dir.file(kCredentialName));
    ::setenv(kKeyFileVariable, "/srv/key", 1);
    EXPECT_EQ(KeyFilePath(), "/srv/key");
    ::unsetenv(kKeyFileVariable);
    ::unsetenv("CREDENTIALS_DIRECTORY");
}

} // namespace
