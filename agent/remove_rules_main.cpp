// sortwell-remove-rules: asks the agent for one pass that removes its rule
// from every mailbox, and waits until that pass is over.
//
//   sortwell-remove-rules [--wait SECONDS] [COMMAND [ARGUMENT...]]
//
// It creates the remove-rules event, which the agent looks for whenever it
// initialises. With a command (normally the agent itself, `ovo`), it runs
// the command and then tells whether the pass finished. Without one it
// waits for an agent that starts or reloads meanwhile (for instance after
// `systemctl reload sortwell`), at most --wait seconds (0, the default,
// waits as long as it takes). Exit status: 0 when the pass is over, 1 when
// it did not finish, 2 when the request could not be made or the command
// line is wrong. --help and --version answer and exit 0.
#include "agent/agent_controller.h"
#include "platform/win32/named_event.h"
#include "platform/win32/sysinfo.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

namespace {

constexpr const char* kUsage =
    "Usage: sortwell-remove-rules [--wait SECONDS] [COMMAND [ARGUMENT...]]\n";

// `text` quoted for the shell.
std::string Quoted(const char* text) {
    std::string quoted = "'";
    for (const char* c = text; *c != '\0'; ++c) {
        if (*c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += *c;
        }
    }
    return quoted + "'";
}

int Run(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--help") == 0) {
        std::fputs(kUsage, stdout);
        std::fputs("Asks the Sortwell agent for one pass that removes its rule from every "
                   "mailbox,\nand waits until the pass is over: runs COMMAND (normally ovo), "
                   "or waits for\nthe service to start or reload, at most SECONDS (0: as long "
                   "as it takes).\nExit status: 0 the pass is over, 1 it did not finish, 2 the "
                   "request could not\nbe made.\n",
                   stdout);
        return 0;
    }
    if (argc > 1 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("sortwell-remove-rules %s\n", SORTWELL_VERSION);
        return 0;
    }
    int first = 1;
    unsigned long wait_seconds = 0;
    if (argc > 1 && std::strcmp(argv[1], "--wait") == 0) {
        char* end = nullptr;
        if (argc < 3 || argv[2][0] == '\0' || argv[2][0] == '-' ||
            (wait_seconds = std::strtoul(argv[2], &end, 10), *end != '\0') ||
            wait_seconds > 4000000) {
            std::fputs(kUsage, stderr);
            return 2;
        }
        first = 3;
    } else if (argc > 1 && argv[1][0] == '-') {
        std::fputs(kUsage, stderr);
        return 2;
    }

    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, AGENT_REMOVE_EVENT_NAME);
    if (event == nullptr || GetLastError() == ERROR_ALREADY_EXISTS) {
        if (event != nullptr || GetLastError() == ERROR_ACCESS_DENIED) {
            std::fputs("sortwell-remove-rules: another remove request is already waiting.\n",
                       stderr);
        } else {
            std::fprintf(stderr,
                         "sortwell-remove-rules: cannot create the remove-rules event (error "
                         "%u).\n",
                         static_cast<unsigned>(GetLastError()));
        }
        if (event != nullptr) {
            CloseHandle(event);
        }
        return 2;
    }

    int result = 0;
    if (first < argc) {
        std::string command;
        for (int i = first; i < argc; ++i) {
            command += (i == first ? "" : " ") + Quoted(argv[i]);
        }
        const int status = RunCommandLine(command.c_str());
        if (WaitForSingleObject(event, 0) == WAIT_OBJECT_0) {
            std::fputs("The remove pass is over.\n", stdout);
        } else if (status < 0) {
            std::fputs("sortwell-remove-rules: the command could not be run.\n", stderr);
            result = 1;
        } else {
            std::fprintf(stderr,
                         "sortwell-remove-rules: the command ended without a remove pass "
                         "(exit status %d).\n",
                         status);
            result = 1;
        }
    } else {
        std::fputs("Waiting for the agent's remove pass: start the agent, or reload the "
                   "service.\n",
                   stderr);
        const DWORD milliseconds =
            wait_seconds == 0 ? INFINITE : static_cast<DWORD>(wait_seconds * 1000);
        if (WaitForSingleObject(event, milliseconds) == WAIT_OBJECT_0) {
            std::fputs("The remove pass is over.\n", stdout);
        } else {
            std::fprintf(stderr,
                         "sortwell-remove-rules: no remove pass finished within %lu "
                         "seconds.\n",
                         wait_seconds);
            result = 1;
        }
    }
    CloseHandle(event);
    return result;
}

} // namespace

int main(int argc, char** argv) {
    try {
        return Run(argc, argv);
    } catch (const std::bad_alloc&) {
        std::fputs("sortwell-remove-rules: out of memory\n", stderr);
        return 2;
    }
}
