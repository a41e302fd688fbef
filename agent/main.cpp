// The program's entry: the arguments arrive as UTF-8 and go on as UTF-16.
#include "agent/agent_entry.h"
#include "runtime/vtx_str.h"

#include <cstdio>
#include <new>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    std::vector<std::u16string> texts;
    std::vector<char16_t*> wide;
    try {
        texts.reserve(static_cast<std::size_t>(argc));
        for (int i = 0; i < argc; ++i) {
            texts.push_back(VTX_FromUtf8(argv[i]));
        }
        for (std::u16string& text : texts) {
            wide.push_back(text.data());
        }
        wide.push_back(nullptr);
    } catch (const std::bad_alloc&) {
        std::fputs("out of memory\n", stderr);
        return 1;
    }
    return agent_wmain(argc, wide.data());
}
