#include "platform/win32/machine_name.h"

#include "runtime/vtx_str.h"

#include <string>
#include <unistd.h>

namespace {

bool EqualsIgnoringCase(const std::u16string& a, const std::u16string& b) {
    return VTX_WStrICmp(a.c_str(), b.c_str()) == 0;
}

} // namespace

bool Win32IsLocalMachineName(const char16_t* machine) {
    if (machine == nullptr) {
        return true;
    }
    std::u16string name(machine);
    if (name.size() >= 2 && name[0] == u'\\' && name[1] == u'\\') {
        name.erase(0, 2);
    }
    if (name.empty() || name == u"." || EqualsIgnoringCase(name, u"localhost")) {
        return true;
    }
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) != 0) {
        return false;
    }
    const std::u16string full = VTX_FromUtf8(host);
    if (EqualsIgnoringCase(name, full)) {
        return true;
    }
    const std::size_t dot = full.find(u'.');
    return dot != std::u16string::npos && EqualsIgnoringCase(name, full.substr(0, dot));
}
