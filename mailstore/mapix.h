// The MAPI library's functions: initialisation, logon, profile
// administration, memory and the utility functions.
#pragma once
#include "mailstore/mapi_interfaces.h"

// Initialises MAPI on the calling thread (`init` points to MAPIINIT_0 or is
// null). Each call is matched by one MAPIUninitialize on the same thread.
HRESULT MAPIInitialize(LPVOID init);
void MAPIUninitialize();
HRESULT MAPILogonEx(ULONG_PTR ui_param, LPSTR profile_name, LPSTR password, FLAGS flags,
                    LPMAPISESSION* session);
HRESULT MAPIAdminProfiles(ULONG flags, LPPROFADMIN* admin);

// Memory. A buffer from MAPIAllocateBuffer heads a chain; MAPIAllocateMore
// links a block to the chain of `object` (the head or any block in it), and
// one MAPIFreeBuffer of the head frees the whole chain.
SCODE MAPIAllocateBuffer(ULONG size, LPVOID* buffer);
SCODE MAPIAllocateMore(ULONG size, LPVOID object, LPVOID* buffer);
ULONG MAPIFreeBuffer(LPVOID buffer);

// Utility functions.
// Sets `columns`, `restriction` and `sort` when given, then reads every row.
// With max_rows above 0, a table of more rows gives MAPI_E_TABLE_TOO_BIG.
HRESULT HrQueryAllRows(LPMAPITABLE table, LPSPropTagArray columns, LPSRestriction restriction,
                       LPSSortOrderSet sort, LONG max_rows, LPSRowSet* rows);
// One property into a buffer the caller frees; a missing property gives
// MAPI_E_NOT_FOUND.
HRESULT HrGetOneProp(LPMAPIPROP object, ULONG tag, LPSPropValue* value);
HRESULT HrSetOneProp(LPMAPIPROP object, LPSPropValue value);
// Frees every row's values and then the set; null is ignored.
void FreeProws(LPSRowSet rows);
// The first value of the array carrying `tag`; with a tag of type
// PT_UNSPECIFIED any type of that property id matches. Null when none.
LPSPropValue PpropFindProp(LPSPropValue values, ULONG count, ULONG tag);
// Releases an object when it is not null; returns the new count (0 for null).
ULONG UlRelease(LPVOID object);
