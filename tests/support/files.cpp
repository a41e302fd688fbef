#include "tests/support/files.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <unistd.h>
#include <vector>

namespace swtest {

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        ADD_FAILURE() << "cannot write " << path;
}

int CountOf(const std::string& text, const std::string& needle) {
    int count = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos && !needle.empty();
         at = text.find(needle, at + needle.size()))
        ++count;
    return count;
}

bool WaitUntil(const std::function<bool()>& condition, int timeout_ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (condition())
            return true;
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

bool WaitForText(const std::string& path, const std::string& needle, int timeout_ms) {
    return WaitUntil([&] { return ReadFile(path).find(needle) != std::string::npos; }, timeout_ms);
}

TempDir::TempDir(const std::string& prefix) : owner_(::getpid()) {
    std::string pattern = "/tmp/" + prefix + "-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (::mkdtemp(name.data()) == nullptr)
        ADD_FAILURE() << "mkdtemp " << pattern << ": " << std::strerror(errno);
    else
        path_ = name.data();
}

TempDir::~TempDir() {
    std::error_code ignored;
    if (!path_.empty() && ::getpid() == owner_)
        std::filesystem::remove_all(path_, ignored);
}

CapturedStderr::CapturedStderr(const std::string& path) : path_(path) {
    std::fflush(stderr);
    saved_ = ::dup(2);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (saved_ < 0 || fd < 0) {
        ADD_FAILURE() << "cannot capture standard error in " << path;
    } else {
        ::dup2(fd, 2);
    }
    if (fd >= 0)
        ::close(fd);
}

CapturedStderr::~CapturedStderr() {
    Restore();
}

std::string CapturedStderr::Text() {
    Restore();
    return ReadFile(path_);
}

void CapturedStderr::Restore() {
    if (saved_ < 0)
        return;
    std::fflush(stderr);
    ::dup2(saved_, 2);
    ::close(saved_);
    saved_ = -1;
}

} // namespace swtest
