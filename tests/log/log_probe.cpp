// A small program that logs through the real logging entry, for tests that
// need a fresh process: the settings are read at its first message.
//   sortwell_log_probe ADDRESS
#include "log/xal_log.h"
#include "runtime/vtx_str.h"

#include <string>

int main(int argc, char** argv) {
    const std::u16string address = VTX_FromUtf8(argc > 1 ? argv[1] : "nobody@example.org");
    xal_log_message(XAL_LOG_NOTICE, 28018);
    xal_log_message(XAL_LOG_WARNING, 28007, address.c_str(), 0x80040111u);
    xal_log_message(XAL_LOG_DEBUG, 28022, u"a", u"b", u"c", 0u);
    return 0;
}
