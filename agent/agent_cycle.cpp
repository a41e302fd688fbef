// The cycle of passes and the daily maintenance window.
#include "agent/agent_controller.h"

#include "agent/pass_status.h"
#include "log/xal_log.h"
#include "platform/win32/named_event.h"
#include "runtime/vtxpr_time.h"

#include <cstdio>
#include <cstring>
#include <new>

namespace {

constexpr int MSG_OVERRUN = 28015; // "The operation took too long ... (%ld seconds) ..."
constexpr int MSG_MAINTENANCE_STARTING = 28018; // "Maintenance Starting."
constexpr int MSG_MAINTENANCE_COMPLETE = 28019; // "Maintenance Complete."

// The current local hour, 0-23, or -1 when local time cannot be had; the
// window checks then leave the state alone until the next pass.
int LocalHour() {
    VTXPR_TM now{};
    if (VTXPR_LocalTime(VTXPR_Time(), &now) != 0 || now.tm_hour < 0 || now.tm_hour > 23) {
        return -1;
    }
    return now.tm_hour;
}

// Totals over the process's life; only the cycle's thread touches them.
pass_totals g_totals;

// Tells the operator how the pass went: the service's status line and the
// metrics file. A metrics file that cannot be written is said once on
// standard error (the journal, under systemd) and otherwise passed over: it
// is information for monitoring, not part of the agent's job.
void PublishPass(base_controller& controller, const pass_summary& pass) {
    g_totals.passes += 1;
    g_totals.maintenance_passes += pass.maintenance ? 1 : 0;
    g_totals.mailboxes_queued += pass.queued;
    g_totals.mailboxes_done += pass.done;
    g_totals.mailboxes_failed += pass.failed;

    // The file first: whoever reads the status line finds the file current.
    static bool warned = false;
    try {
        const std::string path = pass_metrics_path();
        if (!path.empty()) {
            const int error =
                pass_metrics_write(path, pass_metrics_text(pass, g_totals, VTXPR_Time()));
            if (error != 0 && !warned) {
                warned = true;
                std::fprintf(stderr, "sortwell: cannot write the metrics file %s: %s\n",
                             path.c_str(), std::strerror(error));
            }
        }
    } catch (const std::bad_alloc&) {
    }

    char16_t line[256];
    pass_status_line(pass, line, sizeof line / sizeof line[0]);
    controller.report_status_text(line);
}

} // namespace

bool maintenance_window_open(std::uint32_t begin, std::uint32_t end, std::uint32_t hour) {
    if (end > begin) {
        return begin <= hour && hour < end;
    }
    if (end < begin) {
        return hour >= begin || hour < end;
    }
    return false;
}

bool maintenance_window_passed(std::uint32_t begin, std::uint32_t end, std::uint32_t hour) {
    if (end < begin) {
        return end < hour && hour < begin;
    }
    if (end > begin) {
        return hour < begin || hour > end;
    }
    return false;
}

void maintenance_start_check(mailbox_engine* engine, const agent_settings& settings,
                             std::uint32_t hour) {
    if (engine->maintenance_state.load() != MAINTENANCE_IDLE) {
        return;
    }
    if (maintenance_window_open(settings.maintenance_begin, settings.maintenance_end, hour)) {
        xal_log_message(XAL_LOG_NOTICE, MSG_MAINTENANCE_STARTING);
        engine->maintenance_state.store(MAINTENANCE_DUE);
    }
}

void maintenance_end_check(mailbox_engine* engine, const agent_settings& settings,
                           std::uint32_t hour) {
    if (engine->maintenance_state.load() == MAINTENANCE_DUE) {
        xal_log_message(XAL_LOG_NOTICE, MSG_MAINTENANCE_COMPLETE);
        engine->maintenance_state.store(MAINTENANCE_DONE);
    }
    if (engine->maintenance_state.load() == MAINTENANCE_DONE &&
        maintenance_window_passed(settings.maintenance_begin, settings.maintenance_end, hour)) {
        engine->maintenance_state.store(MAINTENANCE_IDLE);
    }
}

std::int32_t agent_controller::run(std::int32_t argc, char16_t** argv) {
    std::uint32_t pass_number = 0;
    begin_running();
    if (stop_flag.load() != 0) {
        return 0;
    }
    for (;;) {
        int hour = LocalHour();
        if (hour >= 0) {
            maintenance_start_check(engine, settings, static_cast<std::uint32_t>(hour));
        }
        const std::int64_t pass_start = VTXPR_TimeNs();
        const bool maintenance_pass = engine->maintenance_state.load() == MAINTENANCE_DUE;
        std::uint32_t waited = engine->run_pass(stop_flag, reconfigure_flag, pass_number,
                                                remove_flag, settings.maintenance_only);
        // The pass ended with its last mailbox, not with the poll that saw it.
        const bool finished = engine->completed.load() == engine->last_queued;
        const std::int64_t pass_end = finished && engine->last_done_ns.load() > pass_start
                                          ? engine->last_done_ns.load()
                                          : VTXPR_TimeNs();
        hour = LocalHour();
        if (hour >= 0) {
            maintenance_end_check(engine, settings, static_cast<std::uint32_t>(hour));
        }
        ++pass_number;
        pass_summary summary;
        summary.pass_number = pass_number;
        summary.queued = engine->last_queued;
        summary.done = engine->completed.load();
        summary.failed = engine->failed.load();
        summary.maintenance_failed = engine->maintenance_failed.load();
        summary.elapsed_ns = pass_end - pass_start;
        // A remove pass expunges nothing unless it is maintenance-only.
        summary.maintenance =
            maintenance_pass && (remove_flag == 0 || settings.maintenance_only != 0);
        summary.remove = remove_flag != 0 && settings.maintenance_only == 0;
        summary.maintenance_only = settings.maintenance_only != 0;
        PublishPass(*this, summary);

        if (once_flag != 0) {
            // Whoever created the event learns that the pass is over.
            if (remove_event != nullptr) {
                SetEvent(remove_event);
            }
            return 0;
        }

        if (stop_flag.load() == 0) {
            if (reconfigure_flag.load() == 0 && waited > settings.interval) {
                xal_log_message(XAL_LOG_WARNING, MSG_OVERRUN, waited);
            }
            while (stop_flag.load() == 0 && reconfigure_flag.load() == 0 &&
                   waited < settings.interval) {
                VTXPR_Sleep(1.0);
                ++waited;
            }
        }

        if (reconfigure_flag.load() != 0) {
            uninitialize();
            reconfigure_flag.store(0);
            stop_flag.store(0);
            if (initialize(argc, argv) != 0) {
                stop_flag.store(1);
            }
        }
        if (stop_flag.load() != 0) {
            return 0;
        }
    }
}
