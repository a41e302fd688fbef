#include "platform/dovecot/dovecot_location.h"

#include <arpa/inet.h>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace dovecot {
namespace {

bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

bool IsLoopbackHost(const std::string& host, bool bracketed) {
    if (host == "localhost")
        return true;
    if (bracketed) {
        in6_addr a6{};
        return inet_pton(AF_INET6, host.c_str(), &a6) == 1 && IN6_IS_ADDR_LOOPBACK(&a6);
    }
    in_addr a4{};
    return inet_pton(AF_INET, host.c_str(), &a4) == 1 && (ntohl(a4.s_addr) >> 24) == 127;
}

// A host name as a URL may carry it: letters, digits, '-', '.' (an IDN must
// be written in its ASCII form).
bool IsHostName(std::string_view host) {
    if (host.empty() || host.size() > 253)
        return false;
    for (char c : host)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '-' || c == '.'))
            return false;
    return true;
}

} // namespace

bool IsDovecotLocation(std::string_view location) {
    return StartsWith(location, kLocationScheme);
}

HRESULT ParseLocation(std::string_view location, Location* out, std::string* error) {
    auto fail = [&](const std::string& why) {
        *error = "Dovecot location \"" + std::string(location) + "\": " + why;
        return MAPI_E_INVALID_PARAMETER;
    };
    if (!IsDovecotLocation(location))
        return fail("does not start with dovecot:");
    std::string_view url = location.substr(std::strlen(kLocationScheme));
    Location parsed;
    if (StartsWith(url, "https://")) {
        parsed.https = true;
        url.remove_prefix(8);
    } else if (StartsWith(url, "http://")) {
        url.remove_prefix(7);
    } else {
        return fail("expected dovecot:http://HOST:PORT or dovecot:https://HOST:PORT");
    }
    if (!url.empty() && url.back() == '/')
        url.remove_suffix(1);
    if (url.find_first_of("/?#@") != std::string_view::npos)
        return fail("only HOST:PORT may follow the scheme (no path, user, query or fragment)");
    bool bracketed = false;
    std::string_view port_text;
    if (StartsWith(url, "[")) {
        std::size_t close = url.find(']');
        if (close == std::string_view::npos)
            return fail("unclosed [ in the host");
        parsed.host = std::string(url.substr(1, close - 1));
        bracketed = true;
        in6_addr a6{};
        if (inet_pton(AF_INET6, parsed.host.c_str(), &a6) != 1)
            return fail("not an IPv6 address in brackets");
        url.remove_prefix(close + 1);
        if (!StartsWith(url, ":"))
            return fail("the port is missing");
        port_text = url.substr(1);
    } else {
        std::size_t colon = url.rfind(':');
        if (colon == std::string_view::npos)
            return fail("the port is missing");
        parsed.host = std::string(url.substr(0, colon));
        port_text = url.substr(colon + 1);
        if (!IsHostName(parsed.host))
            return fail("not a host name or IPv4 address");
    }
    int port = 0;
    auto [end, ec] = std::from_chars(port_text.data(), port_text.data() + port_text.size(), port);
    if (port_text.empty() || ec != std::errc() || end != port_text.data() + port_text.size() ||
        port < 1 || port > 65535)
        return fail("the port must be a number from 1 to 65535");
    parsed.port = port;
    parsed.loopback = IsLoopbackHost(parsed.host, bracketed);
    parsed.base_url = std::string(parsed.https ? "https://" : "http://") +
                      (bracketed ? "[" + parsed.host + "]" : parsed.host) + ":" +
                      std::to_string(port);
    *out = std::move(parsed);
    error->clear();
    return S_OK;
}

std::string EndpointWarning(const Location& location) {
    if (location.https || location.loopback)
        return "";
    return "Dovecot endpoint " + location.base_url +
           " is neither loopback nor HTTPS: the API key and users' mail cross the network "
           "unencrypted";
}

std::string KeyFilePath() {
    const char* named = std::getenv(kKeyFileVariable);
    if (named != nullptr && *named != '\0')
        return named;
    const char* credentials = std::getenv("CREDENTIALS_DIRECTORY");
    if (credentials != nullptr && *credentials != '\0') {
        std::string path = std::string(credentials) + "/" + kCredentialName;
        if (access(path.c_str(), F_OK) == 0)
            return path;
    }
    return kDefaultKeyFile;
}

// A credential systemd hands the unit lives in a directory only the unit can
// enter; systemd gives the unit's user read access to it through an ACL,
// which shows as the group's read bit. There only group write and every
// bit for others are refused.
bool InCredentials(const std::string& path) {
    const char* credentials = std::getenv("CREDENTIALS_DIRECTORY");
    if (credentials == nullptr || *credentials == '\0')
        return false;
    const std::string dir = std::string(credentials) + "/";
    return path.compare(0, dir.size(), dir) == 0;
}

HRESULT ReadApiKey(const std::string& path, std::string* key, std::string* error) {
    auto fail = [&](HRESULT hr, const std::string& why) {
        *error = "Dovecot API key file " + path + ": " + why;
        return hr;
    };
    // The mode is checked on the descriptor that is read, so the file cannot
    // be swapped between the check and the read.
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        int err = errno;
        if (err == ENOENT)
            return fail(MAPI_E_NOT_FOUND, "does not exist");
        return fail(err == EACCES ? MAPI_E_NO_ACCESS : MAPI_E_DISK_ERROR,
                    std::string("cannot be opened: ") + std::strerror(err));
    }
    struct stat st {};
    HRESULT hr = S_OK;
    std::string text;
    if (fstat(fd, &st) != 0) {
        hr = fail(MAPI_E_DISK_ERROR, std::string("cannot be examined: ") + std::strerror(errno));
    } else if (!S_ISREG(st.st_mode)) {
        hr = fail(MAPI_E_INVALID_PARAMETER, "is not a regular file");
    } else if ((st.st_mode & (InCredentials(path) ? 027 : 077)) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        hr = fail(MAPI_E_NO_ACCESS, std::string("is open to group or others (mode ") + mode +
                                        "); refused, make it 0600 or 0400");
    } else if (st.st_size > static_cast<off_t>(kMaxKeyBytes)) {
        hr = fail(MAPI_E_INVALID_PARAMETER, "is too long to hold an API key");
    } else {
        char buffer[kMaxKeyBytes + 1];
        std::size_t used = 0;
        for (;;) {
            ssize_t n = read(fd, buffer + used, sizeof buffer - used);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                hr =
                    fail(MAPI_E_DISK_ERROR, std::string("cannot be read: ") + std::strerror(errno));
                break;
            }
            if (n == 0)
                break;
            used += static_cast<std::size_t>(n);
            if (used == sizeof buffer) {
                hr = fail(MAPI_E_INVALID_PARAMETER, "is too long to hold an API key");
                break;
            }
        }
        text.assign(buffer, used);
        std::memset(buffer, 0, sizeof buffer);
    }
    close(fd);
    if (hr != S_OK)
        return hr;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' ||
                             text.back() == '\t'))
        text.pop_back();
    if (text.empty())
        return fail(MAPI_E_INVALID_PARAMETER, "is empty");
    if (text.find_first_of("\r\n") != std::string::npos)
        return fail(MAPI_E_INVALID_PARAMETER, "holds more than one line");
    *key = std::move(text);
    error->clear();
    return S_OK;
}

} // namespace dovecot
