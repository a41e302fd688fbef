// How rule conditions, rule actions and message properties are kept in the
// store: a versioned binary encoding of our own.
//
// Every encoding starts with a four-byte kind mark ("SWRC" condition, "SWRA"
// actions, "SWRP" property values) and a version byte (1). Numbers are
// little-endian; every pointer is preceded by a presence byte, so a null
// pointer reads back as null; strings and binaries carry their length.
// What was written reads back exactly, alignment words included.
//
// Decoding validates everything it reads: a wrong mark or version, a length
// running past the end, an unknown type, nesting deeper than 64 levels or
// bytes left over give MAPI_E_CORRUPT_DATA, never a crash. Encoding refuses
// what it could not read back: a malformed structure gives
// MAPI_E_INVALID_PARAMETER, a value type it does not know
// MAPI_E_INVALID_TYPE, nesting deeper than 64 levels MAPI_E_TOO_COMPLEX.
#pragma once
#include <functional>
#include <string>
#include <vector>

#include "mailstore/mapidefs.h"

namespace infostore {

constexpr unsigned kMaxNesting = 64;

HRESULT EncodeRestriction(const SRestriction* restriction, std::vector<BYTE>* out);
HRESULT EncodeActions(const ACTIONS* actions, std::vector<BYTE>* out);
HRESULT EncodeProps(ULONG count, const SPropValue* values, std::vector<BYTE>* out);

// Decoded structures are allocated with MAPIAllocateMore on `parent`'s chain.
HRESULT DecodeRestriction(const std::vector<BYTE>& bytes, LPVOID parent, LPSRestriction* out);
HRESULT DecodeActions(const std::vector<BYTE>& bytes, LPVOID parent, LPACTIONS* out);
HRESULT DecodeProps(const std::vector<BYTE>& bytes, LPVOID parent, ULONG* count,
                    LPSPropValue* values);

// Readable forms for listings. `folder_name` turns a folder entry id into a
// name (or returns "" when it names no folder).
std::string DescribeRestriction(const SRestriction* restriction);
std::string DescribeActions(const ACTIONS* actions,
                            const std::function<std::string(const SBinary&)>& folder_name);
std::string TagName(ULONG tag);

} // namespace infostore
