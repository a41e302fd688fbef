// Files and folders of a test: whole-file reads and writes, a temporary
// folder removed at the end, waiting for a condition or a text, and the
// process's standard error captured.
#pragma once
#include <functional>
#include <string>

namespace swtest {

// The whole file ("" when it cannot be read).
std::string ReadFile(const std::string& path);
// Replaces the file with exactly `bytes`.
void WriteFile(const std::string& path, const std::string& bytes);

// How often `needle` occurs in `text` (occurrences do not overlap).
int CountOf(const std::string& text, const std::string& needle);

// Polls `condition` every 10 ms for up to `timeout_ms`; true once it holds.
bool WaitUntil(const std::function<bool()>& condition, int timeout_ms);
// Waits until the file at `path` contains `needle`.
bool WaitForText(const std::string& path, const std::string& needle, int timeout_ms);

// A fresh folder under /tmp, removed with everything in it at the end (by
// the process that made it, not by a forked child that exits). A folder
// that cannot be made fails the test.
class TempDir {
public:
    explicit TempDir(const std::string& prefix = "swtest");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    std::string operator/(const std::string& name) const { return file(name); }

private:
    std::string path_;
    int owner_ = 0; // the process that made the folder
};

// Everything written to file descriptor 2 while the object lives (or until
// Text() is called), kept in the file at `path`.
class CapturedStderr {
public:
    explicit CapturedStderr(const std::string& path);
    ~CapturedStderr();
    CapturedStderr(const CapturedStderr&) = delete;
    CapturedStderr& operator=(const CapturedStderr&) = delete;
    // Stops capturing and returns what was written.
    std::string Text();

private:
    void Restore();
    std::string path_;
    int saved_ = -1;
};

} // namespace swtest
