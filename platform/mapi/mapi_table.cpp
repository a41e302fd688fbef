// The generic table: rows of property values, read from a row source.
//
// A source hands the table one row at a time (MAPIRowSource). Providers with
// many rows keep them in a form of their own; MAPICreateRowTable's source
// keeps a copy of each row handed to it, the values and what they point to
// laid out in one block. A view over the rows holds the indexes of those that
// pass the restriction, in table order or in the order of the sort keys;
// while there is neither a restriction nor a sort order the view is simply
// every row in order and costs nothing. The cursor is a position in the view.
// Restrict and SortTable move the cursor back to the beginning, as a fresh
// view should; SetColumns leaves it where it is. When a new view cannot be
// made (no memory, or a row the source cannot read), the call fails and the
// view before it stays as it was.
//
// A column a row lacks comes back as PT_ERROR carrying MAPI_E_NOT_FOUND (or
// the row's own error for that property). A column asking for a string in
// the other width gets the row's string converted (8-bit strings are UTF-8),
// unless the row also holds an error for that property: then the error is
// what comes back, so a provider can offer a string in one width only.
// QueryRows hands each row one MAPI buffer holding its values followed by
// their strings and binaries, inside a set from MAPIAllocateBuffer, so
// FreeProws releases them. Only values with inner structure (restrictions,
// rule actions) hang further blocks on the row's chain.
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
#include <numeric>
#include <string>
#include <utility>
#include <vector>

#include "platform/mapi/mapi_internal.h"

namespace {

using namespace mapi_detail;

constexpr ULONG TBL_ASYNC = 0x00000001;
constexpr ULONG TBL_BATCH = 0x00000002;
constexpr ULONG TBL_NOADVANCE = 0x00000001;

// One value of a row being laid out: the tag it is asked for under (its own
// tag, PT_UNSPECIFIED, or a string tag of the other width) and the value it
// copies, or, without a value, the error it carries.
struct Pick {
    ULONG tag = 0;
    const SPropValue* value = nullptr;
    SCODE error = MAPI_E_NOT_FOUND;
};

std::size_t AlignUp(std::size_t offset, std::size_t alignment) {
    return (offset + alignment - 1) / alignment * alignment;
}

// Lays rows out in single MAPI buffers. Keeps the texts it converts between
// the string widths from one row to the next, so that a row costs no
// allocation beyond its own buffer.
class RowBuilder {
public:
    // One new buffer holding `picks` as values, in order, followed by the
    // bytes they point to.
    HRESULT Build(const std::vector<Pick>& picks, LPSPropValue* out) {
        *out = nullptr;
        const std::size_t n = picks.size();
        try {
            if (plans_.size() < n)
                plans_.resize(n);
            if (narrow_.size() < n) {
                narrow_.resize(n);
                wide_.resize(n);
            }
        } catch (const std::bad_alloc&) {
            return MAPI_E_NOT_ENOUGH_MEMORY;
        }
        std::size_t bytes = (n ? n : 1) * sizeof(SPropValue);
        for (std::size_t c = 0; c < n; ++c) {
            HRESULT hr = Plan(picks[c], c, &plans_[c]);
            if (FAILED(hr))
                return hr;
            if (plans_[c].size > 0) {
                bytes = AlignUp(bytes, plans_[c].alignment);
                plans_[c].offset = bytes;
                bytes += plans_[c].size;
            }
        }
        if (bytes > std::numeric_limits<ULONG>::max())
            return MAPI_E_NOT_ENOUGH_MEMORY;
        void* block = nullptr;
        HRESULT hr = MAPIAllocateBuffer(static_cast<ULONG>(bytes), &block);
        if (FAILED(hr))
            return hr;
        auto* values = static_cast<LPSPropValue>(block);
        auto* base = static_cast<BYTE*>(block);
        for (std::size_t c = 0; c < n; ++c) {
            hr = Fill(picks[c], plans_[c], base, &values[c]);
            if (FAILED(hr)) {
                MAPIFreeBuffer(block);
                return hr;
            }
        }
        *out = values;
        return S_OK;
    }

private:
    enum class Kind { Error, Scalar, Bytes, Chain };
    struct Layout {
        Kind kind = Kind::Scalar;
        ULONG type = 0;             // the type the value comes back as
        const void* data = nullptr; // the bytes to copy, for Kind::Bytes
        std::size_t size = 0;
        std::size_t alignment = 1;
        std::size_t offset = 0;
    };

    HRESULT Plan(const Pick& pick, std::size_t column, Layout* layout) {
        *layout = Layout{};
        if (pick.value == nullptr) {
            layout->kind = Kind::Error;
            return S_OK;
        }
        const SPropValue& v = *pick.value;
        const ULONG have = PROP_TYPE(v.ulPropTag);
        ULONG want = PROP_TYPE(pick.tag);
        if (want == PT_UNSPECIFIED || !IsStringType(want) || !IsStringType(have))
            want = have;
        layout->type = want;
        try {
            if (want != have) {
                // A string in the other width.
                layout->kind = Kind::Bytes;
                if (want == PT_UNICODE) {
                    if (v.Value.lpszA == nullptr)
                        return S_OK;
                    wide_[column] = Utf8ToUtf16(v.Value.lpszA);
                    layout->data = wide_[column].c_str();
                    layout->size = (wide_[column].size() + 1) * sizeof(char16_t);
                    layout->alignment = alignof(char16_t);
                } else {
                    if (v.Value.lpszW == nullptr)
                        return S_OK;
                    narrow_[column] =
                        Utf16ToUtf8(std::u16string_view(v.Value.lpszW, WideLength(v.Value.lpszW)));
                    layout->data = narrow_[column].c_str();
                    layout->size = narrow_[column].size() + 1;
                }
                return S_OK;
            }
        } catch (const std::bad_alloc&) {
            return MAPI_E_NOT_ENOUGH_MEMORY;
        }
        if (TypeIsScalar(have)) {
            layout->kind = Kind::Scalar;
            return S_OK;
        }
        switch (have) {
        case PT_STRING8:
            layout->kind = Kind::Bytes;
            layout->data = v.Value.lpszA;
            layout->size = v.Value.lpszA ? std::strlen(v.Value.lpszA) + 1 : 0;
            return S_OK;
        case PT_UNICODE:
            layout->kind = Kind::Bytes;
            layout->data = v.Value.lpszW;
            layout->size = v.Value.lpszW ? (WideLength(v.Value.lpszW) + 1) * sizeof(char16_t) : 0;
            layout->alignment = alignof(char16_t);
            return S_OK;
        case PT_BINARY:
            layout->kind = Kind::Bytes;
            layout->data = v.Value.bin.lpb;
            layout->size = v.Value.bin.lpb ? v.Value.bin.cb : 0;
            return S_OK;
        case PT_CLSID:
            layout->kind = Kind::Bytes;
            layout->data = v.Value.lpguid;
            layout->size = v.Value.lpguid ? sizeof(GUID) : 0;
            layout->alignment = alignof(GUID);
            return S_OK;
        default:
            // Restrictions, rule actions, and types the copy itself refuses.
            layout->kind = Kind::Chain;
            return S_OK;
        }
    }

    static HRESULT Fill(const Pick& pick, const Layout& layout, BYTE* base, LPSPropValue dest) {
        if (layout.kind == Kind::Error) {
            dest->ulPropTag = CHANGE_PROP_TYPE(pick.tag, PT_ERROR);
            dest->dwAlignPad = 0;
            dest->Value.err = pick.error;
            return S_OK;
        }
        const SPropValue& v = *pick.value;
        if (layout.kind == Kind::Chain)
            return CopyValueAs(dest, v, pick.tag, base);
        const bool converted = layout.type != PROP_TYPE(v.ulPropTag);
        dest->ulPropTag = CHANGE_PROP_TYPE(v.ulPropTag, layout.type);
        dest->dwAlignPad = converted ? 0 : v.dwAlignPad;
        dest->Value = v.Value;
        if (layout.kind == Kind::Scalar)
            return S_OK;
        BYTE* to = nullptr;
        if (layout.data != nullptr) {
            to = base + layout.offset;
            std::memcpy(to, layout.data, layout.size);
        }
        switch (layout.type) {
        case PT_STRING8:
            dest->Value.lpszA = reinterpret_cast<LPSTR>(to);
            break;
        case PT_UNICODE:
            dest->Value.lpszW = reinterpret_cast<LPWSTR>(to);
            break;
        case PT_BINARY:
            dest->Value.bin.cb = static_cast<ULONG>(layout.size);
            dest->Value.bin.lpb = to;
            break;
        case PT_CLSID:
            dest->Value.lpguid = reinterpret_cast<GUID*>(to);
            break;
        default:
            break;
        }
        return S_OK;
    }

    std::vector<Layout> plans_;
    std::vector<std::string> narrow_;
    std::vector<std::u16string> wide_;
};

// Picks every value of a row as it stands.
void PickAll(ULONG count, const SPropValue* values, std::vector<Pick>* picks) {
    picks->clear();
    for (ULONG i = 0; i < count; ++i)
        picks->push_back(Pick{values[i].ulPropTag, &values[i], S_OK});
}

// The rows handed to MAPICreateRowTable, each kept in one block.
class StoredRows final : public MAPIRowSource {
public:
    ~StoredRows() override {
        for (const StoredRow& row : rows_)
            MAPIFreeBuffer(row.values);
    }

    HRESULT Load(ULONG row_count, const SRow* rows) {
        try {
            rows_.reserve(row_count);
            RowBuilder builder;
            std::vector<Pick> picks;
            for (ULONG i = 0; i < row_count; ++i) {
                if (rows[i].lpProps == nullptr && rows[i].cValues > 0)
                    return MAPI_E_INVALID_PARAMETER;
                PickAll(rows[i].cValues, rows[i].lpProps, &picks);
                StoredRow row{rows[i].cValues, nullptr};
                HRESULT hr = builder.Build(picks, &row.values);
                if (FAILED(hr))
                    return hr;
                rows_.push_back(row);
            }
        } catch (const std::bad_alloc&) {
            return MAPI_E_NOT_ENOUGH_MEMORY;
        }
        return S_OK;
    }

    ULONG RowCount() const override { return static_cast<ULONG>(rows_.size()); }
    HRESULT ReadRow(ULONG index, ULONG* count, const SPropValue** values) override {
        *count = rows_[index].count;
        *values = rows_[index].values;
        return S_OK;
    }

private:
    struct StoredRow {
        ULONG count = 0;
        LPSPropValue values = nullptr;
    };
    std::vector<StoredRow> rows_;
};

class RowTable final : public IMAPITable, public MAPIObject {
public:
    MAPI_OBJECT_REFCOUNT

    explicit RowTable(MAPIRowSource* source) : source_(source) {}

    ~RowTable() override {
        delete source_;
        MAPIFreeBuffer(restriction_holder_);
        MAPIFreeBuffer(sort_);
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
        *count = static_cast<ULONG>(ViewSize());
        return S_OK;
    }

    HRESULT SeekRow(BOOKMARK origin, LONG row_count, LONG* rows_sought) override {
        std::lock_guard lock(mutex_);
        const std::int64_t size = static_cast<std::int64_t>(ViewSize());
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
        return ReplaceAndRebuild(restriction_holder_, holder);
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
        return ReplaceAndRebuild(sort_, copy);
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
        const std::size_t size = ViewSize();
        std::size_t first = cursor_;
        std::size_t last = cursor_;
        if (row_count > 0) {
            last = cursor_ +
                   std::min<std::size_t>(static_cast<std::size_t>(row_count), size - cursor_);
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
            hr = ProjectRow(ViewRow(i), &out);
            if (FAILED(hr)) {
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

    // Called before the table is shared.
    HRESULT Start() { return RebuildView(); }

private:
    std::size_t ViewSize() const { return whole_ ? source_->RowCount() : view_.size(); }
    ULONG ViewRow(std::size_t position) const {
        return whole_ ? static_cast<ULONG>(position) : view_[position];
    }

    // Puts `value` (a MAPI buffer or null) in `field` and rebuilds the view.
    // When the view cannot be rebuilt, the field and the view before stay.
    // Either way the buffer no longer in use is freed.
    template <typename T> HRESULT ReplaceAndRebuild(T*& field, T* value) {
        std::lock_guard lock(mutex_);
        std::swap(field, value);
        HRESULT hr = RebuildView();
        if (FAILED(hr))
            std::swap(field, value);
        MAPIFreeBuffer(value);
        return hr;
    }

    // Called with the lock held (or before the table is shared).
    HRESULT RebuildView() {
        const SRestriction* restriction =
            restriction_holder_ != nullptr ? *restriction_holder_ : nullptr;
        if (restriction == nullptr && sort_ == nullptr) {
            whole_ = true;
            std::vector<ULONG>().swap(view_);
            cursor_ = 0;
            return S_OK;
        }
        try {
            std::vector<ULONG> view;
            const ULONG rows = source_->RowCount();
            if (restriction == nullptr) {
                view.resize(rows);
                std::iota(view.begin(), view.end(), 0u);
            } else {
                for (ULONG i = 0; i < rows; ++i) {
                    ULONG count = 0;
                    const SPropValue* values = nullptr;
                    HRESULT hr = source_->ReadRow(i, &count, &values);
                    if (FAILED(hr))
                        return hr;
                    if (MatchRestriction(*restriction, count, values))
                        view.push_back(i);
                }
            }
            if (sort_ != nullptr) {
                HRESULT hr = SortView(&view);
                if (FAILED(hr))
                    return hr;
            }
            view.shrink_to_fit();
            view_ = std::move(view);
            whole_ = false;
            cursor_ = 0;
            return S_OK;
        } catch (const std::bad_alloc&) {
            return MAPI_E_NOT_ENOUGH_MEMORY;
        }
    }

    // Orders `view` by the sort keys: each row's key values are copied out
    // first (a source hands out one row at a time), then compared.
    HRESULT SortView(std::vector<ULONG>* view) {
        const ULONG keys = sort_->cSorts;
        std::vector<LPSPropValue> copies(view->size(), nullptr);
        auto release = [&copies] {
            for (LPSPropValue copy : copies)
                MAPIFreeBuffer(copy);
        };
        try {
            std::vector<Pick> picks(keys);
            for (std::size_t i = 0; i < view->size(); ++i) {
                ULONG count = 0;
                const SPropValue* values = nullptr;
                HRESULT hr = source_->ReadRow((*view)[i], &count, &values);
                for (ULONG k = 0; SUCCEEDED(hr) && k < keys; ++k) {
                    const ULONG tag = sort_->aSort[k].ulPropTag;
                    const SPropValue* have = FindValue(values, count, tag);
                    picks[k] = Pick{have ? have->ulPropTag : tag, have, MAPI_E_NOT_FOUND};
                }
                if (SUCCEEDED(hr))
                    hr = builder_.Build(picks, &copies[i]);
                if (FAILED(hr)) {
                    release();
                    return hr;
                }
            }
            std::vector<std::size_t> order(view->size());
            std::iota(order.begin(), order.end(), std::size_t{0});
            std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
                return SortsBefore(copies[a], copies[b]);
            });
            std::vector<ULONG> sorted(view->size());
            for (std::size_t i = 0; i < order.size(); ++i)
                sorted[i] = (*view)[order[i]];
            *view = std::move(sorted);
        } catch (const std::bad_alloc&) {
            release();
            return MAPI_E_NOT_ENOUGH_MEMORY;
        }
        release();
        return S_OK;
    }

    // `a` and `b` hold one value per sort key, PT_ERROR where the row lacks it.
    bool SortsBefore(const SPropValue* a, const SPropValue* b) const {
        for (ULONG k = 0; k < sort_->cSorts; ++k) {
            const SSortOrder& key = sort_->aSort[k];
            const bool has_a = PROP_TYPE(a[k].ulPropTag) != PT_ERROR;
            const bool has_b = PROP_TYPE(b[k].ulPropTag) != PT_ERROR;
            std::partial_ordering order = std::partial_ordering::equivalent;
            if (!has_a || !has_b)
                order = has_a <=> has_b;
            else
                order = CompareValues(a[k], b[k], TextFold{true, false});
            if (order == std::partial_ordering::unordered || order == 0)
                continue;
            const bool less = order < 0;
            return key.ulOrder == TABLE_SORT_DESCEND ? !less : less;
        }
        return false;
    }

    // Row `index` of the source as the columns ask, in one new buffer.
    HRESULT ProjectRow(ULONG index, SRow* out) {
        out->ulAdrEntryPad = 0;
        out->cValues = 0;
        out->lpProps = nullptr;
        ULONG count = 0;
        const SPropValue* values = nullptr;
        HRESULT hr = source_->ReadRow(index, &count, &values);
        if (FAILED(hr))
            return hr;
        try {
            const SPropTagArray* defaults = source_->DefaultColumns();
            if (!have_columns_ && defaults == nullptr) {
                PickAll(count, values, &picks_);
            } else {
                const ULONG* tags = have_columns_ ? columns_.data() : defaults->aulPropTag;
                const ULONG n =
                    have_columns_ ? static_cast<ULONG>(columns_.size()) : defaults->cValues;
                picks_.resize(n);
                for (ULONG c = 0; c < n; ++c)
                    picks_[c] = PickColumn(tags[c], count, values);
            }
        } catch (const std::bad_alloc&) {
            return MAPI_E_NOT_ENOUGH_MEMORY;
        }
        hr = builder_.Build(picks_, &out->lpProps);
        if (SUCCEEDED(hr))
            out->cValues = static_cast<ULONG>(picks_.size());
        return hr;
    }

    static Pick PickColumn(ULONG tag, ULONG count, const SPropValue* values) {
        const SPropValue* have = FindValue(values, count, tag);
        const SPropValue* error = FindErrorValue(values, count, tag);
        // A provider's error for the property stops a conversion from the
        // other string width: only a value of the very type asked for
        // overrides it.
        if (have != nullptr && error != nullptr && PROP_TYPE(tag) != PT_UNSPECIFIED &&
            PROP_TYPE(have->ulPropTag) != PROP_TYPE(tag))
            have = nullptr;
        return Pick{tag, have, error != nullptr ? error->Value.err : MAPI_E_NOT_FOUND};
    }

    std::mutex mutex_;
    MAPIRowSource* source_;
    bool whole_ = true;       // the view is every row in order
    std::vector<ULONG> view_; // otherwise: the rows of the view
    std::size_t cursor_ = 0;
    std::vector<ULONG> columns_;
    bool have_columns_ = false;
    LPSRestriction* restriction_holder_ = nullptr; // a chain whose head holds the copy
    LPSSortOrderSet sort_ = nullptr;
    RowBuilder builder_;
    std::vector<Pick> picks_;
};

} // namespace

HRESULT MAPICreateSourceTable(MAPIRowSource* source, LPMAPITABLE* table) {
    if (table == nullptr) {
        delete source;
        return MAPI_E_INVALID_PARAMETER;
    }
    *table = nullptr;
    if (source == nullptr)
        return MAPI_E_INVALID_PARAMETER;
    RowTable* created = new (std::nothrow) RowTable(source);
    if (created == nullptr) {
        delete source;
        return MAPI_E_NOT_ENOUGH_MEMORY;
    }
    HRESULT hr = created->Start();
    if (FAILED(hr)) {
        created->Release();
        return hr;
    }
    *table = created;
    return S_OK;
}

HRESULT MAPICreateRowTable(ULONG row_count, const SRow* rows, LPMAPITABLE* table) {
    if (table == nullptr)
        return MAPI_E_INVALID_PARAMETER;
    *table = nullptr;
    if (rows == nullptr && row_count > 0)
        return MAPI_E_INVALID_PARAMETER;
    StoredRows* stored = new (std::nothrow) StoredRows;
    if (stored == nullptr)
        return MAPI_E_NOT_ENOUGH_MEMORY;
    HRESULT hr = stored->Load(row_count, rows);
    if (FAILED(hr)) {
        delete stored;
        return hr;
    }
    return MAPICreateSourceTable(stored, table);
}
