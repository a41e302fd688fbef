// A client of Dovecot's doveadm HTTP API (Dovecot 2.3, libcurl, nlohmann-json).
//
// One client owns one curl handle and is used by one thread at a time: each
// worker makes its own. Calls are queued in a Batch and sent together in one
// POST; each queued call gets its own result, and the POST as a whole gets
// one too. The single-call methods on the client send a batch of one.
//
// ---- What the API is, as Dovecot 2.3.19 (Debian 12) serves it --------------------------
// - POST <base>/doveadm/v1 with "Authorization: X-Dovecot-API <base64 of
//   doveadm_api_key>" and a JSON array of commands, each
//   ["name", {parameters}, "tag"]. The answer is an array in the same order:
//   ["doveadmResponse", <result>, "tag"] or
//   ["error", {"type": "exitCode", "exitCode": N}, "tag"]; other error types
//   are "unknownMethod" and "invalidRequest" (a parameter it does not know).
//   An invalidRequest error that follows another result comes without the
//   comma before it, so the whole answer is not JSON (MAPI_E_CORRUPT_DATA):
//   never send a parameter the command does not list.
//   GET <base>/doveadm/v1 lists every command with its parameters and their
//   JSON types.
// - Parameter types must be exactly the listed ones: a wrong type (an array
//   for sieveGet's "scriptname", two names in mailboxPath's "mailbox" array)
//   makes the doveadm process panic or exit and the connection closes with no
//   answer. The calls below send only the listed types.
// - Every answer has "Connection: close": no keep-alive, one connection per
//   POST. The commands of one POST run one after another in one process, so
//   batching saves connections, not server time. A worker kept for many
//   connections (service doveadm { service_count = 100 }) saves a process
//   start per POST; one kept for ever (0) grows slower as it serves.
// - An empty required argument (sieveGet's scriptname "", search's query
//   [], mailboxCreate's mailbox [], mailboxStatus's mailboxMask []) also
//   makes the doveadm process exit and drop the connection; an empty name
//   inside a list is exit code 64. Calls with empty required arguments are
//   refused here with MAPI_E_INVALID_PARAMETER and never sent.
// - A boolean parameter is a command-line flag: present means set, so
//   {"activate": false} activates. Booleans are sent only when true.
// - A wrong or missing key is HTTP 401 with an empty body; a body that is not
//   JSON is HTTP 400.
// - Numbers in results are JSON strings ("messages":"0", "uid":"7").
// - user {"userMask":["*"]} answers an object {"userList":[names]} (it needs
//   a userdb that can iterate, such as passwd-file). An unknown user in a
//   mail command is exit code 67.
// - mailboxList answers [{"mailbox": name}], UTF-8 unless "mutf7" is true,
//   parents included even when they do not exist themselves. A literal mask
//   without wildcards is echoed back whether or not the mailbox exists.
// - mailboxStatus answers [{"mailbox": name, field: value...}] for the
//   existing mailboxes its masks match; "guid" is the mailbox GUID (32 hex
//   digits), stable across renames. Its mask "*" matches nothing in a
//   namespace with a prefix ("INBOX."): the masks here are "INBOX" and
//   prefix + "*". A missing mailbox named literally is exit code 68.
// - mailboxCreate of an existing mailbox, or of a name no namespace takes,
//   is exit code 65.
// - sieveList answers [{"script": name, "active": "ACTIVE" or ""}];
//   sieveGet [{"sieve script": text}] (missing: 68); sievePut's "file" is the
//   raw script text (not base64); a script that does not compile is 65 and
//   the script stored before stays as it was; "activate" activates it.
// - search and expunge take a query as an array of words, like the command
//   line: ["mailbox", "Spam", "before", "30d"]. "before" compares the
//   INTERNALDATE, which delivery sets (Maildir: the file's time);
//   "savedbefore" would compare the time saved, wrong for moved mail. search
//   answers [{"mailbox-guid": g, "uid": u}]; expunge answers [] and a
//   missing mailbox is 68.
// - save stores "file" (the message text) into "mailbox" without Sieve.
// - fetch answers one object per message with the fields asked for;
//   "date.received.unixtime" is seconds since 1970, "date.received" is local
//   time without a zone.
// - mailboxPath ["name"] answers [{"path": p}], or [] when no namespace
//   takes the name: the one probe that tells a namespace prefix without
//   creating anything.
//
// ---- How failures map to HRESULTs ------------------------------------------------------
// Transport (the whole POST):
//   connection refused, reset or closed with no answer (including doveadm
//   dying on a request), name not resolved, TLS failures
//                                         -> MAPI_E_NETWORK_ERROR
//   connect or total timeout              -> MAPI_E_TIMEOUT
//   answer larger than kMaxAnswerBytes    -> MAPI_E_TOO_BIG
//   HTTP 401 (key refused)                -> MAPI_E_LOGON_FAILED (check the key file)
//   HTTP 403                              -> MAPI_E_NO_ACCESS
//   HTTP 404 (no API at that URL)         -> MAPI_E_UNCONFIGURED
//   HTTP 400, other 4xx                   -> MAPI_E_INVALID_PARAMETER
//   HTTP 5xx, other statuses              -> MAPI_E_CALL_FAILED
//   a 200 answer that is not the JSON described above, or lacks a command's
//   tag                                   -> MAPI_E_CORRUPT_DATA
// One command (its exit code, doveadm's sysexits):
//   64 usage (an argument it cannot take)  -> MAPI_E_INVALID_PARAMETER
//   65 not possible (exists, cannot be created)  -> MAPI_E_COLLISION
//      (sievePut: the script does not compile)   -> MAPI_E_BAD_VALUE
//   67 unknown user, 68 not found         -> MAPI_E_NOT_FOUND
//   75 temporary failure (a lock)         -> MAPI_E_BUSY
//   77 permission denied                  -> MAPI_E_NO_ACCESS
//   2 changed meanwhile                   -> MAPI_E_OBJECT_CHANGED
//   71-74 system or I/O error             -> MAPI_E_DISK_ERROR
//   78 configuration error                -> MAPI_E_UNCONFIGURED
//   unknownMethod                         -> MAPI_E_NO_SUPPORT
//   invalidRequest                        -> MAPI_E_INVALID_PARAMETER
//   any other exit code                   -> MAPI_E_CALL_FAILED
//   a result of the wrong shape           -> MAPI_E_CORRUPT_DATA
// A failed POST fails every command in it with the POST's code; the server
// may have carried out some of them before the connection dropped.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "mailstore/mapidefs.h"
#include "platform/dovecot/mailbox_names.h"

namespace dovecot {

constexpr long kDefaultConnectTimeoutMs = 5000;
constexpr long kDefaultTotalTimeoutMs = 60000;
constexpr std::size_t kMaxAnswerBytes = 256u << 20;

struct ClientOptions {
    std::string base_url; // Location::base_url
    std::string api_key;  // the key itself, not base64
    long connect_timeout_ms = kDefaultConnectTimeoutMs;
    long total_timeout_ms = kDefaultTotalTimeoutMs; // for one POST, from connect to last byte
};

struct MailboxStatusInfo {
    std::string name; // UTF-8
    std::string guid; // 32 hex digits
    std::uint64_t messages = 0;
};

struct SieveScriptInfo {
    std::string name;
    bool active = false;
};

struct MessageRef {
    std::string mailbox_guid;
    std::uint32_t uid = 0;
};

// One message's fields as fetch returns them, in the order asked for.
using FetchedMessage = std::vector<std::pair<std::string, std::string>>;

// The HRESULT of a doveadm error answer: `type` is its "type", `exit_code`
// its "exitCode".
HRESULT MapCommandError(const std::string& type, int exit_code);
// The HRESULT of an HTTP status other than 200.
HRESULT MapHttpStatus(long status);

// Calls to send in one POST. Each queued call names where its result goes;
// those stay untouched unless its own HRESULT is S_OK. A call missing a
// required argument (an empty script name, mailbox, mask or name list,
// query or field list) is not sent and gets MAPI_E_INVALID_PARAMETER. The batch must outlive
// the Execute that sends it, and so must the result places.
class Batch {
public:
    Batch();
    ~Batch();
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;

    bool empty() const { return calls_.empty(); }
    std::size_t size() const { return calls_.size(); }

    // Every user the userdb lists.
    void Users(std::vector<std::string>* users, HRESULT* hr);
    // Mailbox names (UTF-8) matching `masks` (all when empty).
    void MailboxList(const std::string& user, const std::vector<std::string>& masks,
                     std::vector<std::string>* names, HRESULT* hr);
    // Status with GUID of the existing mailboxes matching `masks`.
    void MailboxStatus(const std::string& user, const std::vector<std::string>& masks,
                       std::vector<MailboxStatusInfo>* status, HRESULT* hr);
    void MailboxCreate(const std::string& user, const std::vector<std::string>& names, HRESULT* hr);
    void SieveList(const std::string& user, std::vector<SieveScriptInfo>* scripts, HRESULT* hr);
    void SieveGet(const std::string& user, const std::string& script, std::string* text,
                  HRESULT* hr);
    // Stores `text` whole as `script` (replacing one of that name), and
    // makes it the active script when `activate` is true.
    void SievePut(const std::string& user, const std::string& script, const std::string& text,
                  bool activate, HRESULT* hr);
    void SieveActivate(const std::string& user, const std::string& script, HRESULT* hr);
    // The messages `query` finds (e.g. {"mailbox", "Spam", "before", "30d"}).
    void Search(const std::string& user, const std::vector<std::string>& query,
                std::vector<MessageRef>* found, HRESULT* hr);
    void Expunge(const std::string& user, const std::vector<std::string>& query, HRESULT* hr);
    // Stores the RFC 5322 `message` in `mailbox` as it is, without Sieve.
    void Save(const std::string& user, const std::string& mailbox, const std::string& message,
              HRESULT* hr);
    void Fetch(const std::string& user, const std::vector<std::string>& fields,
               const std::vector<std::string>& query, std::vector<FetchedMessage>* messages,
               HRESULT* hr);
    // Whether some namespace takes `mailbox` (mailboxPath found a path).
    void MailboxNameValid(const std::string& user, const std::string& mailbox, bool* valid,
                          HRESULT* hr);

private:
    friend class Client;
    struct Call {
        std::string command;
        std::unique_ptr<nlohmann::json> parameters;
        // Reads the result into the caller's places; S_OK or an HRESULT.
        std::function<HRESULT(const nlohmann::json&)> read;
        HRESULT* hr;
        bool sieve_put = false;
        bool refused = false; // never sent: MAPI_E_INVALID_PARAMETER
    };
    // Queues a refused call in place of the real one when `bad`.
    bool Refused(bool bad, HRESULT* hr);
    void Add(std::string command, nlohmann::json&& parameters,
             std::function<HRESULT(const nlohmann::json&)> read, HRESULT* hr);
    std::vector<Call> calls_;
};

class Client {
public:
    explicit Client(ClientOptions options);
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // Sends the batch in one POST and fills every call's HRESULT. Returns the
    // POST's HRESULT (S_OK when the server answered every call, whatever
    // each call's own result), which is also every call's result when it
    // failed. An empty batch sends nothing.
    HRESULT Execute(Batch& batch);

    // One call each, in a POST of its own; the HRESULT is the POST's when it
    // failed, else the call's.
    HRESULT Users(std::vector<std::string>* users);
    HRESULT MailboxList(const std::string& user, std::vector<std::string>* names);
    HRESULT MailboxStatus(const std::string& user, const std::vector<std::string>& masks,
                          std::vector<MailboxStatusInfo>* status);
    HRESULT MailboxCreate(const std::string& user, const std::string& name);
    HRESULT SieveList(const std::string& user, std::vector<SieveScriptInfo>* scripts);
    HRESULT SieveGet(const std::string& user, const std::string& script, std::string* text);
    HRESULT SievePut(const std::string& user, const std::string& script, const std::string& text,
                     bool activate);
    HRESULT SieveActivate(const std::string& user, const std::string& script);
    HRESULT Search(const std::string& user, const std::vector<std::string>& query,
                   std::vector<MessageRef>* found);
    HRESULT Expunge(const std::string& user, const std::vector<std::string>& query);
    HRESULT Save(const std::string& user, const std::string& mailbox, const std::string& message);
    HRESULT Fetch(const std::string& user, const std::vector<std::string>& fields,
                  const std::vector<std::string>& query, std::vector<FetchedMessage>* messages);

    // The user's inbox namespace, inferred (see InferNamespace) from one POST
    // of three calls (both listings and a name without a prefix), and a
    // second of two where that name does not resolve. A caller that has read
    // every mailbox of the user and found no name holding '.' or '/' passes
    // the names as `flat_names`: each is then a top-level name, the listings
    // could show nothing more, and the first POST asks only the name.
    // MAPI_E_NO_SUPPORT when the layout is one not handled.
    HRESULT Namespace(const std::string& user, const std::vector<std::string>* flat_names,
                      MailboxNamespace* ns);

    // One line on the last failed POST (the curl error, the HTTP status or
    // what was wrong with the answer); "" after a good one.
    const std::string& LastError() const { return last_error_; }

private:
    HRESULT Post(const std::string& body, std::string* answer);
    HRESULT One(Batch& batch, const HRESULT& hr);
    // The POST's failure, else the first of its commands'; S_OK when all went.
    template <std::size_t N>
    HRESULT All(Batch& batch, const HRESULT (&hr)[N]);

    ClientOptions options_;
    std::string authorization_;
    void* curl_ = nullptr; // CURL*
    std::string last_error_;
};

} // namespace dovecot
