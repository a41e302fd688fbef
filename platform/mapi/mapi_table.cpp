// The generic table: rows of property values that a provider hands over.
//
// The table keeps a deep copy of every row. A view over the rows holds the
// indexes of those that pass the restriction, in table order or in the order
// of the sort keys; the cursor is a position in that view. Restrict and
// SortTable move the cursor back to the beginning, as a fresh view should;
// SetColumns leaves it where it is.
//
// A column a row lacks comes back as PT_ERROR carrying MAPI_E_NOT_FOUND (or
// the row's own error for that property). A column asking for a string in
// the other width gets the row's string converted (8-bit strings are UTF-8),
// unless the row also holds an error for that property: then the error is
// what comes back, so a provider can offer a string in one width only.
// QueryRows hands each row its own buffer chain inside a set from
// MAPIAllocateBuffer, so FreeProws releases them.
//
// Accepted flags: TBL_ASYNC and TBL_BATCH (both mean nothing here) on
// SetColumns, Restrict and SortTable; TBL_NOADVANCE on QueryRows; none on
// GetRowCount. Anything else gives MAPI_E_UNKNOWN_FLAGS.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>
#include <vector>

#include "platform/mapi/mapi_internal.h"

namespace {

using namespace mapi_detail;

constexpr ULONG TBL_ASYNC = 0x00000001;
constexpr ULONG TBL_BATCH = 0x00000002;
constexpr ULONG TBL_NOADVANCE = 0x00000001;

struct StoredRow {
    ULONG count = 0;
    LPSPropValue values = nullptr; // its own chain
};

class RowTable final : public IMAPITable, public MAPIObject {
public:
    MAPI_OBJECT_REFCOUNT

    ~RowTable() override {
        for (StoredRow& row : rows_)
            MAPIFreeBuffer(row.values);
        MAPIFreeBuffer(restriction_holder_);
        MAPIFreeBuffer(sort_);
    }

    // Takes deep copies of `rows`.
    HRESULT Load(ULONG row_count, const SRow* rows) {
        rows_.reserve(row_count);
        for (ULONG i = 0; i < row_count; ++i) {
            StoredRow row;
            row.count = rows[i].cValues;
            HRESULT hr = ScDupPropset(rows[i].cValues, rows[i].lpProps, &row.values);
            if (FAILED(hr))
                return hr;
            rows_.push_back(row);
        }
        RebuildView();
        return S_OK;
    }

    HRESULT QueryInterface(const IID& iid, void** object) override {
        static const IID* const kIids[] = {&IID_IUnknown, &IID_IMAPITable};
        return AnswerQuery(static_cast<IMAPITable*>(this), iid, object, kIids);
    }

    HRESULT SetColumns(LPSPropTagArray columns, ULONG flags) override {
        if (columns == nullptr)
            return MAPI_E_INVALID_PARAMETER;
        if (flags & ~(TBL_ASYNC | TBL_BATCH))
            return MAPI_E_UNKNOWN_FLAGS;
        try {
            std::vector<ULONG> copy(columns->aulPropTag, columns->aulPropTag + columns->cValues);
            std::lock_guard lock(mutex_);
            columns_ = std::move(copy);
            have_columns_ = true;
            return S_OK;
        } catch (const std::bad_alloc&) {
            return MAPI_E_NOT_ENOUGH_MEMORY;
        }
    }

    HRESULT GetRowCount(ULONG flags, ULONG* count) override {
        if (count == nullptr)
            return MAPI_E_INVALID_PARAMETER;
        if (flags != 0)
            return MAPI_E_UNKNOWN_FLAGS;
        std::lock_guard lock(mutex_);
        *count = static_cast<ULONG>(view_.size());
        return S_OK;
    }

    HRESULT SeekRow(BOOKMARK origin, LONG row_count, LONG* rows_sought) override {
        std::lock_guard lock(mutex_);
        const std::int64_t size = static_cast<std::int64_t>(view_.size());
        std::int64_t base = 0;
        switch (origin) {
        case BOOKMARK_BEGINNING:
            base = 0;
            break;
        case BOOKMARK_CURRENT:
            base = static_cast<std::int64_t>(cursor_);
            break;
        case BOOKMARK_END:
            base = size;
            break;
        default:
            return MAPI_E_INVALID_BOOKMARK;
        }
        std::int64_t target = std::clamp<std::int64_t>(base + row_count, 0, size);
        cursor_ = static_cast<std::size_t>(target);
        if (rows_sought != nullptr)
            *rows_sought = static_cast<LONG>(target - base);
        return S_OK;
    }

    HRESULT Restrict(LPSRestriction restriction, ULONG flags) override {
        if (flags & ~(TBL_ASYNC | TBL_BATCH))
            return MAPI_E_UNKNOWN_FLAGS;
        LPSRestriction* holder = nullptr;
        if (restriction != nullptr) {
            HRESULT hr = CheckRestriction(restriction);
            if (FAILED(hr))
                return hr;
            void* block = nullptr;
            hr = MAPIAllocateBuffer(sizeof(LPSRestriction), &block);
            if (FAILED(hr))
                return hr;
            holder = static_cast<LPSRestriction*>(block);
            hr = ScCopyRestriction(holder, restriction, holder);
            if (FAILED(hr)) {
                MAPIFreeBuffer(holder);
                return hr;
            }
        }
        std::lock_guard lock(mutex_);
        MAPIFreeBuffer(restriction_holder_);
        restriction_holder_ = holder;
        return RebuildView();
    }

    // Sorts by the keys in order; a row lacking a key's property sorts
    // before rows that have it. Categories are not offered.
    HRESULT SortTable(LPSSortOrderSet sort_order, ULONG flags) override {
        if (flags & ~(TBL_ASYNC | TBL_BATCH))
            return MAPI_E_UNKNOWN_FLAGS;
        LPSSortOrderSet copy = nullptr;
        if (sort_order != nullptr && sort_order->cSorts > 0) {
            if (sort_order->cCategories != 0)
                return MAPI_E_TOO_COMPLEX;
            for (ULONG i = 0; i < sort_order->cSorts; ++i) {
                const SSortOrder& key = sort_order->aSort[i];
                if (key.ulOrder != TABLE_SORT_ASCEND && key.ulOrder != TABLE_SORT_DESCEND)
                    return MAPI_E_INVALID_PARAMETER;
                if (!TypeIsComparable(PROP_TYPE(key.ulPropTag)))
                    return MAPI_E_INVALID_PARAMETER;
            }
            const std::size_t bytes =
                offsetof(SSortOrderSet, aSort) + sort_order->cSorts * sizeof(SSortOrder);
            void* block = nullptr;
            HRESULT hr = MAPIAllocateBuffer(static_cast<ULONG>(bytes), &block);
            if (FAILED(hr))
                return hr;
            std::memcpy(block, sort_order, bytes);
            copy = static_cast<LPSSortOrderSet>(block);
        }
        std::lock_guard lock(mutex_);
        MAPIFreeBuffer(sort_);
        sort_ = copy;
        return RebuildView();
    }

    HRESULT QueryRows(LONG row_count, ULONG flags, LPSRowSet* rows) override {
        if (rows == nullptr)
            return MAPI_E_INVALID_PARAMETER;
        *rows = nullptr;
        if (row_count == 0)
            return MAPI_E_INVALID_PARAMETER;
        if (flags & ~TBL_NOADVANCE)
            return MAPI_E_UNKNOWN_FLAGS;
        std::lock_guard lock(mutex_);
        std::size_t first = cursor_;
        std::size_t last = cursor_;
        if (row_count > 0) {
            last = cursor_ + std::min<std::size_t>(static_cast<std::size_t>(row_count),
                                                   view_.size() - cursor_);
        } else {
            const std::size_t back =
                static_cast<std::size_t>(-static_cast<std::int64_t>(row_count));
            first = cursor_ - std::min(back, cursor_);
        }
        const ULONG n = static_cast<ULONG>(last - first);
        void* block = nullptr;
        HRESULT hr = MAPIAllocateBuffer(static_cast<ULONG>(CbNewSRowSet(n)), &block);
        if (FAILED(hr))
            return hr;
        LPSRowSet set = static_cast<LPSRowSet>(block);
        set->cRows = 0;
        for (std::size_t i = first; i < last; ++i) {
            SRow& out = set->aRow[set->cRows];
            try {
                hr = ProjectRow(rows_[view_[i]], &out);
            } catch (const std::bad_alloc&) {
                hr = MAPI_E_NOT_ENOUGH_MEMORY;
            }
            if (FAILED(hr)) {
                MAPIFreeBuffer(out.lpProps);
                FreeProws(set);
                return hr;
            }
            ++set->cRows;
        }
        if (!(flags & TBL_NOADVANCE))
            cursor_ = row_count > 0 ? last : first;
        *rows = set;
        return S_OK;
    }

private:
    // Called with the lock held (or before the table is shared).
    HRESULT RebuildView() {
        try {
            std::vector<std::size_t> view;
            view.reserve(rows_.size());
            const SRestriction* restriction =
                restriction_holder_ != nullptr ? *restriction_holder_ : nullptr;
            for (std::size_t i = 0; i < rows_.size(); ++i)
                if (restriction == nullptr ||
                    MatchRestriction(*restriction, rows_[i].count, rows_[i].values))
                    view.push_back(i);
            if (sort_ != nullptr)
                std::stable_sort(view.begin(), view.end(), [this](std::size_t a, std::size_t b) {
                    return SortsBefore(rows_[a], rows_[b]);
                });
            view_ = std::move(view);
            cursor_ = 0;
            return S_OK;
        } catch (const std::bad_alloc&) {
            return MAPI_E_NOT_ENOUGH_MEMORY;
        }
    }

    bool SortsBefore(const StoredRow& a, const StoredRow& b) const {
        for (ULONG k = 0; k < sort_->cSorts; ++k) {
            const SSortOrder& key = sort_->aSort[k];
            const SPropValue* va = FindValue(a.values, a.count, key.ulPropTag);
            const SPropValue* vb = FindValue(b.values, b.count, key.ulPropTag);
            std::partial_ordering order = std::partial_ordering::equivalent;
            if (va == nullptr || vb == nullptr)
                order = (va != nullptr) <=> (vb != nullptr);
            else
                order = CompareValues(*va, *vb, TextFold{true, false});
            if (order == std::partial_ordering::unordered || order == 0)
                continue;
            const bool less = order < 0;
            return key.ulOrder == TABLE_SORT_DESCEND ? !less : less;
        }
        return false;
    }

    HRESULT ProjectRow(const StoredRow& row, SRow* out) const {
        out->ulAdrEntryPad = 0;
        out->cValues = 0;
        out->lpProps = nullptr;
        if (!have_columns_) {
            HRESULT hr = ScDupPropset(row.count, row.values, &out->lpProps);
            if (SUCCEEDED(hr))
                out->cValues = row.count;
            return hr;
        }
        const ULONG n = static_cast<ULONG>(columns_.size());
        void* block = nullptr;
        HRESULT hr =
            MAPIAllocateBuffer(static_cast<ULONG>((n ? n : 1) * sizeof(SPropValue)), &block);
        if (FAILED(hr))
            return hr;
        LPSPropValue values = static_cast<LPSPropValue>(block);
        out->lpProps = values;
        for (ULONG c = 0; c < n; ++c) {
            const ULONG tag = columns_[c];
            const SPropValue* have = FindValue(row.values, row.count, tag);
            const SPropValue* error = FindErrorValue(row.values, row.count, tag);
            // A provider's error for the property stops a conversion from
            // the other string width: only a value of the very type asked
            // for overrides it.
            if (have != nullptr && error != nullptr && PROP_TYPE(tag) != PT_UNSPECIFIED &&
                PROP_TYPE(have->ulPropTag) != PROP_TYPE(tag))
                have = nullptr;
            if (have != nullptr) {
                hr = CopyValueAs(&values[c], *have, tag, values);
                if (FAILED(hr))
                    return hr; // the caller frees the set, this row included
            } else {
                values[c].ulPropTag = CHANGE_PROP_TYPE(tag, PT_ERROR);
                values[c].dwAlignPad = 0;
                values[c].Value.err = error != nullptr ? error->Value.err : MAPI_E_NOT_FOUND;
            }
            out->cValues = c + 1;
        }
        return S_OK;
    }

    std::mutex mutex_;
    std::vector<StoredRow> rows_;
    std::vector<std::size_t> view_;
    std::size_t cursor_ = 0;
    std::vector<ULONG> columns_;
    bool have_columns_ = false;
    LPSRestriction* restriction_holder_ = nullptr; // a chain whose head holds the copy
    LPSSortOrderSet sort_ = nullptr;
};

} // namespace

HRESULT MAPICreateRowTable(ULONG row_count, const SRow* rows, LPMAPITABLE* table) {
    if (table == nullptr)
        return MAPI_E_INVALID_PARAMETER;
    *table = nullptr;
    if (rows == nullptr && row_count > 0)
        return MAPI_E_INVALID_PARAMETER;
    RowTable* created = new (std::nothrow) RowTable;
    if (created == nullptr)
        return MAPI_E_NOT_ENOUGH_MEMORY;
    HRESULT hr;
    try {
        hr = created->Load(row_count, rows);
    } catch (const std::bad_alloc&) {
        hr = MAPI_E_NOT_ENOUGH_MEMORY;
    }
    if (FAILED(hr)) {
        created->Release();
        return hr;
    }
    *table = created;
    return S_OK;
}
