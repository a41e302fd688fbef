// The expunge of old spam and the maintenance report.
#include <cstdint>
#include <new>
#include <string>

#include "mailstore/mailbox_ops.h"
#include "mailstore/mailbox_ops_text.h"
#include "mailstore/mapitags.h"
#include "mailstore/mapix.h"
#include "runtime/vtxpr_strings.h"
#include "runtime/vtxpr_time.h"

using mailbox_ops::ToAnsi;

namespace {

// 100-nanosecond units from 1 January 1601 to 1 January 1970.
constexpr std::int64_t kUnixEpochAsFileTime = 116444736000000000ll;
// The report body's buffer, in wide characters, and the formatter's limit.
constexpr std::size_t kReportChars = 256;
constexpr std::size_t kReportLimit = 255;

// Sets one 8-bit string property; the result does not matter to the report.
void SetText(LPMESSAGE message, ULONG tag, const char* text) {
    SPropValue value{};
    value.ulPropTag = tag;
    // The property structure has no const; the store only reads the text.
    value.Value.lpszA = const_cast<LPSTR>(text);
    HrSetOneProp(message, &value);
}

// Saves a report message in the folder. A failed CreateMessage skips the
// report; after any later failure the remaining steps still run, so that as
// much of the report as possible reaches the folder.
void WriteReport(LPMAPIFOLDER folder, ULONG deleted, ULONG failed) {
    LPMESSAGE message = nullptr;
    if (FAILED(folder->CreateMessage(nullptr, MAPI_DEFERRED_ERRORS, &message)) ||
        message == nullptr)
        return;
    char16_t body[kReportChars] = {};
    VTXPR_Snprintf(body, kReportLimit, MAILBOX_OPS_REPORT_BODY, static_cast<int>(deleted),
                   static_cast<int>(failed));
    try {
        std::string text = ToAnsi(body);
        SetText(message, PR_BODY, text.c_str());
    } catch (const std::bad_alloc&) {
        // The body is lost; the subject and the save still go ahead.
    }
    SetText(message, PR_SUBJECT, MAILBOX_OPS_REPORT_SUBJECT);
    message->SaveChanges(KEEP_OPEN_READWRITE);
    message->Release();
}

HRESULT ExpungeSteps(LPMAPIFOLDER folder, ULONG retention_days, ULONG report_threshold,
                     LPMAPITABLE* table, LPSRowSet* rows) {
    HRESULT hr = folder->GetContentsTable(0, table);
    if (FAILED(hr))
        return hr;
    SizedSPropTagArray<2> columns = {2, {PR_ENTRYID, PR_MESSAGE_DELIVERY_TIME}};
    hr = (*table)->SetColumns(columns.get(), 0);
    if (FAILED(hr))
        return hr;

    const std::uint64_t cutoff = mapi_ExpungeCutoff(mapi_FileTimeNow(), retention_days);
    SPropValue limit{};
    limit.ulPropTag = PR_CREATION_TIME;
    limit.Value.ft.dwLowDateTime = static_cast<ULONG>(cutoff & 0xFFFFFFFFu);
    limit.Value.ft.dwHighDateTime = static_cast<ULONG>(cutoff >> 32);
    SRestriction older{};
    older.rt = RES_PROPERTY;
    older.res.resProperty.relop = RELOP_LT;
    older.res.resProperty.ulPropTag = PR_MESSAGE_DELIVERY_TIME;
    older.res.resProperty.lpProp = &limit;
    hr = (*table)->Restrict(&older, 0);
    if (FAILED(hr))
        return hr;

    ULONG total = 0;
    hr = (*table)->GetRowCount(0, &total);
    if (FAILED(hr) || total == 0)
        return hr;

    // Every matching row is asked for at once.
    const LONG batch = total > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<LONG>(total);
    hr = (*table)->QueryRows(batch, 0, rows);
    if (FAILED(hr))
        return hr;
    ULONG failed = 0;
    while (*rows != nullptr && (*rows)->cRows > 0) {
        for (ULONG i = 0; i < (*rows)->cRows; ++i) {
            const SRow& row = (*rows)->aRow[i];
            LPSPropValue id = PpropFindProp(row.lpProps, row.cValues, PR_ENTRYID);
            // A row without an entry identifier names nothing that could be
            // deleted: it counts as a failed deletion.
            if (id == nullptr) {
                ++failed;
                continue;
            }
            SBinary entry = id->Value.bin;
            ENTRYLIST one = {1, &entry};
            if (FAILED(folder->DeleteMessages(&one, 0, nullptr, 0)))
                ++failed;
        }
        FreeProws(*rows);
        *rows = nullptr;
        hr = (*table)->QueryRows(batch, 0, rows);
        if (FAILED(hr))
            return hr;
    }

    if (report_threshold != 0 && total >= report_threshold)
        WriteReport(folder, total >= failed ? total - failed : 0, failed);
    return S_OK;
}

} // namespace

std::uint64_t mapi_ExpungeCutoff(std::uint64_t now, ULONG retention_days) {
    if (retention_days > now / MAILBOX_OPS_RETENTION_UNITS_PER_DAY)
        return 0;
    return now - retention_days * MAILBOX_OPS_RETENTION_UNITS_PER_DAY;
}

std::uint64_t mapi_FileTimeNow() {
    // Nanoseconds since 1970 in 64 bits reach back only to 1677, so the sum
    // is never negative.
    return static_cast<std::uint64_t>(VTXPR_TimeNs() / 100 + kUnixEpochAsFileTime);
}

HRESULT mapi_ExpungeItems(LPMAPIFOLDER folder, ULONG retention_days, ULONG report_threshold) {
    if (folder == nullptr)
        return E_INVALIDARG;
    LPMAPITABLE table = nullptr;
    LPSRowSet rows = nullptr;
    HRESULT hr;
    try {
        hr = ExpungeSteps(folder, retention_days, report_threshold, &table, &rows);
    } catch (const std::bad_alloc&) {
        hr = MAPI_E_NOT_ENOUGH_MEMORY;
    }
    UlRelease(table);
    FreeProws(rows);
    return hr;
}
