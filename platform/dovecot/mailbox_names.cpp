#include "platform/dovecot/mailbox_names.h"

#include <algorithm>

#include "runtime/vtx_str.h"

namespace dovecot {
namespace {

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+,";

int Base64Value(char c) {
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == ',')
        return 63;
    return -1;
}

bool IsDirect(char16_t c) {
    return c >= 0x20 && c <= 0x7E && c != '&';
}

} // namespace

std::string Utf8ToMutf7(std::string_view utf8) {
    std::u16string units = VTX_FromUtf8(utf8);
    std::string out;
    out.reserve(utf8.size() + 8);
    std::size_t i = 0;
    while (i < units.size()) {
        char16_t c = units[i];
        if (c == '&') {
            out += "&-";
            ++i;
            continue;
        }
        if (IsDirect(c)) {
            out += static_cast<char>(c);
            ++i;
            continue;
        }
        out += '&';
        std::uint32_t bits = 0;
        int count = 0;
        for (; i < units.size() && !IsDirect(units[i]) && units[i] != '&'; ++i) {
            bits = (bits << 16) | units[i];
            count += 16;
            while (count >= 6) {
                count -= 6;
                out += kBase64[(bits >> count) & 0x3F];
            }
            bits &= (1u << count) - 1;
        }
        if (count > 0)
            out += kBase64[(bits << (6 - count)) & 0x3F];
        out += '-';
    }
    return out;
}

bool Mutf7ToUtf8(std::string_view mutf7, std::string* utf8) {
    std::u16string units;
    std::size_t i = 0;
    while (i < mutf7.size()) {
        char c = mutf7[i];
        if (c < 0x20 || c > 0x7E)
            return false;
        if (c != '&') {
            units += static_cast<char16_t>(c);
            ++i;
            continue;
        }
        ++i;
        std::size_t close = mutf7.find('-', i);
        if (close == std::string_view::npos)
            return false;
        if (close == i) { // "&-"
            units += u'&';
            i = close + 1;
            continue;
        }
        std::uint32_t bits = 0;
        int count = 0;
        std::size_t start = units.size();
        for (; i < close; ++i) {
            int v = Base64Value(mutf7[i]);
            if (v < 0)
                return false;
            bits = (bits << 6) | static_cast<std::uint32_t>(v);
            count += 6;
            if (count >= 16) {
                count -= 16;
                units += static_cast<char16_t>((bits >> count) & 0xFFFF);
                bits &= (1u << count) - 1;
            }
        }
        // Fewer than 6 bits may be left, and they must be zero.
        if (count >= 6 || bits != 0 || units.size() == start)
            return false;
        i = close + 1;
    }
    // Surrogates must pair up.
    for (std::size_t k = 0; k < units.size(); ++k) {
        char16_t u = units[k];
        if (u >= 0xD800 && u <= 0xDBFF) {
            if (k + 1 >= units.size() || units[k + 1] < 0xDC00 || units[k + 1] > 0xDFFF)
                return false;
            ++k;
        } else if (u >= 0xDC00 && u <= 0xDFFF) {
            return false;
        }
    }
    *utf8 = VTX_ToUtf8(units);
    return true;
}

std::vector<std::string> MailboxNamespace::Split(std::string_view name) const {
    if (name == "INBOX")
        return {"INBOX"};
    if (prefix.empty() || name.substr(0, prefix.size()) != prefix) {
        if (!prefix.empty())
            return {std::string(name)};
    } else {
        name.remove_prefix(prefix.size());
    }
    std::vector<std::string> parts;
    if (separator == '\0')
        return {std::string(name)};
    std::size_t start = 0;
    for (;;) {
        std::size_t at = name.find(separator, start);
        parts.emplace_back(name.substr(start, at - start));
        if (at == std::string_view::npos)
            break;
        start = at + 1;
    }
    return parts;
}

bool InferNamespace(const NamespaceEvidence& evidence, MailboxNamespace* out) {
    auto listed_on_top = [&](const std::string& name) {
        return std::find(evidence.top.begin(), evidence.top.end(), name) != evidence.top.end();
    };
    // The separator between a nested name and its closest listed parent.
    char separator = '\0';
    for (const std::string& name : evidence.all) {
        if (listed_on_top(name))
            continue;
        std::size_t best = 0;
        for (const std::string& parent : evidence.all)
            if (parent.size() < name.size() && parent.size() > best &&
                name.compare(0, parent.size(), parent) == 0)
                best = parent.size();
        if (best > 0) {
            separator = name[best];
            break;
        }
    }
    MailboxNamespace ns;
    if (evidence.bare_name_valid) {
        ns.separator = separator;
    } else if (separator != '\0' &&
               std::any_of(evidence.all.begin(), evidence.all.end(), [&](const std::string& n) {
                   return n.size() > 6 && n.compare(0, 5, "INBOX") == 0 && n[5] == separator;
               })) {
        ns.prefix = std::string("INBOX") + separator;
        ns.separator = separator;
    } else if (evidence.inbox_dot_valid) {
        ns.prefix = "INBOX.";
        ns.separator = '.';
    } else if (evidence.inbox_slash_valid) {
        ns.prefix = "INBOX/";
        ns.separator = '/';
    } else {
        return false;
    }
    *out = std::move(ns);
    return true;
}

} // namespace dovecot
