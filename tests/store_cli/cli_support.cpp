#include "tests/store_cli/cli_support.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>

namespace clitest {
namespace {

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream data;
    data << in.rdbuf();
    return data.str();
}

class Parser {
public:
    explicit Parser(const std::string& text) : s_(text) {}

    bool Document(Json* value, std::string* error) {
        Space();
        if (!Value(value, 0))
            return Fail(error);
        Space();
        if (i_ != s_.size()) {
            why_ = "text after the document";
            return Fail(error);
        }
        return true;
    }

private:
    bool Fail(std::string* error) {
        *error = why_ + " at offset " + std::to_string(i_);
        return false;
    }
    void Space() {
        while (i_ < s_.size() &&
               (s_[i_] == ' ' || s_[i_] == '\n' || s_[i_] == '\r' || s_[i_] == '\t'))
            ++i_;
    }
    bool Literal(const char* word) {
        std::string w = word;
        if (s_.compare(i_, w.size(), w) != 0)
            return false;
        i_ += w.size();
        return true;
    }
    bool Value(Json* v, int depth) {
        if (depth > 100 || i_ >= s_.size()) {
            why_ = "unexpected end";
            return false;
        }
        char c = s_[i_];
        if (c == '{')
            return ObjectValue(v, depth);
        if (c == '[')
            return ArrayValue(v, depth);
        if (c == '"') {
            v->kind = Json::String;
            return StringValue(&v->text);
        }
        if (Literal("true")) {
            v->kind = Json::Bool;
            v->boolean = true;
            return true;
        }
        if (Literal("false")) {
            v->kind = Json::Bool;
            return true;
        }
        if (Literal("null")) {
            v->kind = Json::Null;
            return true;
        }
        std::size_t start = i_;
        if (s_[i_] == '-')
            ++i_;
        while (i_ < s_.size() &&
               (std::isdigit(static_cast<unsigned char>(s_[i_])) || s_[i_] == '.' ||
                s_[i_] == 'e' || s_[i_] == 'E' || s_[i_] == '+' || s_[i_] == '-'))
            ++i_;
        if (i_ == start || (i_ == start + 1 && s_[start] == '-')) {
            why_ = "no value";
            return false;
        }
        v->kind = Json::Number;
        v->number = std::strtod(s_.substr(start, i_ - start).c_str(), nullptr);
        v->text = s_.substr(start, i_ - start);
        return true;
    }
    bool StringValue(std::string* out) {
        ++i_; // the quote
        while (i_ < s_.size()) {
            unsigned char c = static_cast<unsigned char>(s_[i_++]);
            if (c == '"')
                return true;
            if (c < 0x20) {
                why_ = "control character in a string";
                return false;
            }
            if (c != '\\') {
                out->push_back(static_cast<char>(c));
                continue;
            }
            if (i_ >= s_.size())
                break;
            char e = s_[i_++];
            switch (e) {
            case '"':
            case '\\':
            case '/':
                out->push_back(e);
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
                if (i_ + 4 > s_.size()) {
                    why_ = "short escape";
                    return false;
                }
                unsigned code = static_cast<unsigned>(std::stoul(s_.substr(i_, 4), nullptr, 16));
                i_ += 4;
                if (code < 0x80) {
                    out->push_back(static_cast<char>(code));
                } else if (code < 0x800) {
                    out->push_back(static_cast<char>(0xC0 | (code >> 6)));
                    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
                } else {
                    out->push_back(static_cast<char>(0xE0 | (code >> 12)));
                    out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
                    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
                }
                break;
            }
            default:
                why_ = "bad escape";
                return false;
            }
        }
        why_ = "unterminated string";
        return false;
    }
    bool ArrayValue(Json* v, int depth) {
        v->kind = Json::Array;
        ++i_;
        Space();
        if (i_ < s_.size() && s_[i_] == ']') {
            ++i_;
            return true;
        }
        for (;;) {
            Space();
            v->items.emplace_back();
            if (!Value(&v->items.back(), depth + 1))
                return false;
            Space();
            if (i_ < s_.size() && s_[i_] == ',') {
                ++i_;
                continue;
            }
            if (i_ < s_.size() && s_[i_] == ']') {
                ++i_;
                return true;
            }
            why_ = "expected , or ]";
            return false;
        }
    }
    bool ObjectValue(Json* v, int depth) {
        v->kind = Json::Object;
        ++i_;
        Space();
        if (i_ < s_.size() && s_[i_] == '}') {
            ++i_;
            return true;
        }
        for (;;) {
            Space();
            std::string key;
            if (i_ >= s_.size() || s_[i_] != '"' || !StringValue(&key)) {
                why_ = "expected a key";
                return false;
            }
            Space();
            if (i_ >= s_.size() || s_[i_] != ':') {
                why_ = "expected :";
                return false;
            }
            ++i_;
            Space();
            if (!Value(&v->members[key], depth + 1))
                return false;
            Space();
            if (i_ < s_.size() && s_[i_] == ',') {
                ++i_;
                continue;
            }
            if (i_ < s_.size() && s_[i_] == '}') {
                ++i_;
                return true;
            }
            why_ = "expected , or }";
            return false;
        }
    }

    const std::string& s_;
    std::size_t i_ = 0;
    std::string why_;
};

} // namespace

std::string ScratchDir() {
    static const std::string dir = [] {
        std::string pattern = ::testing::TempDir() + "store_cli_tests.XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        return std::string(mkdtemp(name.data()) ? name.data() : "/tmp");
    }();
    return dir;
}

Result RunStore(const std::vector<std::string>& args, const std::string& store,
                const std::string& input) {
    static int counter = 0;
    std::string base = ScratchDir() + "/run" + std::to_string(++counter);
    std::string in_path = base + ".in", out_path = base + ".out", err_path = base + ".err";
    {
        std::ofstream in(in_path, std::ios::binary);
        in << input;
    }
    Result result;
    pid_t pid = fork();
    if (pid == 0) {
        int in = open(in_path.c_str(), O_RDONLY);
        int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (in < 0 || out < 0 || err < 0)
            _exit(127);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        if (store.empty())
            unsetenv("SORTWELL_INFOSTORE");
        else
            setenv("SORTWELL_INFOSTORE", store.c_str(), 1);
        std::vector<char*> argv;
        std::string program = SORTWELL_STORE_BIN;
        argv.push_back(program.data());
        std::vector<std::string> copies = args;
        for (std::string& a : copies)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status))
        result.status = WEXITSTATUS(status);
    result.out = Slurp(out_path);
    result.err = Slurp(err_path);
    for (const std::string& p : {in_path, out_path, err_path})
        unlink(p.c_str());
    return result;
}

const Json& Json::operator[](const std::string& key) const {
    static const Json kMissing;
    auto found = members.find(key);
    return found == members.end() ? kMissing : found->second;
}

const Json& Json::operator[](std::size_t index) const {
    static const Json kMissing;
    return index < items.size() ? items[index] : kMissing;
}

bool ParseJson(const std::string& text, Json* value, std::string* error) {
    *value = Json();
    Parser parser(text);
    return parser.Document(value, error);
}

} // namespace clitest
