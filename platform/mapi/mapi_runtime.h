// What the MAPI runtime offers to providers (the information store) and to
// tests, beyond the MAPI library functions of mailstore/mapix.h.
#pragma once
#include <atomic>
#include "mailstore/mapix.h"

// ---- Live counts -------------------------------------------------------------
// Buffers: chain heads from MAPIAllocateBuffer not yet freed. Objects: every
// object derived from MAPIObject not yet destroyed (sessions, profile admin
// objects, tables, and the store's stores, folders, messages and rules
// objects). Tests assert both return to their starting values.
ULONG MAPIDebugLiveBuffers();
ULONG MAPIDebugLiveObjects();

// Base of every MAPI object: reference count starting at 1, deletion at 0,
// and the live-object count. Derived classes implement QueryInterface with
// the helper below.
class MAPIObject {
public:
    MAPIObject();
    MAPIObject(const MAPIObject&) = delete;
    MAPIObject& operator=(const MAPIObject&) = delete;

protected:
    virtual ~MAPIObject();
    ULONG add_ref() { return ++refs_ + 0; }
    ULONG release() {
        ULONG left = --refs_;
        if (left == 0)
            delete this;
        return left;
    }

private:
    std::atomic<ULONG> refs_{1};
};

// Declares AddRef/Release of an interface class on top of MAPIObject.
#define MAPI_OBJECT_REFCOUNT                                                                       \
    ULONG AddRef() override {                                                                      \
        return add_ref();                                                                          \
    }                                                                                              \
    ULONG Release() override {                                                                     \
        return release();                                                                          \
    }

// ---- Fault injection ----------------------------------------------------------
// A provider may let tests and operators make the runtime's own profile
// operations fail on demand, as it does for its own. The hook is asked with
// the operation's name ("MAPIAdminProfiles", "IProfAdmin::CreateProfile",
// "IMsgServiceAdmin::OpenProfileSection", "IProfSect::GetProps", ...) before
// the operation does anything; a failure it returns is the operation's
// result, anything else lets the operation go on. Null removes the hook.
using MAPIFaultHook = HRESULT (*)(const char* operation);
void MAPISetFaultHook(MAPIFaultHook hook);
// S_OK, or the failure the hook prescribes for `operation`.
HRESULT MAPICheckFault(const char* operation);

// ---- Property copies ---------------------------------------------------------
// Deep copy of one value (strings, binaries, restrictions and rule actions
// included) whose pointed-to data is allocated with MAPIAllocateMore on
// `parent`.
SCODE PropCopyMore(LPSPropValue dest, const SPropValue* source, LPVOID parent);
// Deep copy of an array of values into one new buffer chain.
SCODE ScDupPropset(ULONG count, const SPropValue* source, LPSPropValue* dest);
// Deep copies of a restriction and of rule actions onto `parent`'s chain.
SCODE ScCopyRestriction(LPSRestriction* dest, const SRestriction* source, LPVOID parent);
SCODE ScCopyActions(LPACTIONS* dest, const ACTIONS* source, LPVOID parent);

// ---- The generic table -------------------------------------------------------
// A table over rows that a provider hands over; the table keeps a copy of
// each row (its values and what they point to in one block) and does
// SetColumns (a column a row lacks comes back as PT_ERROR with
// MAPI_E_NOT_FOUND), SeekRow, Restrict (with full restriction evaluation),
// SortTable, GetRowCount and QueryRows. Until SetColumns is called a row
// comes back with all its values. The result carries one reference.
HRESULT MAPICreateRowTable(ULONG row_count, const SRow* rows, LPMAPITABLE* table);

// Rows a provider keeps in a form of its own (compact, or computed on
// demand) and hands the generic table one at a time, so that a table of
// many rows need not hold every row as property values. The table does
// everything else (columns, cursor, restriction, sort order) over it.
class MAPIRowSource {
public:
    MAPIRowSource() = default;
    MAPIRowSource(const MAPIRowSource&) = delete;
    MAPIRowSource& operator=(const MAPIRowSource&) = delete;
    virtual ~MAPIRowSource() = default;
    // How many rows there are; the same for the source's whole life.
    virtual ULONG RowCount() const = 0;
    // The values of row `index` (below RowCount): a failure, or S_OK with
    // `count` values at `values`, valid until the next ReadRow. The table
    // calls it under its own lock, one call at a time.
    virtual HRESULT ReadRow(ULONG index, ULONG* count, const SPropValue** values) = 0;
    // The columns a row comes back with before SetColumns; null (the
    // default) hands back all of the row's values.
    virtual const SPropTagArray* DefaultColumns() const { return nullptr; }
};

// The generic table over `source`, which it takes over (and deletes, also
// when it fails). The result carries one reference.
HRESULT MAPICreateSourceTable(MAPIRowSource* source, LPMAPITABLE* table);

// Evaluates `restriction` against one row's values: S_OK when it matches,
// S_FALSE when not, MAPI_E_TOO_COMPLEX past a nesting depth of 64, or
// MAPI_E_INVALID_PARAMETER for a malformed restriction. Used by the table
// and by the information store's rule evaluation at delivery.
HRESULT MAPIEvaluateRestriction(const SRestriction* restriction, ULONG count,
                                const SPropValue* values);
