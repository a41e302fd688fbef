// The Extended MAPI subset that the agent uses: basic types, result codes,
// flags, property values, tag arrays, rows, restrictions, row lists, rule
// actions and entry lists. Laid out as the MAPI SDK lays them out, with wide
// text as UTF-16 (char16_t). Property tags are in mapitags.h, the interfaces
// in mapi_interfaces.h, the library functions in mapix.h.
#pragma once
#include <cstddef>
#include <cstdint>

// ---- Basic types -----------------------------------------------------------
using ULONG = std::uint32_t;
using LONG = std::int32_t;
using BYTE = std::uint8_t;
using BOOL = std::int32_t;
using FLAGS = std::uint32_t;
using SCODE = std::int32_t;
using HRESULT = std::int32_t;
using ULONG_PTR = std::uintptr_t;
using LPSTR = char*;
using LPCSTR = const char*;
using LPWSTR = char16_t*;
using LPCWSTR = const char16_t*;
using LPVOID = void*;
using LPBYTE = BYTE*;
using BOOKMARK = ULONG;
using ACTTYPE = ULONG;

// Arrays at the end of a structure are declared with one element and
// allocated with room for as many as they hold (see the Cb... helpers).
#define MAPI_DIM 1

struct GUID {
    std::uint32_t Data1;
    std::uint16_t Data2;
    std::uint16_t Data3;
    std::uint8_t Data4[8];
};
using IID = GUID;
using LPCIID = const IID*;
inline bool operator==(const GUID& a, const GUID& b) {
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3)
        return false;
    for (int i = 0; i < 8; ++i)
        if (a.Data4[i] != b.Data4[i])
            return false;
    return true;
}

struct MAPIUID {
    BYTE ab[16];
};
using LPMAPIUID = MAPIUID*;

// 100-nanosecond intervals since 1 January 1601 UTC.
struct FILETIME {
    ULONG dwLowDateTime;
    ULONG dwHighDateTime;
};

struct ENTRYID {
    BYTE abFlags[4];
    BYTE ab[MAPI_DIM];
};
using LPENTRYID = ENTRYID*;

// ---- Result codes ----------------------------------------------------------
// Negative values are failures; 0 and positive values succeed (a positive
// value is a warning). Callers pass failures on unchanged.
#define MAKE_MAPI_E(n) (static_cast<HRESULT>(0x80040000u | (n)))
#define MAKE_MAPI_S(n) (static_cast<HRESULT>(0x00040000u | (n)))
inline bool FAILED(HRESULT hr) {
    return hr < 0;
}
inline bool SUCCEEDED(HRESULT hr) {
    return hr >= 0;
}
inline bool HR_FAILED(HRESULT hr) {
    return hr < 0;
}

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_NOTIMPL =
    static_cast<HRESULT>(0x80004001u); // not implemented / nothing found to act on
constexpr HRESULT E_NOINTERFACE =
    static_cast<HRESULT>(0x80004002u);                        // QueryInterface: no such interface
constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u); // unspecified failure
constexpr HRESULT E_ACCESSDENIED = static_cast<HRESULT>(0x80070005u);
constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000Eu);
constexpr HRESULT E_INVALIDARG =
    static_cast<HRESULT>(0x80070057u); // a required argument is missing or malformed

constexpr HRESULT MAPI_E_CALL_FAILED = E_FAIL;
constexpr HRESULT MAPI_E_NOT_ENOUGH_MEMORY = E_OUTOFMEMORY;
constexpr HRESULT MAPI_E_INVALID_PARAMETER = E_INVALIDARG;
constexpr HRESULT MAPI_E_INTERFACE_NOT_SUPPORTED = E_NOINTERFACE;
constexpr HRESULT MAPI_E_NO_ACCESS = E_ACCESSDENIED;
constexpr HRESULT MAPI_E_NO_SUPPORT = MAKE_MAPI_E(0x102);
constexpr HRESULT MAPI_E_BAD_CHARWIDTH = MAKE_MAPI_E(0x103);
constexpr HRESULT MAPI_E_STRING_TOO_LONG = MAKE_MAPI_E(0x105);
constexpr HRESULT MAPI_E_UNKNOWN_FLAGS = MAKE_MAPI_E(0x106);
constexpr HRESULT MAPI_E_INVALID_ENTRYID = MAKE_MAPI_E(0x107);
constexpr HRESULT MAPI_E_INVALID_OBJECT = MAKE_MAPI_E(0x108);
constexpr HRESULT MAPI_E_OBJECT_CHANGED = MAKE_MAPI_E(0x109);
constexpr HRESULT MAPI_E_OBJECT_DELETED = MAKE_MAPI_E(0x10A);
constexpr HRESULT MAPI_E_BUSY = MAKE_MAPI_E(0x10B);
constexpr HRESULT MAPI_E_NOT_ENOUGH_DISK = MAKE_MAPI_E(0x10D);
constexpr HRESULT MAPI_E_NOT_ENOUGH_RESOURCES = MAKE_MAPI_E(0x10E);
constexpr HRESULT MAPI_E_NOT_FOUND = MAKE_MAPI_E(0x10F);
constexpr HRESULT MAPI_E_VERSION = MAKE_MAPI_E(0x110);
constexpr HRESULT MAPI_E_LOGON_FAILED = MAKE_MAPI_E(0x111);
constexpr HRESULT MAPI_E_SESSION_LIMIT = MAKE_MAPI_E(0x112);
constexpr HRESULT MAPI_E_USER_CANCEL = MAKE_MAPI_E(0x113);
constexpr HRESULT MAPI_E_UNABLE_TO_ABORT = MAKE_MAPI_E(0x114);
constexpr HRESULT MAPI_E_NETWORK_ERROR = MAKE_MAPI_E(0x115);
constexpr HRESULT MAPI_E_DISK_ERROR = MAKE_MAPI_E(0x116);
constexpr HRESULT MAPI_E_TOO_COMPLEX = MAKE_MAPI_E(0x117);
constexpr HRESULT MAPI_E_BAD_COLUMN = MAKE_MAPI_E(0x118);
constexpr HRESULT MAPI_E_COMPUTED = MAKE_MAPI_E(0x11A);
constexpr HRESULT MAPI_E_CORRUPT_DATA = MAKE_MAPI_E(0x11B);
constexpr HRESULT MAPI_E_UNCONFIGURED = MAKE_MAPI_E(0x11C);
constexpr HRESULT MAPI_E_FAILONEPROVIDER = MAKE_MAPI_E(0x11D);
constexpr HRESULT MAPI_E_END_OF_SESSION = MAKE_MAPI_E(0x200);
constexpr HRESULT MAPI_E_UNKNOWN_ENTRYID = MAKE_MAPI_E(0x201);
constexpr HRESULT MAPI_E_MISSING_REQUIRED_COLUMN = MAKE_MAPI_E(0x202);
constexpr HRESULT MAPI_E_BAD_VALUE = MAKE_MAPI_E(0x301);
constexpr HRESULT MAPI_E_INVALID_TYPE = MAKE_MAPI_E(0x302);
constexpr HRESULT MAPI_E_TYPE_NO_SUPPORT = MAKE_MAPI_E(0x303);
constexpr HRESULT MAPI_E_UNEXPECTED_TYPE = MAKE_MAPI_E(0x304);
constexpr HRESULT MAPI_E_TOO_BIG = MAKE_MAPI_E(0x305);
constexpr HRESULT MAPI_E_DECLINE_COPY = MAKE_MAPI_E(0x306);
constexpr HRESULT MAPI_E_UNEXPECTED_ID = MAKE_MAPI_E(0x307);
constexpr HRESULT MAPI_E_UNABLE_TO_COMPLETE = MAKE_MAPI_E(0x400);
constexpr HRESULT MAPI_E_TIMEOUT = MAKE_MAPI_E(0x401);
constexpr HRESULT MAPI_E_TABLE_EMPTY = MAKE_MAPI_E(0x402);
constexpr HRESULT MAPI_E_TABLE_TOO_BIG = MAKE_MAPI_E(0x403); // more rows than the caller's limit
constexpr HRESULT MAPI_E_INVALID_BOOKMARK = MAKE_MAPI_E(0x405);
constexpr HRESULT MAPI_E_WAIT = MAKE_MAPI_E(0x500);
constexpr HRESULT MAPI_E_CANCEL = MAKE_MAPI_E(0x501);
constexpr HRESULT MAPI_E_NOT_ME = MAKE_MAPI_E(0x502);
constexpr HRESULT MAPI_E_CORRUPT_STORE = MAKE_MAPI_E(0x600);
constexpr HRESULT MAPI_E_NOT_IN_QUEUE = MAKE_MAPI_E(0x601);
constexpr HRESULT MAPI_E_NO_SUPPRESS = MAKE_MAPI_E(0x602);
constexpr HRESULT MAPI_E_COLLISION = MAKE_MAPI_E(0x604);
constexpr HRESULT MAPI_E_NOT_INITIALIZED = MAKE_MAPI_E(0x605);
constexpr HRESULT MAPI_E_NON_STANDARD = MAKE_MAPI_E(0x606);
constexpr HRESULT MAPI_E_NO_RECIPIENTS = MAKE_MAPI_E(0x607);
constexpr HRESULT MAPI_E_SUBMITTED = MAKE_MAPI_E(0x608);
constexpr HRESULT MAPI_E_HAS_FOLDERS = MAKE_MAPI_E(0x609);
constexpr HRESULT MAPI_E_HAS_MESSAGES = MAKE_MAPI_E(0x60A);
constexpr HRESULT MAPI_E_FOLDER_CYCLE = MAKE_MAPI_E(0x60B);
constexpr HRESULT MAPI_E_AMBIGUOUS_RECIP = MAKE_MAPI_E(0x700);
constexpr HRESULT MAPI_W_NO_SERVICE = MAKE_MAPI_S(0x203);
constexpr HRESULT MAPI_W_ERRORS_RETURNED =
    MAKE_MAPI_S(0x380); // some properties came back as PT_ERROR
constexpr HRESULT MAPI_W_POSITION_CHANGED = MAKE_MAPI_S(0x481);
constexpr HRESULT MAPI_W_APPROX_COUNT = MAKE_MAPI_S(0x482);
constexpr HRESULT MAPI_W_PARTIAL_COMPLETION = MAKE_MAPI_S(0x680);

// ---- Flags -----------------------------------------------------------------
constexpr ULONG MAPI_MODIFY = 0x00000001;
constexpr ULONG MAPI_DEFERRED_ERRORS = 0x00000008;
constexpr ULONG MAPI_BEST_ACCESS = 0x00000010;
constexpr ULONG MAPI_UNICODE = 0x80000000;

// MAPIInitialize / MAPILogonEx
constexpr ULONG MAPI_INIT_VERSION = 0;
constexpr ULONG MAPI_MULTITHREAD_NOTIFICATIONS = 0x00000001;
constexpr ULONG MAPI_NT_SERVICE = 0x00010000;
constexpr ULONG MAPI_LOGON_UI = 0x00000001;
constexpr ULONG MAPI_NEW_SESSION = 0x00000002;
constexpr ULONG MAPI_EXPLICIT_PROFILE = 0x00000010;
constexpr ULONG MAPI_EXTENDED = 0x00000020;
constexpr ULONG MAPI_NO_MAIL = 0x00008000;

struct MAPIINIT_0 {
    ULONG ulVersion;
    ULONG ulFlags;
};

// Object types reported by OpenEntry.
constexpr ULONG MAPI_STORE = 0x00000001;
constexpr ULONG MAPI_FOLDER = 0x00000003;
constexpr ULONG MAPI_MESSAGE = 0x00000005;

// IMAPIFolder::CreateFolder
constexpr ULONG FOLDER_ROOT = 0;
constexpr ULONG FOLDER_GENERIC = 1;
constexpr ULONG FOLDER_SEARCH = 2;
constexpr ULONG OPEN_IF_EXISTS = 0x00000001;

// IMAPIProp::SaveChanges
constexpr ULONG KEEP_OPEN_READONLY = 0x00000001;
constexpr ULONG KEEP_OPEN_READWRITE = 0x00000004;

// IMAPITable::SeekRow bookmarks
constexpr BOOKMARK BOOKMARK_BEGINNING = 0;
constexpr BOOKMARK BOOKMARK_CURRENT = 1;
constexpr BOOKMARK BOOKMARK_END = 2;

// IExchangeManageStore::CreateStoreEntryID
constexpr ULONG OPENSTORE_USE_ADMIN_PRIVILEGE = 0x00000001;
constexpr ULONG OPENSTORE_PUBLIC = 0x00000002;
constexpr ULONG OPENSTORE_HOME_LOGON = 0x00000004;
constexpr ULONG OPENSTORE_TAKE_OWNERSHIP = 0x00000008;

// IMAPISession::OpenMsgStore
constexpr ULONG MDB_NO_DIALOG = 0x00000001;
constexpr ULONG MDB_WRITE = 0x00000004;
constexpr ULONG MDB_TEMPORARY = 0x00000020;
constexpr ULONG MDB_NO_MAIL = 0x00000080;

// IMsgStore::StoreLogoff
constexpr ULONG LOGOFF_NO_WAIT = 0x00000001;
constexpr ULONG LOGOFF_ORDERLY = 0x00000002;

// ---- Property values -------------------------------------------------------
constexpr ULONG PT_UNSPECIFIED = 0x0000;
constexpr ULONG PT_NULL = 0x0001;
constexpr ULONG PT_I2 = 0x0002;
constexpr ULONG PT_LONG = 0x0003;
constexpr ULONG PT_R4 = 0x0004;
constexpr ULONG PT_DOUBLE = 0x0005;
constexpr ULONG PT_CURRENCY = 0x0006;
constexpr ULONG PT_APPTIME = 0x0007;
constexpr ULONG PT_ERROR = 0x000A;
constexpr ULONG PT_BOOLEAN = 0x000B;
constexpr ULONG PT_OBJECT = 0x000D;
constexpr ULONG PT_I8 = 0x0014;
constexpr ULONG PT_STRING8 = 0x001E;
constexpr ULONG PT_UNICODE = 0x001F;
constexpr ULONG PT_SYSTIME = 0x0040;
constexpr ULONG PT_CLSID = 0x0048;
constexpr ULONG PT_SRESTRICTION = 0x00FD;
constexpr ULONG PT_ACTIONS = 0x00FE;
constexpr ULONG PT_BINARY = 0x0102;

constexpr ULONG PROP_TYPE(ULONG tag) {
    return tag & 0xFFFFu;
}
constexpr ULONG PROP_ID(ULONG tag) {
    return tag >> 16;
}
constexpr ULONG PROP_TAG(ULONG type, ULONG id) {
    return (id << 16) | type;
}
constexpr ULONG CHANGE_PROP_TYPE(ULONG tag, ULONG type) {
    return (tag & 0xFFFF0000u) | type;
}

struct SBinary {
    ULONG cb;
    LPBYTE lpb;
};
using LPSBinary = SBinary*;

struct SBinaryArray {
    ULONG cValues;
    SBinary* lpbin;
};
using ENTRYLIST = SBinaryArray;
using LPENTRYLIST = SBinaryArray*;

union _PV {
    std::int16_t i;  // PT_I2
    LONG l;          // PT_LONG
    ULONG ul;        // PT_LONG, unsigned view
    float flt;       // PT_R4
    double dbl;      // PT_DOUBLE, PT_APPTIME
    std::uint16_t b; // PT_BOOLEAN
    std::int64_t li; // PT_I8, PT_CURRENCY
    LPSTR lpszA;     // PT_STRING8 (UTF-8, the "ANSI code page" here)
    LPWSTR lpszW;    // PT_UNICODE (UTF-16)
    GUID* lpguid;    // PT_CLSID
    FILETIME ft;     // PT_SYSTIME
    SBinary bin;     // PT_BINARY
    SCODE err;       // PT_ERROR
    LONG x;          // PT_NULL, PT_OBJECT
    LPVOID lpv;      // PT_SRESTRICTION (SRestriction*), PT_ACTIONS (ACTIONS*)
};

struct SPropValue {
    ULONG ulPropTag;
    ULONG dwAlignPad;
    union _PV Value;
};
using LPSPropValue = SPropValue*;

struct SPropTagArray {
    ULONG cValues;
    ULONG aulPropTag[MAPI_DIM];
};
using LPSPropTagArray = SPropTagArray*;
constexpr std::size_t CbNewSPropTagArray(ULONG n) {
    return offsetof(SPropTagArray, aulPropTag) + (n ? n : 1) * sizeof(ULONG);
}
// A tag array of a fixed size on the stack or as a constant.
template <ULONG N> struct SizedSPropTagArray {
    ULONG cValues;
    ULONG aulPropTag[N];
    LPSPropTagArray get() { return reinterpret_cast<LPSPropTagArray>(this); }
};

struct SPropProblem {
    ULONG ulIndex;
    ULONG ulPropTag;
    SCODE scode;
};
struct SPropProblemArray {
    ULONG cProblem;
    SPropProblem aProblem[MAPI_DIM];
};
using LPSPropProblemArray = SPropProblemArray*;

// ---- Rows ------------------------------------------------------------------
struct SRow {
    ULONG ulAdrEntryPad;
    ULONG cValues;
    LPSPropValue lpProps;
};
using LPSRow = SRow*;

struct SRowSet {
    ULONG cRows;
    SRow aRow[MAPI_DIM];
};
using LPSRowSet = SRowSet*;
constexpr std::size_t CbNewSRowSet(ULONG n) {
    return offsetof(SRowSet, aRow) + (n ? n : 1) * sizeof(SRow);
}

struct SSortOrder {
    ULONG ulPropTag;
    ULONG ulOrder;
};
constexpr ULONG TABLE_SORT_ASCEND = 0;
constexpr ULONG TABLE_SORT_DESCEND = 1;
struct SSortOrderSet {
    ULONG cSorts;
    ULONG cCategories;
    ULONG cExpanded;
    SSortOrder aSort[MAPI_DIM];
};
using LPSSortOrderSet = SSortOrderSet*;

// ---- Restrictions ----------------------------------------------------------
constexpr ULONG RES_AND = 0x00;
constexpr ULONG RES_OR = 0x01;
constexpr ULONG RES_NOT = 0x02;
constexpr ULONG RES_CONTENT = 0x03;
constexpr ULONG RES_PROPERTY = 0x04;
constexpr ULONG RES_COMPAREPROPS = 0x05;
constexpr ULONG RES_BITMASK = 0x06;
constexpr ULONG RES_SIZE = 0x07;
constexpr ULONG RES_EXIST = 0x08;
constexpr ULONG RES_SUBRESTRICTION = 0x09;
constexpr ULONG RES_COMMENT = 0x0A;

constexpr ULONG RELOP_LT = 0;
constexpr ULONG RELOP_LE = 1;
constexpr ULONG RELOP_GT = 2;
constexpr ULONG RELOP_GE = 3;
constexpr ULONG RELOP_EQ = 4;
constexpr ULONG RELOP_NE = 5;
constexpr ULONG RELOP_RE = 6;

// Fuzzy levels of a content restriction: the low word chooses the match,
// the high word its looseness.
constexpr ULONG FL_FULLSTRING = 0x00000000;
constexpr ULONG FL_SUBSTRING = 0x00000001;
constexpr ULONG FL_PREFIX = 0x00000002;
constexpr ULONG FL_IGNORECASE = 0x00010000;
constexpr ULONG FL_IGNORENONSPACE = 0x00020000;
constexpr ULONG FL_LOOSE = 0x00040000;

constexpr ULONG BMR_EQZ = 0;
constexpr ULONG BMR_NEZ = 1;

struct SRestriction;
using LPSRestriction = SRestriction*;

struct SAndRestriction {
    ULONG cRes;
    LPSRestriction lpRes;
};
struct SOrRestriction {
    ULONG cRes;
    LPSRestriction lpRes;
};
struct SNotRestriction {
    ULONG ulReserved;
    LPSRestriction lpRes;
};
struct SContentRestriction {
    ULONG ulFuzzyLevel;
    ULONG ulPropTag;
    LPSPropValue lpProp;
};
struct SPropertyRestriction {
    ULONG relop;
    ULONG ulPropTag;
    LPSPropValue lpProp;
};
struct SComparePropsRestriction {
    ULONG relop;
    ULONG ulPropTag1;
    ULONG ulPropTag2;
};
struct SBitMaskRestriction {
    ULONG relBMR;
    ULONG ulPropTag;
    ULONG ulMask;
};
struct SSizeRestriction {
    ULONG relop;
    ULONG ulPropTag;
    ULONG cb;
};
struct SExistRestriction {
    ULONG ulReserved1;
    ULONG ulPropTag;
    ULONG ulReserved2;
};
struct SSubRestriction {
    ULONG ulSubObject;
    LPSRestriction lpRes;
};
struct SCommentRestriction {
    ULONG cValues;
    LPSRestriction lpRes;
    LPSPropValue lpProp;
};

struct SRestriction {
    ULONG rt;
    union {
        SComparePropsRestriction resCompareProps;
        SAndRestriction resAnd;
        SOrRestriction resOr;
        SNotRestriction resNot;
        SContentRestriction resContent;
        SPropertyRestriction resProperty;
        SBitMaskRestriction resBitMask;
        SSizeRestriction resSize;
        SExistRestriction resExist;
        SSubRestriction resSub;
        SCommentRestriction resComment;
    } res;
};

// ---- Row lists (IExchangeModifyTable::ModifyTable) -------------------------
constexpr ULONG ROW_ADD = 0x0001;
constexpr ULONG ROW_MODIFY = 0x0002;
constexpr ULONG ROW_REMOVE = 0x0004;
constexpr ULONG ROW_EMPTY = ROW_ADD | ROW_REMOVE;

struct ROWENTRY {
    ULONG ulRowFlags;
    ULONG cValues;
    LPSPropValue rgPropVals;
};
using LPROWENTRY = ROWENTRY*;

struct ROWLIST {
    ULONG cEntries;
    ROWENTRY aEntries[MAPI_DIM];
};
using LPROWLIST = ROWLIST*;
constexpr std::size_t CbNewROWLIST(ULONG n) {
    return offsetof(ROWLIST, aEntries) + (n ? n : 1) * sizeof(ROWENTRY);
}

// ---- Server-side rules -----------------------------------------------------
// PR_RULE_STATE bits
constexpr ULONG ST_DISABLED = 0x00000000;
constexpr ULONG ST_ENABLED = 0x00000001;
constexpr ULONG ST_ERROR = 0x00000002;
constexpr ULONG ST_ONLY_WHEN_OOF = 0x00000004;
constexpr ULONG ST_KEEP_OOF_HIST = 0x00000008;
constexpr ULONG ST_EXIT_LEVEL = 0x00000010;

// Action types
constexpr ACTTYPE OP_MOVE = 1;
constexpr ACTTYPE OP_COPY = 2;
constexpr ACTTYPE OP_REPLY = 3;
constexpr ACTTYPE OP_OOF_REPLY = 4;
constexpr ACTTYPE OP_DEFER_ACTION = 5;
constexpr ACTTYPE OP_BOUNCE = 6;
constexpr ACTTYPE OP_FORWARD = 7;
constexpr ACTTYPE OP_DELEGATE = 8;
constexpr ACTTYPE OP_TAG = 9;
constexpr ACTTYPE OP_DELETE = 10;
constexpr ACTTYPE OP_MARK_AS_READ = 11;

constexpr ULONG EDK_RULES_VERSION = 1;

struct ACTMOVECOPY {
    ULONG cbStoreEntryId;
    LPENTRYID lpStoreEntryId;
    ULONG cbFldEntryId;
    LPENTRYID lpFldEntryId;
};

struct ACTION {
    ACTTYPE acttype;
    ULONG ulActionFlavor;
    LPSRestriction lpRes;
    LPSPropTagArray lpPropTagArray;
    ULONG ulFlags;
    ULONG dwAlignmentPad;
    union {
        ACTMOVECOPY actMoveCopy;
        SPropValue propTag; // OP_TAG
        SCODE scBounceCode; // OP_BOUNCE
    };
};
using LPACTION = ACTION*;

struct ACTIONS {
    ULONG ulVersion;
    ULONG cActions;
    LPACTION lpAction;
};
using LPACTIONS = ACTIONS*;
