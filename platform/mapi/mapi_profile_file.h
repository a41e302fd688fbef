// The profile file: where profiles, their message services and their
// sections live between runs.
//
// Location: the file named by the environment variable SORTWELL_PROFILES,
// or /var/lib/sortwell/profiles when it is unset or empty. Beside it live
// "<file>.lock" (taken with flock to serialise changes between processes and
// threads) and, after a corrupt file was replaced, "<file>.corrupt".
//
// Every change reads the file under the exclusive lock, applies the change,
// writes a temporary file in the same directory, flushes it to disk and
// renames it over the file, so a reader sees either the old or the new file
// and never a half-written one, a killed process leaves the last complete
// file behind, and two processes changing profiles at once never lose each
// other's changes. Readers take no lock.
//
// A missing file reads as no profiles. A file that cannot be read or written
// gives MAPI_E_NO_ACCESS (permissions, read-only file system),
// MAPI_E_NOT_ENOUGH_DISK (no space) or MAPI_E_DISK_ERROR (anything else).
// A corrupt file is reported with one line on standard error naming it, is
// treated as empty, and is kept aside as "<file>.corrupt" when the next
// change replaces it.
//
// Each profile remembers the process that created it (its pid, the pid's
// start time in /proc/<pid>/stat and the boot id), and every CreateProfile
// first drops the profiles whose creator no longer runs. A process killed
// before it could delete its temporary profile thus leaves it behind only
// until the next profile is made, so profiles with a new name at every
// start cannot pile up. The start time and the boot id keep a reused pid,
// or the same pid after a reboot, from passing for the creator. Profiles
// without an owner (written by older versions, or by hand) and profiles
// whose creator cannot be examined are kept. Likewise a temporary file left
// by a process killed while it wrote the file is removed by the next change.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/mapi/mapi_internal.h"

namespace mapi_detail {

// One stored property. Strings keep whether they were a null pointer.
struct StoredProp {
    ULONG tag = 0;
    bool null_string = false;
    std::uint64_t number = 0; // scalar types, bit for bit
    std::string text;         // PT_STRING8 (UTF-8 bytes)
    std::u16string wide;      // PT_UNICODE
    std::vector<BYTE> bytes;  // PT_BINARY, PT_CLSID
};

struct StoredService {
    MAPIUID uid{};
    std::string name;
    std::string display_name;
    bool configured = false;
};

struct StoredSection {
    MAPIUID uid{};
    std::vector<StoredProp> props;
};

// The process that created a profile.
struct ProfileOwner {
    bool known = false;
    long pid = 0;
    std::uint64_t start_ticks = 0; // field 22 of /proc/<pid>/stat
    std::string boot_id;           // empty when the kernel did not say
};

struct StoredProfile {
    std::string name;
    std::vector<StoredService> services;
    std::vector<StoredSection> sections;
    ProfileOwner owner;

    StoredSection* FindSection(const MAPIUID& uid);
    StoredSection& Section(const MAPIUID& uid); // created when missing
    StoredService* FindService(const MAPIUID& uid);
};

struct ProfileSet {
    std::vector<StoredProfile> profiles;
    // The first profile whose name equals `name` ignoring case.
    StoredProfile* Find(std::string_view name);
};

// The path of the profile file now: SORTWELL_PROFILES, else
// /var/lib/sortwell/profiles. Missing directories are made for a file that
// SORTWELL_PROFILES names; the default one's directory is the package's, and
// without it the update fails with MAPI_E_DISK_ERROR and a line on
// standard error.
std::string ProfileFilePath();
// Reads the current profiles.
HRESULT ReadProfiles(ProfileSet* out);
// Reads under the exclusive lock, calls `change`, and writes the result when
// `change` succeeds; the result is `change`'s or the write's.
HRESULT UpdateProfiles(const std::function<HRESULT(ProfileSet&)>& change);

// Conversions between stored properties and property values.
HRESULT StoreProp(const SPropValue& value, StoredProp* out);
// Copies `props` into one MAPIAllocateBuffer array.
HRESULT PropsToValues(const std::vector<StoredProp>& props, ULONG* count, LPSPropValue* values);
// Replaces properties of the same tag (same id) and appends the others.
void MergeProps(std::vector<StoredProp>& into, const std::vector<StoredProp>& from);

// The calling process as a profile owner; `known` is false when /proc does
// not tell its start time.
ProfileOwner CurrentOwner();
// True only when the owner is known and certainly no longer runs: another
// boot, no such pid, or a pid that started at another time.
bool OwnerGone(const ProfileOwner& owner);
// Drops the profiles whose owner is gone; returns how many.
std::size_t DropOrphanedProfiles(ProfileSet& set);

bool SameUid(const MAPIUID& a, const MAPIUID& b);
MAPIUID NewUid();

} // namespace mapi_detail
