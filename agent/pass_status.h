// What the agent tells its operator after every pass, beside the log: a
// one-line status for the service manager (`systemctl status sortwell`)
// and a small metrics file in the Prometheus text format for monitoring.
// Neither logs anything through the message catalogue.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// One pass as the cycle saw it.
struct pass_summary {
    std::uint32_t pass_number = 0;        // passes this process has run, this one included
    std::uint32_t queued = 0;             // mailboxes queued
    std::uint32_t done = 0;               // mailboxes finished (fewer after a stop)
    std::int64_t elapsed_ns = 0;          // from the start of the pass to its end
    bool maintenance = false;             // the pass expunged old spam
    bool remove = false;                  // a remove pass
    bool maintenance_only = false;        // rules left alone
    std::uint32_t failed = 0;             // of the mailboxes done, those whose processing failed
    std::uint32_t maintenance_failed = 0; // those whose spam folder was not cleaned
};

// Running totals over the process's life (they survive reloads).
struct pass_totals {
    std::uint64_t passes = 0;
    std::uint64_t maintenance_passes = 0;
    std::uint64_t mailboxes_done = 0;
    std::uint64_t mailboxes_queued = 0;
    std::uint64_t mailboxes_failed = 0;
};

// The status line, e.g. "Pass 3: 120 of 120 mailboxes done, 2 failed, in
// 2.4 s (maintenance, 1 not cleaned)", into `buffer` of `count` wide
// characters.
void pass_status_line(const pass_summary& pass, char16_t* buffer, std::size_t count);

// The metrics document for `pass` and `totals`.
std::string pass_metrics_text(const pass_summary& pass, const pass_totals& totals,
                              std::int64_t now_seconds);

// Where the metrics file goes: SORTWELL_METRICS_FILE when set (an empty
// value turns the file off), otherwise metrics.prom in the service's state
// directory when systemd gives one (STATE_DIRECTORY), otherwise nowhere.
std::string pass_metrics_path();

// Writes `text` to `path` atomically: a temporary file beside it, flushed
// and renamed over the old one, so a reader never sees half a document.
// 0, or the errno of the failure.
int pass_metrics_write(const std::string& path, const std::string& text);
