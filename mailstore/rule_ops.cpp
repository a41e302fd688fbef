// The Inbox's rules table: open and release it, check, delete and add the
// agent's rule, and open the folder the rule moves messages to.
#include <algorithm>
#include <cstring>
#include <new>
#include <string>

#include "mailstore/mailbox_ops.h"
#include "mailstore/mailbox_ops_text.h"
#include "mailstore/mapitags.h"
#include "mailstore/mapix.h"
#include "runtime/vtx_str.h"

using mailbox_ops::FromAnsi;
using mailbox_ops::ToAnsi;

namespace {

// The columns every scan sets, in this order, and where each one lands.
enum RuleColumn : ULONG {
    kSequence,
    kState,
    kCondition,
    kActions,
    kProvider,
    kName,
    kLevel,
    kId,
    kNameWide,
    kUserFlags,
    kProviderData,
    kColumnCount
};
constexpr ULONG kRuleColumnTags[kColumnCount] = {
    PR_RULE_SEQUENCE, PR_RULE_STATE,      PR_RULE_CONDITION,    PR_RULE_ACTIONS,
    PR_RULE_PROVIDER, PR_RULE_NAME,       PR_RULE_LEVEL,        PR_RULE_ID,
    PR_RULE_NAME_W,   PR_RULE_USER_FLAGS, PR_RULE_PROVIDER_DATA};

// The rule the agent adds.
constexpr LONG kRuleSequence = 1001;
constexpr LONG kRuleLevel = 0;
constexpr ULONG kRuleValueCount = 7;
constexpr ULONG kMarkerFuzzyLevel = FL_SUBSTRING | FL_IGNORECASE | FL_LOOSE;

// How a scan ended: `query_ran` is false when SetColumns or SeekRow failed
// (`hr` is then their failure); otherwise `hr` is the row query's result.
struct ScanResult {
    HRESULT hr;
    bool query_ran;
};

// Resets the view's columns and position and reads every rule, so that the
// same view serves any number of scans, before and after a ModifyTable.
// `*rows` receives whatever row set the query handed back.
ScanResult ScanRules(LPMAPITABLE view, LPSRowSet* rows) {
    SizedSPropTagArray<kColumnCount> columns;
    columns.cValues = kColumnCount;
    std::copy(std::begin(kRuleColumnTags), std::end(kRuleColumnTags), columns.aulPropTag);
    HRESULT hr = view->SetColumns(columns.get(), 0);
    if (FAILED(hr))
        return {hr, false};
    hr = view->SeekRow(BOOKMARK_BEGINNING, 0, nullptr);
    if (FAILED(hr))
        return {hr, false};
    return {HrQueryAllRows(view, nullptr, nullptr, nullptr, MAILBOX_OPS_MAX_RULES, rows), true};
}

// A row can be trusted when it has every column, the ones read carry their
// own tags (a missing property comes back under an error tag), the provider
// is a string, and at least one of the two name columns is a name.
bool WellFormed(const SRow& row) {
    if (row.cValues < kColumnCount || row.lpProps == nullptr)
        return false;
    const SPropValue* v = row.lpProps;
    for (ULONG column : {kSequence, kState, kCondition, kActions, kProvider, kLevel, kId})
        if (v[column].ulPropTag != kRuleColumnTags[column])
            return false;
    if (v[kProvider].Value.lpszA == nullptr)
        return false;
    return v[kName].ulPropTag == PR_RULE_NAME || v[kNameWide].ulPropTag == PR_RULE_NAME_W;
}

// Whether a well-formed row carries the wanted name, ignoring case. The
// 8-bit name decides when the row has one. A row that carries only the wide
// name is matched on that name: it is the same rule's name, and a rule of
// ours must not escape deletion because its 8-bit column went missing.
bool NameMatches(const SRow& row, LPCWSTR wanted) {
    const SPropValue* v = row.lpProps;
    if (v[kName].ulPropTag == PR_RULE_NAME) {
        if (v[kName].Value.lpszA == nullptr)
            return false;
        return VTX_WStrICmp(FromAnsi(v[kName].Value.lpszA).c_str(), wanted) == 0;
    }
    return v[kNameWide].Value.lpszW != nullptr &&
           VTX_WStrICmp(v[kNameWide].Value.lpszW, wanted) == 0;
}

// The first action of a well-formed row, or null when it has none.
const ACTION* FirstAction(const SRow& row) {
    const auto* actions = static_cast<const ACTIONS*>(row.lpProps[kActions].Value.lpv);
    if (actions == nullptr || actions->cActions == 0 || actions->lpAction == nullptr)
        return nullptr;
    return &actions->lpAction[0];
}

// Opens the folder of a move action's folder identifier through `store`.
HRESULT OpenMoveTarget(LPMDB store, const ACTION& action, LPMAPIFOLDER* folder) {
    ULONG object_type = 0;
    LPUNKNOWN object = nullptr;
    HRESULT hr = store->OpenEntry(action.actMoveCopy.cbFldEntryId, action.actMoveCopy.lpFldEntryId,
                                  &IID_IMAPIFolder, MAPI_BEST_ACCESS, &object_type, &object);
    if (SUCCEEDED(hr))
        *folder = static_cast<LPMAPIFOLDER>(object);
    return hr;
}

BOOL FirstMatchIsValid(LPMDB store, const SRowSet& rows, LPCWSTR rule_name) {
    for (ULONG i = 0; i < rows.cRows; ++i) {
        const SRow& row = rows.aRow[i];
        if (!WellFormed(row))
            return 0;
        if (!NameMatches(row, rule_name))
            continue;
        if (row.lpProps[kState].Value.l != static_cast<LONG>(ST_ENABLED))
            return 0;
        const ACTION* action = FirstAction(row);
        if (action == nullptr)
            return 0;
        LPMAPIFOLDER folder = nullptr;
        if (FAILED(OpenMoveTarget(store, *action, &folder)))
            return 0;
        UlRelease(folder);
        return 1;
    }
    return 0;
}

HRESULT DeleteSteps(LPEXCHANGEMODIFYTABLE modify_table, LPMAPITABLE view, LPCWSTR rule_name,
                    LPSRowSet* rows) {
    ScanResult scan = ScanRules(view, rows);
    if (!scan.query_ran || scan.hr == MAPI_E_TABLE_TOO_BIG)
        return scan.hr;
    // A table that cannot be read holds nothing we could delete.
    if (FAILED(scan.hr) || *rows == nullptr)
        return S_OK;

    HRESULT hr = scan.hr;
    for (ULONG i = 0; i < (*rows)->cRows; ++i) {
        const SRow& row = (*rows)->aRow[i];
        if (!WellFormed(row))
            return E_INVALIDARG;
        if (!NameMatches(row, rule_name))
            continue;
        LPVOID buffer = nullptr;
        SCODE sc = MAPIAllocateBuffer(static_cast<ULONG>(CbNewROWLIST(1)), &buffer);
        if (FAILED(sc))
            return sc;
        SPropValue rule_id{};
        rule_id.ulPropTag = PR_RULE_ID;
        rule_id.Value.li = row.lpProps[kId].Value.li;
        auto* list = static_cast<LPROWLIST>(buffer);
        list->cEntries = 1;
        list->aEntries[0].ulRowFlags = ROW_REMOVE;
        list->aEntries[0].cValues = 1;
        list->aEntries[0].rgPropVals = &rule_id;
        // A failed deletion does not keep the later rules of the name.
        hr = modify_table->ModifyTable(0, list);
        MAPIFreeBuffer(list);
    }
    return hr;
}

// What mapi_AddMessageMoveRule holds until its clean-up.
struct AddRuleState {
    LPVOID list = nullptr;
    LPSPropValue store_id = nullptr;
    LPSPropValue folder_id = nullptr;
};

// One zero-filled block of the row list's chain.
template <typename T> SCODE AllocateOnList(const AddRuleState& s, ULONG size, T** block) {
    LPVOID memory = nullptr;
    SCODE sc = MAPIAllocateMore(size, s.list, &memory);
    if (FAILED(sc))
        return sc;
    std::memset(memory, 0, size);
    *block = static_cast<T*>(memory);
    return S_OK;
}

// A copy of `text` on the list's chain. The block is at least twice the
// wide length plus one byte, and larger when the UTF-8 form needs it (a
// character may take three bytes), so the text is never cut.
SCODE CopyAnsiOnList(const AddRuleState& s, LPCWSTR text, LPSTR* copy) {
    std::string ansi = ToAnsi(text);
    std::size_t size = std::max<std::size_t>(2 * VTX_WStrLen(text) + 1, ansi.size() + 1);
    char* block = nullptr;
    SCODE sc = AllocateOnList(s, static_cast<ULONG>(size), &block);
    if (FAILED(sc))
        return sc;
    std::memcpy(block, ansi.c_str(), ansi.size() + 1);
    *copy = block;
    return S_OK;
}

// A copy of an entry identifier's bytes on the list's chain.
SCODE CopyEntryOnList(const AddRuleState& s, const SPropValue& id, ULONG* size, LPENTRYID* copy) {
    BYTE* block = nullptr;
    SCODE sc = AllocateOnList(s, id.Value.bin.cb, &block);
    if (FAILED(sc))
        return sc;
    if (id.Value.bin.cb != 0)
        std::memcpy(block, id.Value.bin.lpb, id.Value.bin.cb);
    *size = id.Value.bin.cb;
    *copy = reinterpret_cast<LPENTRYID>(block);
    return S_OK;
}

HRESULT AddRuleSteps(AddRuleState& s, LPEXCHANGEMODIFYTABLE modify_table, LPMDB mailbox_store,
                     LPCWSTR rule_name, ULONG subject_flag, LPCWSTR spam_substring,
                     LPMAPIFOLDER spam_folder) {
    SCODE sc = MAPIAllocateBuffer(static_cast<ULONG>(CbNewROWLIST(1)), &s.list);
    if (FAILED(sc))
        return sc;
    auto* list = static_cast<LPROWLIST>(s.list);
    std::memset(list, 0, CbNewROWLIST(1));

    LPSPropValue values = nullptr;
    if (FAILED(sc = AllocateOnList(s, kRuleValueCount * sizeof(SPropValue), &values)))
        return sc;
    list->cEntries = 1;
    list->aEntries[0].ulRowFlags = ROW_ADD;
    list->aEntries[0].cValues = kRuleValueCount;
    list->aEntries[0].rgPropVals = values;

    LPACTIONS actions = nullptr;
    if (FAILED(sc = AllocateOnList(s, sizeof(ACTIONS), &actions)))
        return sc;
    values[3].Value.lpv = actions;
    actions->ulVersion = EDK_RULES_VERSION;
    actions->cActions = 1;

    LPACTION action = nullptr;
    if (FAILED(sc = AllocateOnList(s, sizeof(ACTION), &action)))
        return sc;
    actions->lpAction = action;
    action->acttype = OP_MOVE;

    HRESULT hr = HrGetOneProp(mailbox_store, PR_ENTRYID, &s.store_id);
    if (FAILED(hr))
        return hr;
    ACTMOVECOPY& move = action->actMoveCopy;
    if (FAILED(sc = CopyEntryOnList(s, *s.store_id, &move.cbStoreEntryId, &move.lpStoreEntryId)))
        return sc;
    hr = HrGetOneProp(spam_folder, PR_ENTRYID, &s.folder_id);
    if (FAILED(hr))
        return hr;
    if (FAILED(sc = CopyEntryOnList(s, *s.folder_id, &move.cbFldEntryId, &move.lpFldEntryId)))
        return sc;

    values[0].ulPropTag = PR_RULE_SEQUENCE;
    values[0].Value.l = kRuleSequence;
    values[1].ulPropTag = PR_RULE_STATE;
    values[1].Value.l = static_cast<LONG>(ST_ENABLED);
    values[2].ulPropTag = PR_RULE_CONDITION;
    values[3].ulPropTag = PR_RULE_ACTIONS;
    values[6].ulPropTag = PR_RULE_LEVEL;
    values[6].Value.l = kRuleLevel;
    values[4].ulPropTag = PR_RULE_PROVIDER;

    char* provider = nullptr;
    const std::size_t provider_size = std::strlen(MAILBOX_OPS_RULE_PROVIDER) + 1;
    if (FAILED(sc = AllocateOnList(s, static_cast<ULONG>(provider_size), &provider)))
        return sc;
    std::memcpy(provider, MAILBOX_OPS_RULE_PROVIDER, provider_size);
    values[4].Value.lpszA = provider;

    values[5].ulPropTag = PR_RULE_NAME;
    if (FAILED(sc = CopyAnsiOnList(s, rule_name, &values[5].Value.lpszA)))
        return sc;

    LPSRestriction condition = nullptr;
    if (FAILED(sc = AllocateOnList(s, sizeof(SRestriction), &condition)))
        return sc;
    values[2].Value.lpv = condition;
    const ULONG tested = subject_flag != 0 ? PR_SUBJECT : PR_TRANSPORT_MESSAGE_HEADERS;
    condition->rt = RES_CONTENT;
    condition->res.resContent.ulFuzzyLevel = kMarkerFuzzyLevel;
    condition->res.resContent.ulPropTag = tested;

    LPSPropValue marker = nullptr;
    if (FAILED(sc = AllocateOnList(s, sizeof(SPropValue), &marker)))
        return sc;
    condition->res.resContent.lpProp = marker;
    marker->ulPropTag = tested;
    marker->dwAlignPad = 0;
    if (FAILED(sc = CopyAnsiOnList(s, spam_substring, &marker->Value.lpszA)))
        return sc;

    return modify_table->ModifyTable(0, list);
}

HRESULT OpenRuleFolderSteps(LPMDB store, LPMAPITABLE view, LPCWSTR rule_name, LPMAPIFOLDER* folder,
                            LPSRowSet* rows) {
    ScanResult scan = ScanRules(view, rows);
    if (!scan.query_ran || scan.hr == MAPI_E_TABLE_TOO_BIG)
        return scan.hr;
    if (FAILED(scan.hr) || *rows == nullptr || (*rows)->cRows == 0)
        return E_FAIL;
    for (ULONG i = 0; i < (*rows)->cRows; ++i) {
        const SRow& row = (*rows)->aRow[i];
        if (!WellFormed(row))
            break;
        if (!NameMatches(row, rule_name))
            continue;
        // The state does not matter here: a disabled rule still names the
        // folder its spam went to.
        const ACTION* action = FirstAction(row);
        if (action == nullptr)
            break;
        return OpenMoveTarget(store, *action, folder);
    }
    return E_NOTIMPL;
}

} // namespace

HRESULT mapi_GetRulesTables(LPMAPIFOLDER inbox, LPEXCHANGEMODIFYTABLE* modify_table,
                            LPMAPITABLE* table_view) {
    if (inbox == nullptr || modify_table == nullptr || table_view == nullptr)
        return E_INVALIDARG;
    LPUNKNOWN object = nullptr;
    HRESULT hr = inbox->OpenProperty(PR_RULES_TABLE, &IID_IExchangeModifyTable, 0,
                                     MAPI_DEFERRED_ERRORS, &object);
    if (FAILED(hr))
        return hr;
    auto* rules = static_cast<LPEXCHANGEMODIFYTABLE>(object);
    LPMAPITABLE view = nullptr;
    hr = rules->GetTable(0, &view);
    if (FAILED(hr)) {
        rules->Release();
        return hr;
    }
    *modify_table = rules;
    *table_view = view;
    return S_OK;
}

void mapi_ReleaseRulesTables(LPEXCHANGEMODIFYTABLE modify_table, LPMAPITABLE table_view) {
    UlRelease(table_view);
    UlRelease(modify_table);
}

BOOL mapi_ValidateRule(LPMDB store, LPEXCHANGEMODIFYTABLE modify_table, LPMAPITABLE table_view,
                       LPCWSTR rule_name) {
    (void)modify_table; // the check only reads
    if (store == nullptr || table_view == nullptr || rule_name == nullptr)
        return 0;
    LPSRowSet rows = nullptr;
    BOOL valid = 0;
    try {
        ScanResult scan = ScanRules(table_view, &rows);
        if (scan.query_ran && SUCCEEDED(scan.hr) && rows != nullptr && rows->cRows > 0)
            valid = FirstMatchIsValid(store, *rows, rule_name);
    } catch (const std::bad_alloc&) {
        valid = 0;
    }
    FreeProws(rows);
    return valid;
}

HRESULT mapi_DeleteRule(LPEXCHANGEMODIFYTABLE modify_table, LPMAPITABLE table_view,
                        LPCWSTR rule_name) {
    if (modify_table == nullptr || table_view == nullptr || rule_name == nullptr)
        return E_INVALIDARG;
    LPSRowSet rows = nullptr;
    HRESULT hr;
    try {
        hr = DeleteSteps(modify_table, table_view, rule_name, &rows);
    } catch (const std::bad_alloc&) {
        hr = MAPI_E_NOT_ENOUGH_MEMORY;
    }
    FreeProws(rows);
    return hr;
}

HRESULT mapi_AddMessageMoveRule(LPEXCHANGEMODIFYTABLE modify_table, LPMDB mailbox_store,
                                LPCWSTR rule_name, ULONG subject_flag, LPCWSTR spam_substring,
                                LPMAPIFOLDER spam_folder) {
    if (modify_table == nullptr || mailbox_store == nullptr || rule_name == nullptr ||
        spam_substring == nullptr || spam_folder == nullptr)
        return E_INVALIDARG;
    AddRuleState s;
    HRESULT hr;
    try {
        hr = AddRuleSteps(s, modify_table, mailbox_store, rule_name, subject_flag, spam_substring,
                          spam_folder);
    } catch (const std::bad_alloc&) {
        hr = MAPI_E_NOT_ENOUGH_MEMORY;
    }
    if (s.list != nullptr)
        MAPIFreeBuffer(s.list);
    if (s.store_id != nullptr)
        MAPIFreeBuffer(s.store_id);
    if (s.folder_id != nullptr)
        MAPIFreeBuffer(s.folder_id);
    return hr;
}

HRESULT mapi_OpenRuleFolder(LPMDB store, LPMAPITABLE table_view, LPCWSTR rule_name,
                            LPMAPIFOLDER* folder) {
    // The slot must be empty: a folder already in it would be lost.
    if (folder == nullptr || *folder != nullptr || store == nullptr || table_view == nullptr ||
        rule_name == nullptr)
        return E_INVALIDARG;
    LPSRowSet rows = nullptr;
    HRESULT hr;
    try {
        hr = OpenRuleFolderSteps(store, table_view, rule_name, folder, &rows);
    } catch (const std::bad_alloc&) {
        hr = MAPI_E_NOT_ENOUGH_MEMORY;
    }
    FreeProws(rows);
    return hr;
}
