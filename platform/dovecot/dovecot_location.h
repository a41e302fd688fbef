// Where a Dovecot server is, and the key that opens its doveadm HTTP API.
//
// The store location chooses the backend: a path names the embedded store; a
// location that starts with "dovecot:" names a Dovecot server's doveadm HTTP
// listener:
//
//   dovecot:http://127.0.0.1:8080        plain HTTP, for a loopback listener
//   dovecot:https://mail.example.org:8443
//   dovecot:http://[::1]:8080            IPv6 literals in brackets
//
// The scheme is http or https (lower case, as curl wants it), the host a name,
// an IPv4 literal or a bracketed IPv6 literal, and the port is required (the
// doveadm listener has no well-known port). A trailing "/" is allowed; no
// other path, no user name or password in the URL, no query or fragment: the
// client always posts to /doveadm/v1, and the key comes from a file.
//
// The API key is never taken from the command line or the hive. It is the
// content of one file (trailing white space and line ends dropped):
//   $SORTWELL_DOVECOT_KEY_FILE when set and not empty, else
//   $CREDENTIALS_DIRECTORY/dovecot-api-key when systemd passes the credential
//     (LoadCredential=dovecot-api-key:/path in the unit), else
//   /etc/sortwell/dovecot-api-key.
// The file must be a regular file that neither group nor others may read or
// write (mode 0600 or 0400): anyone who holds the key can read and delete
// every user's mail. A credential from systemd may show the group's read
// bit (systemd grants the unit's user through an ACL, in a directory only
// the unit can enter): there only that bit is allowed.
#pragma once
#include <string>
#include <string_view>

#include "mailstore/mapidefs.h"

namespace dovecot {

constexpr const char* kLocationScheme = "dovecot:";
constexpr const char* kKeyFileVariable = "SORTWELL_DOVECOT_KEY_FILE";
constexpr const char* kCredentialName = "dovecot-api-key";
constexpr const char* kDefaultKeyFile = "/etc/sortwell/dovecot-api-key";
// Longest key file read; doveadm_api_key is a short secret.
constexpr std::size_t kMaxKeyBytes = 4096;

struct Location {
    std::string base_url; // "http://127.0.0.1:8080", what the client posts below
    std::string host;     // as written, without brackets
    int port = 0;
    bool https = false;
    bool loopback = false; // 127.0.0.0/8, ::1 or "localhost"
};

// True when `location` names Dovecot rather than an embedded store file.
bool IsDovecotLocation(std::string_view location);

// Parses a "dovecot:" location. S_OK, or MAPI_E_INVALID_PARAMETER with one
// line in `error` saying what is wrong.
HRESULT ParseLocation(std::string_view location, Location* out, std::string* error);

// The warning to log at start for an endpoint that is neither loopback nor
// HTTPS (the key and the mail would cross the network in clear); "" when the
// endpoint is fine.
std::string EndpointWarning(const Location& location);

// The key file the rules above choose.
std::string KeyFilePath();

// Reads the API key from `path`. S_OK; MAPI_E_NOT_FOUND when the file does
// not exist; MAPI_E_NO_ACCESS when it cannot be read or group or others may
// read or write it; MAPI_E_INVALID_PARAMETER when it is not a regular file,
// is empty or longer than kMaxKeyBytes. On failure `error` holds one line
// naming the file and the problem, ready to be logged as it is.
HRESULT ReadApiKey(const std::string& path, std::string* key, std::string* error);

} // namespace dovecot
