// The MAPI utility functions, and the interface identifiers.
#include <limits>
#include <new>
#include <vector>

#include "platform/mapi/mapi_internal.h"

namespace {
constexpr GUID MapiIid(std::uint32_t data1) {
    return GUID{data1, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
}
} // namespace

const IID IID_IUnknown = MapiIid(0x00000000);
const IID IID_IMAPISession = MapiIid(0x00020300);
const IID IID_IMAPITable = MapiIid(0x00020301);
const IID IID_IMAPIProp = MapiIid(0x00020303);
const IID IID_IProfSect = MapiIid(0x00020304);
const IID IID_IMsgStore = MapiIid(0x00020306);
const IID IID_IMessage = MapiIid(0x00020307);
const IID IID_IMAPIContainer = MapiIid(0x0002030B);
const IID IID_IMAPIFolder = MapiIid(0x0002030C);
const IID IID_IProfAdmin = MapiIid(0x0002031C);
const IID IID_IMsgServiceAdmin = MapiIid(0x0002031D);
const IID IID_IExchangeManageStore = {
    0x559D10B0, 0xA772, 0x11CD, {0x9B, 0xC8, 0x00, 0xAA, 0x00, 0x2F, 0xC4, 0x5A}};
const IID IID_IExchangeModifyTable = {
    0x2D734CB0, 0x53FD, 0x101B, {0xB1, 0x9D, 0x08, 0x00, 0x2B, 0x30, 0x56, 0xE3}};

const MAPIUID pbGlobalProfileSectionGuid = {{0x13, 0xDB, 0xB0, 0xC8, 0xAA, 0x05, 0x10, 0x1A, 0x9B,
                                             0xB0, 0x00, 0xAA, 0x00, 0x2F, 0xC4, 0x5A}};

void FreeProws(LPSRowSet rows) {
    if (rows == nullptr)
        return;
    for (ULONG i = 0; i < rows->cRows; ++i)
        MAPIFreeBuffer(rows->aRow[i].lpProps);
    MAPIFreeBuffer(rows);
}

LPSPropValue PpropFindProp(LPSPropValue values, ULONG count, ULONG tag) {
    if (values == nullptr)
        return nullptr;
    for (ULONG i = 0; i < count; ++i) {
        const ULONG have = values[i].ulPropTag;
        if (have == tag || (PROP_TYPE(tag) == PT_UNSPECIFIED && PROP_ID(have) == PROP_ID(tag)))
            return &values[i];
    }
    return nullptr;
}

ULONG UlRelease(LPVOID object) {
    if (object == nullptr)
        return 0;
    return static_cast<IUnknown*>(object)->Release();
}

// A missing property (or one the object reports as an error) gives that
// error, normally MAPI_E_NOT_FOUND, and hands nothing back.
HRESULT HrGetOneProp(LPMAPIPROP object, ULONG tag, LPSPropValue* value) {
    if (value == nullptr)
        return MAPI_E_INVALID_PARAMETER;
    *value = nullptr;
    if (object == nullptr)
        return MAPI_E_INVALID_PARAMETER;
    SizedSPropTagArray<1> tags = {1, {tag}};
    ULONG count = 0;
    LPSPropValue values = nullptr;
    HRESULT hr = object->GetProps(tags.get(), 0, &count, &values);
    if (FAILED(hr)) {
        MAPIFreeBuffer(values);
        return hr;
    }
    if (values == nullptr || count != 1) {
        MAPIFreeBuffer(values);
        return MAPI_E_NOT_FOUND;
    }
    if (PROP_TYPE(values[0].ulPropTag) == PT_ERROR) {
        hr = values[0].Value.err;
        MAPIFreeBuffer(values);
        return FAILED(hr) ? hr : MAPI_E_NOT_FOUND;
    }
    *value = values;
    return S_OK;
}

// The object's own problem for the property, if it reports one, is the
// result.
HRESULT HrSetOneProp(LPMAPIPROP object, LPSPropValue value) {
    if (object == nullptr || value == nullptr)
        return MAPI_E_INVALID_PARAMETER;
    LPSPropProblemArray problems = nullptr;
    HRESULT hr = object->SetProps(1, value, &problems);
    if (SUCCEEDED(hr) && problems != nullptr && problems->cProblem > 0)
        hr = problems->aProblem[0].scode;
    MAPIFreeBuffer(problems);
    return hr;
}

// Reads from the table's current position to its end. The limit is checked
// against the table's row count first and again against the rows read, so
// a limited query never hands back more than max_rows rows. When one
// QueryRows call brings every row, as the generic table does, its set is
// handed back as it came: no row is copied.
HRESULT HrQueryAllRows(LPMAPITABLE table, LPSPropTagArray columns, LPSRestriction restriction,
                       LPSSortOrderSet sort, LONG max_rows, LPSRowSet* rows) {
    if (rows == nullptr)
        return MAPI_E_INVALID_PARAMETER;
    *rows = nullptr;
    if (table == nullptr || max_rows < 0)
        return MAPI_E_INVALID_PARAMETER;
    HRESULT hr = S_OK;
    if (columns != nullptr && FAILED(hr = table->SetColumns(columns, 0)))
        return hr;
    if (restriction != nullptr && FAILED(hr = table->Restrict(restriction, 0)))
        return hr;
    if (sort != nullptr && FAILED(hr = table->SortTable(sort, 0)))
        return hr;
    // A table that cannot count its rows is still read; the limit is then
    // checked on the rows themselves.
    ULONG total = 0;
    hr = table->GetRowCount(0, &total);
    if (FAILED(hr) && hr != MAPI_E_NO_SUPPORT)
        return hr;
    if (SUCCEEDED(hr) && max_rows > 0 && total > static_cast<ULONG>(max_rows))
        return MAPI_E_TABLE_TOO_BIG;

    // The sets read so far, each with its rows still in it.
    std::vector<LPSRowSet> parts;
    auto discard = [&parts] {
        for (LPSRowSet part : parts)
            FreeProws(part);
    };
    std::size_t count = 0;
    try {
        const LONG batch = max_rows > 0 ? max_rows + (max_rows < std::numeric_limits<LONG>::max())
                                        : std::numeric_limits<LONG>::max();
        for (;;) {
            LPSRowSet part = nullptr;
            hr = table->QueryRows(batch, 0, &part);
            if (FAILED(hr)) {
                FreeProws(part);
                discard();
                return hr;
            }
            if (part == nullptr || part->cRows == 0) {
                // The first set, even empty, is the answer when nothing came
                // before it.
                if (parts.empty() && part != nullptr)
                    parts.push_back(part);
                else
                    FreeProws(part);
                break;
            }
            try {
                parts.push_back(part);
            } catch (const std::bad_alloc&) {
                FreeProws(part);
                throw;
            }
            count += part->cRows;
            if (max_rows > 0 && count > static_cast<std::size_t>(max_rows)) {
                discard();
                return MAPI_E_TABLE_TOO_BIG;
            }
        }
    } catch (const std::bad_alloc&) {
        discard();
        return MAPI_E_NOT_ENOUGH_MEMORY;
    }
    if (parts.size() == 1) {
        *rows = parts.front();
        return S_OK;
    }
    // Several sets (or none): one set takes their rows' value buffers over;
    // then each old set alone is freed.
    void* block = nullptr;
    const ULONG n = static_cast<ULONG>(count);
    hr = MAPIAllocateBuffer(static_cast<ULONG>(CbNewSRowSet(n)), &block);
    if (FAILED(hr)) {
        discard();
        return hr;
    }
    LPSRowSet set = static_cast<LPSRowSet>(block);
    set->cRows = 0;
    for (LPSRowSet part : parts) {
        for (ULONG i = 0; i < part->cRows; ++i)
            set->aRow[set->cRows++] = part->aRow[i];
        MAPIFreeBuffer(part);
    }
    *rows = set;
    return S_OK;
}
