#include "agent/pass_status.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "runtime/vtxpr_strings.h"

void pass_status_line(const pass_summary& pass, char16_t* buffer, std::size_t count) {
    // Tenths of a second, rounded.
    const std::int64_t tenths = pass.elapsed_ns < 0 ? 0 : (pass.elapsed_ns + 50000000) / 100000000;
    const char16_t* kind = pass.remove             ? u"remove"
                           : pass.maintenance_only ? u"maintenance only"
                           : pass.maintenance      ? u"maintenance"
                                                   : nullptr;
    char16_t detail[64] = u"";
    if (kind != nullptr && !pass.remove && pass.maintenance_failed > 0) {
        VTXPR_Snprintf(detail, 64, u" (%s, %u not cleaned)", kind, pass.maintenance_failed);
    } else if (pass.maintenance_only && !pass.maintenance) {
        VTXPR_Snprintf(detail, 64, u" (%s, idle)", kind);
    } else if (kind != nullptr) {
        VTXPR_Snprintf(detail, 64, u" (%s)", kind);
    }
    VTXPR_Snprintf(buffer, count, u"Pass %u: %u of %u mailboxes done, %u failed, in %u.%u s%s",
                   pass.pass_number, pass.done, pass.queued, pass.failed,
                   static_cast<unsigned>(tenths / 10), static_cast<unsigned>(tenths % 10), detail);
}

std::string pass_metrics_text(const pass_summary& pass, const pass_totals& totals,
                              std::int64_t now_seconds) {
    std::string out;
    char line[256];
    auto add = [&](const char* name, const char* type, const char* help, double value) {
        std::snprintf(line, sizeof line, "# HELP %s %s\n# TYPE %s %s\n%s %.17g\n", name, help, name,
                      type, name, value);
        out += line;
    };
    add("sortwell_passes_total", "counter", "Passes run since the agent started.",
        static_cast<double>(totals.passes));
    add("sortwell_maintenance_passes_total", "counter",
        "Maintenance passes run since the agent started.",
        static_cast<double>(totals.maintenance_passes));
    add("sortwell_mailboxes_queued_total", "counter",
        "Mailboxes queued over all passes since the agent started.",
        static_cast<double>(totals.mailboxes_queued));
    add("sortwell_mailboxes_done_total", "counter",
        "Mailboxes finished over all passes since the agent started.",
        static_cast<double>(totals.mailboxes_done));
    add("sortwell_mailboxes_failed_total", "counter",
        "Mailboxes whose processing failed, over all passes since the agent started.",
        static_cast<double>(totals.mailboxes_failed));
    add("sortwell_last_pass_number", "gauge", "Number of the last pass (1 for the first).",
        pass.pass_number);
    add("sortwell_last_pass_mailboxes_queued", "gauge", "Mailboxes the last pass queued.",
        pass.queued);
    add("sortwell_last_pass_mailboxes_done", "gauge", "Mailboxes the last pass finished.",
        pass.done);
    add("sortwell_last_pass_mailboxes_failed", "gauge",
        "Mailboxes whose processing failed in the last pass (rule not repaired or removed).",
        pass.failed);
    add("sortwell_last_pass_maintenance_failed", "gauge",
        "Mailboxes whose spam folder the last maintenance could not find to clean.",
        pass.maintenance_failed);
    add("sortwell_last_pass_seconds", "gauge", "How long the last pass took.",
        static_cast<double>(pass.elapsed_ns) / 1e9);
    add("sortwell_last_pass_maintenance", "gauge", "1 when the last pass was a maintenance pass.",
        pass.maintenance ? 1 : 0);
    add("sortwell_last_pass_remove", "gauge", "1 when the last pass removed the rule.",
        pass.remove ? 1 : 0);
    add("sortwell_last_pass_end_timestamp_seconds", "gauge",
        "When the last pass ended, in seconds since 1970.", static_cast<double>(now_seconds));
    return out;
}

std::string pass_metrics_path() {
    if (const char* file = std::getenv("SORTWELL_METRICS_FILE"))
        return file;
    if (const char* state = std::getenv("STATE_DIRECTORY")) {
        std::string dir = state;
        // systemd may list several directories separated by colons.
        const std::size_t colon = dir.find(':');
        if (colon != std::string::npos)
            dir.resize(colon);
        if (!dir.empty())
            return dir + "/metrics.prom";
    }
    return std::string();
}

int pass_metrics_write(const std::string& path, const std::string& text) {
    const std::string temporary = path + ".tmp";
    std::FILE* file = std::fopen(temporary.c_str(), "w");
    if (file == nullptr)
        return errno;
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    int error = written ? 0 : errno;
    if (std::fclose(file) != 0 && error == 0)
        error = errno;
    if (error == 0 && std::rename(temporary.c_str(), path.c_str()) != 0)
        error = errno;
    if (error != 0)
        std::remove(temporary.c_str());
    return error;
}
