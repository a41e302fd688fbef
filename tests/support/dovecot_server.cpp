#include "tests/support/dovecot_server.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <netinet/in.h>
#include <grp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <thread>
#include <unistd.h>

namespace swtest {
namespace {

constexpr const char* kDovecot = "/usr/sbin/dovecot";
constexpr const char* kLda = "/usr/lib/dovecot/dovecot-lda";

std::string RandomHex(std::size_t bytes) {
    std::string raw(bytes, '\0');
    int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0 || ::read(fd, raw.data(), bytes) != static_cast<ssize_t>(bytes))
        ADD_FAILURE() << "cannot read /dev/urandom";
    if (fd >= 0)
        ::close(fd);
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char c : raw) {
        hex += digits[c >> 4];
        hex += digits[c & 15];
    }
    return hex;
}

// A port nothing listens on now. Another process may take it before Dovecot
// binds it; the constructor then tries again with another.
int FreePort() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    int port = 0;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
        port = ntohs(addr.sin_port);
    if (fd >= 0)
        ::close(fd);
    return port;
}

// Whether the doveadm HTTP listener answers (any HTTP status will do: a
// GET without the key is refused with 401 once the service is up).
bool ApiAnswers(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    timeval tv{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    std::string status;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
        const std::string request = "GET /doveadm/v1 HTTP/1.0\r\n\r\n";
        char buffer[64] = "";
        if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
            static_cast<ssize_t>(request.size())) {
            ssize_t n = ::recv(fd, buffer, sizeof buffer - 1, 0);
            if (n > 0)
                status.assign(buffer, static_cast<std::size_t>(n));
        }
    }
    ::close(fd);
    return status.rfind("HTTP/1.1 ", 0) == 0;
}

void MakeDir(const std::string& path, unsigned uid, unsigned gid) {
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    if (ec)
        ADD_FAILURE() << "cannot make " << path << ": " << ec.message();
    if (::geteuid() == 0 && ::chown(path.c_str(), uid, gid) != 0)
        ADD_FAILURE() << "cannot hand " << path << " to uid " << uid;
}

} // namespace

DovecotServer::DovecotServer(const std::vector<DovecotUser>& users) : users_(users) {
    const bool root = ::geteuid() == 0;
    // As root, mail belongs to an unprivileged account (Dovecot refuses mail
    // access as root); otherwise everything is the test's own user.
    const passwd* account = root ? ::getpwnam("nobody") : ::getpwuid(::geteuid());
    if (account == nullptr) {
        ADD_FAILURE() << "no passwd entry for " << (root ? "nobody" : "this user");
        return;
    }
    mail_uid_ = account->pw_uid;
    mail_user_ = account->pw_name;
    mail_gid_ = account->pw_gid;
    if (root)
        ::chmod(dir_.path().c_str(), 0755); // the mail users must reach their homes
    MakeDir(dir_.file("mail"), mail_uid_, mail_gid_);
    for (const DovecotUser& user : users_)
        MakeDir(home(user.name), mail_uid_, mail_gid_);
    WriteUsers();
    key_ = RandomHex(16);
    WriteFile(key_file(), key_ + "\n");
    ::chmod(key_file().c_str(), 0600);
    for (int attempt = 0; attempt < 5 && !running(); ++attempt) {
        port_ = FreePort();
        if (port_ == 0 || !WriteConfig())
            break;
        if (Start())
            return;
        // Most likely the port was taken meanwhile: try another.
    }
    ADD_FAILURE() << "private Dovecot did not start; its log:\n" << Log();
}

void DovecotServer::WriteUsers() {
    std::string passwd;
    for (const DovecotUser& user : users_)
        passwd += user.name + ":{PLAIN}secret:" + std::to_string(mail_uid_) + ":" +
                  std::to_string(mail_gid_) + "::" + home(user.name) + "::" + user.fields + "\n";
    // Replaced whole, so that Dovecot never reads half a file. Dovecot
    // looks at the file at most once a second: the change shows once the
    // second it was made in is over.
    WriteFile(dir_.file("users.new"), passwd);
    std::filesystem::rename(dir_.file("users.new"), dir_.file("users"));
    const std::time_t written = std::time(nullptr);
    while (std::time(nullptr) <= written)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

void DovecotServer::AddUsers(const std::vector<DovecotUser>& users) {
    for (const DovecotUser& user : users) {
        MakeDir(home(user.name), mail_uid_, mail_gid_);
        users_.push_back(user);
    }
    WriteUsers();
}

void DovecotServer::SetFields(const std::string& name, const std::string& fields) {
    for (DovecotUser& user : users_)
        if (user.name == name)
            user.fields = fields;
    WriteUsers();
}

DovecotServer::~DovecotServer() {
    Stop();
}

bool DovecotServer::WriteConfig() {
    const bool root = ::geteuid() == 0;
    const passwd* self = ::getpwuid(::geteuid());
    const std::string own = self != nullptr ? self->pw_name : "";
    const std::string internal_user = root ? "dovecot" : own;
    const std::string login_user = root ? "dovenull" : own;
    const std::string d = dir_.path();
    std::string conf = "# A private instance for one test.\n"
                       "base_dir = " +
                       d +
                       "/run\n"
                       "state_dir = " +
                       d +
                       "/state\n"
                       "instance_name = sortwell-test-" +
                       std::to_string(::getpid()) + "-" + std::to_string(port_) +
                       "\n"
                       "log_path = " +
                       d +
                       "/dovecot.log\n"
                       "protocols = lmtp\n"
                       "listen = 127.0.0.1\n"
                       "ssl = no\n"
                       "default_internal_user = " +
                       internal_user +
                       "\n"
                       "default_login_user = " +
                       login_user +
                       "\n"
                       "postmaster_address = postmaster@example.org\n"
                       "auth_username_chars =\n" // any user name, quotes and spaces too
                       "passdb {\n  driver = passwd-file\n  args = " +
                       d +
                       "/users\n}\n"
                       "userdb {\n  driver = passwd-file\n  args = " +
                       d +
                       "/users\n}\n"
                       "mail_location = maildir:~/Maildir\n"
                       "namespace inbox {\n  inbox = yes\n  separator = /\n  prefix =\n}\n"
                       "doveadm_api_key = " +
                       key_ +
                       "\n"
                       "service doveadm {\n"
                       "  inet_listener http {\n    address = 127.0.0.1\n    port = " +
                       std::to_string(port_) +
                       "\n  }\n"
                       "  service_count = 100\n" // as the README advises
                       "}\n"
                       "service anvil {\n  chroot =\n}\n" // chroot needs root
                       // A kept doveadm worker runs as the mail user once it
                       // has served a mail command, and the user listing
                       // asks it to own the userdb socket.
                       "service auth {\n  unix_listener auth-userdb {\n    mode = 0600\n"
                       "    user = " +
                       mail_user_ +
                       "\n  }\n}\n"
                       "protocol lda {\n  mail_plugins = $mail_plugins sieve\n}\n"
                       "protocol lmtp {\n  mail_plugins = $mail_plugins sieve\n}\n"
                       "plugin {\n  sieve = file:~/sieve;active=~/.dovecot.sieve\n}\n";
    if (!root) {
        // Dovecot's own processes switch to this group, which must be ours.
        const group* g = ::getgrgid(::getegid());
        if (g == nullptr)
            return false;
        conf += "default_internal_group = " + std::string(g->gr_name) + "\n";
    }
    WriteFile(config_file(), conf);
    return !ReadFile(config_file()).empty();
}

bool DovecotServer::Start() {
    if (running())
        return true;
    std::error_code ignored;
    std::filesystem::create_directories(dir_.file("run"), ignored);
    std::filesystem::create_directories(dir_.file("state"), ignored);
    master_ = Process::Start(kDovecot, {"-F", "-c", config_file()}, {});
    if (master_ == nullptr)
        return false;
    if (WaitForApi(10000))
        return true;
    Stop();
    return false;
}

bool DovecotServer::WaitForApi(int timeout_ms) const {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < deadline) {
        if (!master_->Running())
            return false;
        if (ApiAnswers(port_))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

bool DovecotServer::Stop() {
    if (!running())
        return true;
    master_->Signal(SIGTERM);
    bool ended = master_->Wait(15000);
    if (!ended)
        ADD_FAILURE() << "private Dovecot did not stop within 15 s";
    master_.reset();
    return ended;
}

std::string DovecotServer::Log() const {
    return ReadFile(dir_.file("dovecot.log"));
}

int DovecotServer::Deliver(const std::string& user, const std::string& message) const {
    ProcessResult r = RunProgram(
        kLda, {"-c", config_file(), "-d", user, "-f", "sender@example.org"}, {}, message);
    return r.exit_code;
}

void DovecotServer::PlaceMessage(const std::string& user, const std::string& folder,
                                 const std::string& message, long age_seconds) const {
    static std::atomic<unsigned> counter{0};
    std::string maildir = home(user) + "/Maildir" + (folder.empty() ? "" : "/." + folder);
    for (const char* sub : {"", "/cur", "/new", "/tmp"})
        MakeDir(maildir + sub, mail_uid_, mail_gid_);
    if (!folder.empty() && !std::filesystem::exists(maildir + "/maildirfolder")) {
        WriteFile(maildir + "/maildirfolder", "");
        if (::geteuid() == 0 &&
            ::chown((maildir + "/maildirfolder").c_str(), mail_uid_, mail_gid_) != 0)
            ADD_FAILURE() << "cannot hand the maildirfolder file to uid " << mail_uid_;
    }
    const long now = static_cast<long>(::time(nullptr));
    std::string file = maildir + "/new/" + std::to_string(now) + ".P" + std::to_string(::getpid()) +
                       "Q" + std::to_string(counter++) + ".swtest";
    WriteFile(file, message);
    timeval times[2] = {{now - age_seconds, 0}, {now - age_seconds, 0}};
    if (::utimes(file.c_str(), times) != 0 ||
        (::geteuid() == 0 && ::chown(file.c_str(), mail_uid_, mail_gid_) != 0))
        ADD_FAILURE() << "cannot date or hand over " << file << ": " << std::strerror(errno);
}

void DovecotServer::WriteActiveScript(const std::string& user, const std::string& name,
                                      const std::string& text) const {
    MakeDir(home(user) + "/sieve", mail_uid_, mail_gid_);
    const std::string file = home(user) + "/sieve/" + name + ".sieve";
    const std::string link = home(user) + "/.dovecot.sieve";
    WriteFile(file, text);
    std::filesystem::remove(link);
    std::filesystem::create_symlink("sieve/" + name + ".sieve", link);
    if (::geteuid() == 0 && (::chown(file.c_str(), mail_uid_, mail_gid_) != 0 ||
                             ::lchown(link.c_str(), mail_uid_, mail_gid_) != 0))
        ADD_FAILURE() << "cannot hand " << file << " to uid " << mail_uid_;
}

} // namespace swtest
