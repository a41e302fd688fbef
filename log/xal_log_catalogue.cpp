// The catalogue's texts. Only the rows of the categories that this program
// writes to are carried; every other slot of the table is empty.
#include "log/xal_log_catalogue.h"

#include "log/xal_log_limits.h"

#include <array>

namespace {

struct CatalogueEntry {
    int id;
    const char16_t* text;
};

constexpr CatalogueEntry kTexts[] = {
    // 1: Generic
    {1003, u"Internal logging error.  Error code: %d."},
    // 2: Utilities
    {2066, u"Rename of log file failed with errno %d. Logs will continue to be written to the "
           u"file specified in the config."},
    {2067, u"Deletion of some or all of the old logs failed with errno %d. Undeleted files will "
           u"remain in the log directory."},
    // 10: Common
    {10009, u"Could not create new lock."},
    {10010, u"Could not create new thread."},
    {10013, u"Malloc error while attempting to allocate memory."},
    // 19: the service framework's control signals and its worker pool
    {19001, u"The new signal supercedes the previous signal; it will still be deferred until "
            u"server is fully operational."},
    {19002, u"The shutdown signal is deferred and will be acted on as soon as the server is "
            u"fully operational."},
    {19003, u"The shutdown signal supercedes the new signal; it will still be deferred until "
            u"server is fully operational."},
    {19004, u"Signal delivery deferred until server is fully operational."},
    {19011, u"The thread count is already %d, you cannot initialize the thread pool twice."},
    {19012, u"The thread count is still %d, error in killing thread pool."},
    // 28: Sortwell
    {28001, u"Error reading configuration from Windows registry: %s."},
    {28002, u"Unable to create MAPI profile for mailbox:\n%s\n(hr=%.08x)."},
    {28003, u"Unable to log on to mailbox:\n%s\n(hr=%.08x)."},
    {28004, u"Could not retrieve local server DN. The local machine may not be an Exchange "
            u"Server. (hr=%.08x)."},
    {28005, u"Internal Error: Unable to create %d worker threads."},
    {28006, u"Unable to log on to recipient's Mailbox:\n%s\n(hr=%.08x)."},
    {28007, u"Unable to open Mailbox:\n%s\n(hr=%.08x)."},
    {28008, u"Unable to open Rules Table for Mailbox:\n%s\n(hr=%.08x)."},
    {28009, u"Unable to enumerate Rules for Mailbox:\n%s\n(hr=%.08x)."},
    {28010, u"Problem encountered during folder creation. Could not open root folder for "
            u"Mailbox:\n%s\n(hr=%.08x)."},
    {28011, u"Problem encountered during folder creation. Could not create subfolder for "
            u"Mailbox:\n%s\n(hr=%.08x)."},
    {28012, u"Problem encountered during folder creation. Could not save newly created "
            u"subfolder for Mailbox:\n%s\n(hr=%.08x)."},
    {28013, u"Could not create rule for Mailbox:\n%s\n(hr=%.08x)."},
    {28014, u"Unable to open local mailbox store. (hr=%.08x)."},
    {28015, u"The operation took too long to complete (%ld seconds), so there will be no delay "
            u"before continuing. You may want to increase your Sortwell interval."},
    {28016, u"The maintenance operation took too long to complete (%ld seconds). You may want "
            u"to increase your maintenance window."},
    {28017, u"The maintenance window specificied is invalid. Using defaults."},
    {28018, u"Maintenance Starting."},
    {28019, u"Maintenance Complete."},
    {28020, u"Error during maintenance. Unable to determine Spam Folder for Mailbox:\n%s\n"
            u"(hr=%.08x)."},
    {28021, u"The Sortwell will be running in 'Maintenance Only Mode'."},
    {28022, u"verbose: (%s) made call to (%s) for data (%s) returned: (hr=%.08x)."},
    {28023, u"Unable to open inbox for Mailbox:\n%s\n(hr=%.08x)."},
};

// The flat table, built at compile time: slot N holds the text of id N.
constexpr auto kCatalogue = [] {
    std::array<const char16_t*, XAL_LOG_CATALOGUE_SIZE> table{};
    for (const CatalogueEntry& entry : kTexts) {
        table[static_cast<std::size_t>(entry.id)] = entry.text;
    }
    return table;
}();

} // namespace

const char16_t* xal_log_catalogue_text(int id) {
    if (id < 0 || id >= XAL_LOG_CATALOGUE_SIZE) {
        return nullptr;
    }
    return kCatalogue[static_cast<std::size_t>(id)];
}
