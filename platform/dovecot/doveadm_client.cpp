#include "platform/dovecot/doveadm_client.h"

#include <algorithm>
#include <charconv>
#include <mutex>

#include <curl/curl.h>
#include <nlohmann/json.hpp>

namespace dovecot {

using nlohmann::json;

namespace {

// Mail commands (doveadm exit codes are sysexits values).
constexpr int kExitChanged = 2;
constexpr int kExitUsage = 64;
constexpr int kExitNotPossible = 65;
constexpr int kExitNoUser = 67;
constexpr int kExitNotFound = 68;
constexpr int kExitOsErr = 71;
constexpr int kExitIoErr = 74;
constexpr int kExitTempFail = 75;
constexpr int kExitNoPerm = 77;
constexpr int kExitConfig = 78;

std::string Base64(const std::string& bytes) {
    static const char table[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        unsigned v = (static_cast<unsigned char>(bytes[i]) << 16) |
                     (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                     static_cast<unsigned char>(bytes[i + 2]);
        out += table[v >> 18];
        out += table[(v >> 12) & 63];
        out += table[(v >> 6) & 63];
        out += table[v & 63];
    }
    if (i + 1 == bytes.size()) {
        unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
        out += table[v >> 18];
        out += table[(v >> 12) & 63];
        out += "==";
    } else if (i + 2 == bytes.size()) {
        unsigned v = (static_cast<unsigned char>(bytes[i]) << 16) |
                     (static_cast<unsigned char>(bytes[i + 1]) << 8);
        out += table[v >> 18];
        out += table[(v >> 12) & 63];
        out += table[(v >> 6) & 63];
        out += '=';
    }
    return out;
}

// A number doveadm sent as a string (or, to be lenient, as a number).
template <typename T> bool ReadNumber(const json& value, T* out) {
    if (value.is_number_unsigned()) {
        *out = value.get<T>();
        return true;
    }
    if (!value.is_string())
        return false;
    const std::string& s = value.get_ref<const std::string&>();
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), *out);
    return !s.empty() && ec == std::errc() && end == s.data() + s.size();
}

// The string member `key` of `object`, or null.
const std::string* StringMember(const json& object, const char* key) {
    if (!object.is_object())
        return nullptr;
    auto it = object.find(key);
    if (it == object.end() || !it->is_string())
        return nullptr;
    return &it->get_ref<const std::string&>();
}

json StringArray(const std::vector<std::string>& values) {
    json array = json::array();
    for (const std::string& v : values)
        array.push_back(v);
    return array;
}

// Reads a result that must be an array of objects, one row each.
template <typename Row>
HRESULT ReadRows(const json& result, const std::function<bool(const json&, Row*)>& read_row,
                 std::vector<Row>* out) {
    if (!result.is_array())
        return MAPI_E_CORRUPT_DATA;
    std::vector<Row> rows;
    rows.reserve(result.size());
    for (const json& item : result) {
        Row row{};
        if (!read_row(item, &row))
            return MAPI_E_CORRUPT_DATA;
        rows.push_back(std::move(row));
    }
    *out = std::move(rows);
    return S_OK;
}

HRESULT MapCurlError(CURLcode code) {
    switch (code) {
    case CURLE_OPERATION_TIMEDOUT:
        return MAPI_E_TIMEOUT;
    case CURLE_OUT_OF_MEMORY:
        return MAPI_E_NOT_ENOUGH_MEMORY;
    case CURLE_WRITE_ERROR: // the answer grew past kMaxAnswerBytes
    case CURLE_FILESIZE_EXCEEDED:
        return MAPI_E_TOO_BIG;
    case CURLE_URL_MALFORMAT:
    case CURLE_UNSUPPORTED_PROTOCOL:
        return MAPI_E_INVALID_PARAMETER;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
    case CURLE_GOT_NOTHING:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_PARTIAL_FILE:
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
        return MAPI_E_NETWORK_ERROR;
    default:
        return MAPI_E_CALL_FAILED;
    }
}

size_t Collect(char* data, size_t size, size_t count, void* user) {
    auto* answer = static_cast<std::string*>(user);
    size_t bytes = size * count;
    if (answer->size() + bytes > kMaxAnswerBytes)
        return 0; // curl stops with CURLE_WRITE_ERROR
    answer->append(data, bytes);
    return bytes;
}

std::once_flag curl_initialised;

} // namespace

HRESULT MapCommandError(const std::string& type, int exit_code) {
    if (type == "unknownMethod")
        return MAPI_E_NO_SUPPORT;
    if (type == "invalidRequest")
        return MAPI_E_INVALID_PARAMETER;
    if (type != "exitCode")
        return MAPI_E_CALL_FAILED;
    switch (exit_code) {
    case kExitUsage:
        return MAPI_E_INVALID_PARAMETER;
    case kExitNotPossible:
        return MAPI_E_COLLISION;
    case kExitNoUser:
    case kExitNotFound:
        return MAPI_E_NOT_FOUND;
    case kExitTempFail:
        return MAPI_E_BUSY;
    case kExitNoPerm:
        return MAPI_E_NO_ACCESS;
    case kExitChanged:
        return MAPI_E_OBJECT_CHANGED;
    case kExitConfig:
        return MAPI_E_UNCONFIGURED;
    default:
        if (exit_code >= kExitOsErr && exit_code <= kExitIoErr)
            return MAPI_E_DISK_ERROR;
        return MAPI_E_CALL_FAILED;
    }
}

HRESULT MapHttpStatus(long status) {
    if (status == 200)
        return S_OK;
    if (status == 401)
        return MAPI_E_LOGON_FAILED;
    if (status == 403)
        return MAPI_E_NO_ACCESS;
    if (status == 404)
        return MAPI_E_UNCONFIGURED;
    if (status >= 400 && status < 500)
        return MAPI_E_INVALID_PARAMETER;
    return MAPI_E_CALL_FAILED;
}

// ---- Batch -------------------------------------------------------------------------------

Batch::Batch() = default;
Batch::~Batch() = default;

void Batch::Add(std::string command, json&& parameters, std::function<HRESULT(const json&)> read,
                HRESULT* hr) {
    Call call;
    call.command = std::move(command);
    call.parameters = std::make_unique<json>(std::move(parameters));
    call.read = std::move(read);
    call.hr = hr;
    calls_.push_back(std::move(call));
}

bool Batch::Refused(bool bad, HRESULT* hr) {
    if (!bad)
        return false;
    Call call;
    call.hr = hr;
    call.refused = true;
    calls_.push_back(std::move(call));
    return true;
}

namespace {
bool AnyEmpty(const std::vector<std::string>& values) {
    return values.empty() || std::any_of(values.begin(), values.end(),
                                         [](const std::string& v) { return v.empty(); });
}
} // namespace

void Batch::Users(std::vector<std::string>* users, HRESULT* hr) {
    Add(
        "user", json{{"userMask", json::array({"*"})}},
        [users](const json& result) -> HRESULT {
            auto it = result.is_object() ? result.find("userList") : result.end();
            if (!result.is_object() || it == result.end() || !it->is_array())
                return MAPI_E_CORRUPT_DATA;
            std::vector<std::string> names;
            for (const json& name : *it) {
                if (!name.is_string())
                    return MAPI_E_CORRUPT_DATA;
                names.push_back(name.get<std::string>());
            }
            *users = std::move(names);
            return S_OK;
        },
        hr);
}

void Batch::MailboxList(const std::string& user, const std::vector<std::string>& masks,
                        std::vector<std::string>* names, HRESULT* hr) {
    json parameters{{"user", user}};
    if (!masks.empty())
        parameters["mailboxMask"] = StringArray(masks);
    Add(
        "mailboxList", std::move(parameters),
        [names](const json& result) {
            return ReadRows<std::string>(
                result,
                [](const json& row, std::string* name) {
                    const std::string* s = StringMember(row, "mailbox");
                    if (s != nullptr)
                        *name = *s;
                    return s != nullptr;
                },
                names);
        },
        hr);
}

void Batch::MailboxStatus(const std::string& user, const std::vector<std::string>& masks,
                          std::vector<MailboxStatusInfo>* status, HRESULT* hr) {
    if (Refused(masks.empty(), hr))
        return;
    Add(
        "mailboxStatus",
        json{{"user", user},
             {"field", json::array({"guid", "messages"})},
             {"mailboxMask", StringArray(masks)}},
        [status](const json& result) {
            return ReadRows<MailboxStatusInfo>(
                result,
                [](const json& row, MailboxStatusInfo* info) {
                    const std::string* name = StringMember(row, "mailbox");
                    const std::string* guid = StringMember(row, "guid");
                    if (name == nullptr || guid == nullptr || !row.contains("messages"))
                        return false;
                    info->name = *name;
                    info->guid = *guid;
                    return ReadNumber(row["messages"], &info->messages);
                },
                status);
        },
        hr);
}

namespace {
HRESULT ExpectEmpty(const json& result) {
    return result.is_array() ? S_OK : MAPI_E_CORRUPT_DATA;
}
} // namespace

void Batch::MailboxCreate(const std::string& user, const std::vector<std::string>& names,
                          HRESULT* hr) {
    if (Refused(AnyEmpty(names), hr))
        return;
    Add("mailboxCreate", json{{"user", user}, {"mailbox", StringArray(names)}}, ExpectEmpty, hr);
}

void Batch::SieveList(const std::string& user, std::vector<SieveScriptInfo>* scripts, HRESULT* hr) {
    Add(
        "sieveList", json{{"user", user}},
        [scripts](const json& result) {
            return ReadRows<SieveScriptInfo>(
                result,
                [](const json& row, SieveScriptInfo* info) {
                    const std::string* name = StringMember(row, "script");
                    const std::string* active = StringMember(row, "active");
                    if (name == nullptr || active == nullptr)
                        return false;
                    info->name = *name;
                    info->active = *active == "ACTIVE";
                    return true;
                },
                scripts);
        },
        hr);
}

void Batch::SieveGet(const std::string& user, const std::string& script, std::string* text,
                     HRESULT* hr) {
    if (Refused(script.empty(), hr))
        return;
    Add(
        "sieveGet", json{{"user", user}, {"scriptname", script}},
        [text](const json& result) -> HRESULT {
            if (!result.is_array() || result.size() != 1)
                return MAPI_E_CORRUPT_DATA;
            const std::string* s = StringMember(result[0], "sieve script");
            if (s == nullptr)
                return MAPI_E_CORRUPT_DATA;
            *text = *s;
            return S_OK;
        },
        hr);
}

void Batch::SievePut(const std::string& user, const std::string& script, const std::string& text,
                     bool activate, HRESULT* hr) {
    if (Refused(script.empty(), hr))
        return;
    json parameters{{"user", user}, {"scriptname", script}, {"file", text}};
    if (activate) // a boolean is a flag: present, even as false, means set
        parameters["activate"] = true;
    Add("sievePut", std::move(parameters), ExpectEmpty, hr);
    calls_.back().sieve_put = true;
}

void Batch::SieveActivate(const std::string& user, const std::string& script, HRESULT* hr) {
    if (Refused(script.empty(), hr))
        return;
    Add("sieveActivate", json{{"user", user}, {"scriptname", script}}, ExpectEmpty, hr);
}

void Batch::Search(const std::string& user, const std::vector<std::string>& query,
                   std::vector<MessageRef>* found, HRESULT* hr) {
    if (Refused(query.empty(), hr))
        return;
    Add(
        "search", json{{"user", user}, {"query", StringArray(query)}},
        [found](const json& result) {
            return ReadRows<MessageRef>(
                result,
                [](const json& row, MessageRef* ref) {
                    const std::string* guid = StringMember(row, "mailbox-guid");
                    if (guid == nullptr || !row.contains("uid"))
                        return false;
                    ref->mailbox_guid = *guid;
                    return ReadNumber(row["uid"], &ref->uid);
                },
                found);
        },
        hr);
}

void Batch::Expunge(const std::string& user, const std::vector<std::string>& query, HRESULT* hr) {
    if (Refused(query.empty(), hr))
        return;
    Add("expunge", json{{"user", user}, {"query", StringArray(query)}}, ExpectEmpty, hr);
}

void Batch::Save(const std::string& user, const std::string& mailbox, const std::string& message,
                 HRESULT* hr) {
    if (Refused(mailbox.empty(), hr))
        return;
    Add("save", json{{"user", user}, {"mailbox", mailbox}, {"file", message}}, ExpectEmpty, hr);
}

void Batch::Fetch(const std::string& user, const std::vector<std::string>& fields,
                  const std::vector<std::string>& query, std::vector<FetchedMessage>* messages,
                  HRESULT* hr) {
    if (Refused(fields.empty() || query.empty(), hr))
        return;
    Add(
        "fetch",
        json{{"user", user}, {"field", StringArray(fields)}, {"query", StringArray(query)}},
        [fields, messages](const json& result) {
            return ReadRows<FetchedMessage>(
                result,
                [&fields](const json& row, FetchedMessage* message) {
                    for (const std::string& field : fields) {
                        const std::string* value = StringMember(row, field.c_str());
                        if (value == nullptr)
                            return false;
                        message->emplace_back(field, *value);
                    }
                    return true;
                },
                messages);
        },
        hr);
}

void Batch::MailboxNameValid(const std::string& user, const std::string& mailbox, bool* valid,
                             HRESULT* hr) {
    if (Refused(mailbox.empty(), hr))
        return;
    // Exactly one name: more make 2.3.19's doveadm exit on the request.
    Add(
        "mailboxPath", json{{"user", user}, {"mailbox", json::array({mailbox})}},
        [valid](const json& result) -> HRESULT {
            if (!result.is_array() || result.size() > 1)
                return MAPI_E_CORRUPT_DATA;
            if (result.size() == 1 && StringMember(result[0], "path") == nullptr)
                return MAPI_E_CORRUPT_DATA;
            *valid = result.size() == 1;
            return S_OK;
        },
        hr);
}

// ---- Client ------------------------------------------------------------------------------

Client::Client(ClientOptions options) : options_(std::move(options)) {
    std::call_once(curl_initialised, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    authorization_ = "Authorization: X-Dovecot-API " + Base64(options_.api_key);
}

Client::~Client() {
    if (curl_ != nullptr)
        curl_easy_cleanup(static_cast<CURL*>(curl_));
}

HRESULT Client::Post(const std::string& body, std::string* answer) {
    if (curl_ == nullptr) {
        curl_ = curl_easy_init();
        if (curl_ == nullptr) {
            last_error_ = "curl_easy_init failed";
            return MAPI_E_NOT_ENOUGH_MEMORY;
        }
    }
    CURL* curl = static_cast<CURL*>(curl_);
    curl_easy_reset(curl);
    std::string url = options_.base_url + "/doveadm/v1";
    struct curl_slist* headers = nullptr;
    headers = curl_slist_append(headers, authorization_.c_str());
    headers = curl_slist_append(headers, "Content-Type: application/json");
    headers = curl_slist_append(headers, "Expect:");
    if (headers == nullptr) {
        last_error_ = "out of memory building the request";
        return MAPI_E_NOT_ENOUGH_MEMORY;
    }
    char curl_error[CURL_ERROR_SIZE] = "";
    answer->clear();
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, options_.connect_timeout_ms);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, options_.total_timeout_ms);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, answer);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, curl_error);
    CURLcode code = curl_easy_perform(curl);
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, nullptr);
    curl_slist_free_all(headers);
    if (code != CURLE_OK) {
        last_error_ = std::string("doveadm request to ") + url +
                      " failed: " + (curl_error[0] != '\0' ? curl_error : curl_easy_strerror(code));
        return MapCurlError(code);
    }
    HRESULT hr = MapHttpStatus(status);
    if (hr != S_OK) {
        last_error_ = "doveadm at " + url + " answered HTTP " + std::to_string(status);
        return hr;
    }
    return S_OK;
}

HRESULT Client::Execute(Batch& batch) {
    // Refused calls are answered here; the others go out in one POST, each
    // tagged with its place in the batch.
    std::vector<Batch::Call*> sent;
    for (Batch::Call& call : batch.calls_) {
        if (call.refused)
            *call.hr = MAPI_E_INVALID_PARAMETER;
        else
            sent.push_back(&call);
    }
    if (sent.empty())
        return S_OK;
    auto tag = [&](std::size_t j) { return "c" + std::to_string(sent[j] - batch.calls_.data()); };
    std::string answer;
    HRESULT hr = S_OK;
    try {
        json request = json::array();
        for (std::size_t j = 0; j < sent.size(); ++j)
            request.push_back(json::array({sent[j]->command, *sent[j]->parameters, tag(j)}));
        // Invalid UTF-8 in a name or a script is sent as U+FFFD rather than
        // refused: doveadm would refuse the whole POST.
        hr = Post(request.dump(-1, ' ', false, json::error_handler_t::replace), &answer);
    } catch (const std::bad_alloc&) {
        last_error_ = "out of memory building the request";
        hr = MAPI_E_NOT_ENOUGH_MEMORY;
    } catch (const json::exception& e) {
        last_error_ = std::string("cannot build the request: ") + e.what();
        hr = MAPI_E_CALL_FAILED;
    }
    if (hr == S_OK) {
        json reply = json::parse(answer, nullptr, false);
        if (reply.is_discarded() || !reply.is_array() || reply.size() != sent.size()) {
            last_error_ = "doveadm answered something other than one result per command";
            hr = MAPI_E_CORRUPT_DATA;
        } else {
            last_error_.clear();
            for (std::size_t j = 0; j < sent.size(); ++j) {
                Batch::Call& call = *sent[j];
                const json& item = reply[j];
                HRESULT call_hr = MAPI_E_CORRUPT_DATA;
                try {
                    if (item.is_array() && item.size() == 3 && item[0].is_string() &&
                        item[2] == tag(j)) {
                        const std::string& kind = item[0].get_ref<const std::string&>();
                        if (kind == "doveadmResponse") {
                            call_hr = call.read(item[1]);
                        } else if (kind == "error" && item[1].is_object()) {
                            const std::string* type = StringMember(item[1], "type");
                            int exit_code = 0;
                            auto code = item[1].find("exitCode");
                            if (code != item[1].end() && code->is_number_integer())
                                exit_code = code->get<int>();
                            call_hr = MapCommandError(type != nullptr ? *type : "", exit_code);
                            if (call.sieve_put && call_hr == MAPI_E_COLLISION)
                                call_hr = MAPI_E_BAD_VALUE;
                        }
                    }
                } catch (const std::bad_alloc&) {
                    call_hr = MAPI_E_NOT_ENOUGH_MEMORY;
                } catch (const json::exception&) {
                    call_hr = MAPI_E_CORRUPT_DATA;
                }
                *call.hr = call_hr;
            }
            return S_OK;
        }
    }
    for (Batch::Call* call : sent)
        *call->hr = hr;
    return hr;
}

HRESULT Client::One(Batch& batch, const HRESULT& hr) {
    HRESULT post = Execute(batch);
    return post != S_OK ? post : hr;
}

template <std::size_t N>
HRESULT Client::All(Batch& batch, const HRESULT (&hr)[N]) {
    HRESULT post = Execute(batch);
    if (post != S_OK)
        return post;
    for (HRESULT h : hr)
        if (h != S_OK)
            return h;
    return S_OK;
}

HRESULT Client::Users(std::vector<std::string>* users) {
    Batch b;
    HRESULT hr = S_OK;
    b.Users(users, &hr);
    return One(b, hr);
}

HRESULT Client::MailboxList(const std::string& user, std::vector<std::string>* names) {
    Batch b;
    HRESULT hr = S_OK;
    b.MailboxList(user, {}, names, &hr);
    return One(b, hr);
}

HRESULT Client::MailboxStatus(const std::string& user, const std::vector<std::string>& masks,
                              std::vector<MailboxStatusInfo>* status) {
    Batch b;
    HRESULT hr = S_OK;
    b.MailboxStatus(user, masks, status, &hr);
    return One(b, hr);
}

HRESULT Client::MailboxCreate(const std::string& user, const std::string& name) {
    Batch b;
    HRESULT hr = S_OK;
    b.MailboxCreate(user, {name}, &hr);
    return One(b, hr);
}

HRESULT Client::SieveList(const std::string& user, std::vector<SieveScriptInfo>* scripts) {
    Batch b;
    HRESULT hr = S_OK;
    b.SieveList(user, scripts, &hr);
    return One(b, hr);
}

HRESULT Client::SieveGet(const std::string& user, const std::string& script, std::string* text) {
    Batch b;
    HRESULT hr = S_OK;
    b.SieveGet(user, script, text, &hr);
    return One(b, hr);
}

HRESULT Client::SievePut(const std::string& user, const std::string& script,
                         const std::string& text, bool activate) {
    Batch b;
    HRESULT hr = S_OK;
    b.SievePut(user, script, text, activate, &hr);
    return One(b, hr);
}

HRESULT Client::SieveActivate(const std::string& user, const std::string& script) {
    Batch b;
    HRESULT hr = S_OK;
    b.SieveActivate(user, script, &hr);
    return One(b, hr);
}

HRESULT Client::Search(const std::string& user, const std::vector<std::string>& query,
                       std::vector<MessageRef>* found) {
    Batch b;
    HRESULT hr = S_OK;
    b.Search(user, query, found, &hr);
    return One(b, hr);
}

HRESULT Client::Expunge(const std::string& user, const std::vector<std::string>& query) {
    Batch b;
    HRESULT hr = S_OK;
    b.Expunge(user, query, &hr);
    return One(b, hr);
}

HRESULT Client::Save(const std::string& user, const std::string& mailbox,
                     const std::string& message) {
    Batch b;
    HRESULT hr = S_OK;
    b.Save(user, mailbox, message, &hr);
    return One(b, hr);
}

HRESULT Client::Fetch(const std::string& user, const std::vector<std::string>& fields,
                      const std::vector<std::string>& query,
                      std::vector<FetchedMessage>* messages) {
    Batch b;
    HRESULT hr = S_OK;
    b.Fetch(user, fields, query, messages, &hr);
    return One(b, hr);
}

HRESULT Client::Namespace(const std::string& user, const std::vector<std::string>* flat_names,
                          MailboxNamespace* ns) {
    // A name no user has: only its resolving matters, nothing is created.
    static const std::string probe = "sortwell-namespace-probe";
    NamespaceEvidence evidence;
    // The listings and the bare name first: where a bare name resolves (the
    // usual layout, no prefix) the INBOX probes decide nothing, so they are
    // asked only where it does not. Each command costs the server a user
    // lookup, and a first pass makes this POST for every user.
    Batch b;
    HRESULT hr[3] = {S_OK, S_OK, S_OK};
    if (flat_names != nullptr) {
        evidence.all = evidence.top = *flat_names;
    } else {
        b.MailboxList(user, {"*"}, &evidence.all, &hr[0]);
        b.MailboxList(user, {"%"}, &evidence.top, &hr[1]);
    }
    b.MailboxNameValid(user, probe, &evidence.bare_name_valid, &hr[2]);
    HRESULT failed = All(b, hr);
    if (failed == S_OK && !evidence.bare_name_valid) {
        Batch inbox;
        HRESULT inbox_hr[2] = {S_OK, S_OK};
        inbox.MailboxNameValid(user, "INBOX." + probe, &evidence.inbox_dot_valid, &inbox_hr[0]);
        inbox.MailboxNameValid(user, "INBOX/" + probe, &evidence.inbox_slash_valid, &inbox_hr[1]);
        failed = All(inbox, inbox_hr);
    }
    if (failed != S_OK)
        return failed;
    if (!InferNamespace(evidence, ns)) {
        last_error_ =
            "the inbox namespace of " + user + " has a prefix other than INBOX. or INBOX/";
        return MAPI_E_NO_SUPPORT;
    }
    return S_OK;
}

} // namespace dovecot
