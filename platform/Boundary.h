// Types that cross the boundary between the host and the module: OLE Automation values
// (VARIANT, BSTR), result codes, interface identifiers and IUnknown. On Windows they are the
// system's own types; on POSIX they are layout-identical definitions, so the same 32-bit
// structures and vtables are exchanged in both flavors.
//
// Argument passing in the module's interface methods (the component-object convention of the
// platform; every method is KELDA_STDCALL with the interface pointer first):
//  - a variant handed in (a list's Add, Insert, SetValue, the default of GetValueDef, an item's
//    SetValue/SetValueW) is passed BY VALUE: the 16 bytes of the VARIANT are pushed on the stack,
//    as the platform's own interfaces pass VARIANT. The callee copies what it keeps and never
//    frees the caller's value;
//  - a variant handed out is a pointer to the caller's VARIANT, which the callee overwrites
//    without freeing what was there (an out argument holds nothing on entry);
//  - an item or list handed out is a pointer to the caller's interface variable; the reference
//    written there is counted and the caller releases it;
//  - names are pointers to NUL-terminated 8-bit (system code page) or UTF-16 strings; a null
//    pointer stands for the empty name;
//  - byte booleans are one byte (0 false, anything else true), pushed as one 32-bit stack slot;
//  - out indexes are pointers to 32-bit signed integers.
// Interfaces are abstract classes without data or virtual destructor, single inheritance, methods
// declared in slot order, so the vtable is the platform's interface layout.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(_WIN32)

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <oaidl.h>
#include <oleauto.h>

#define KELDA_STDCALL __stdcall

#else  // POSIX: the same layouts, defined here

#if defined(__i386__)
#define KELDA_STDCALL __attribute__((stdcall))
#else
#define KELDA_STDCALL
#endif

using HRESULT = int32_t;
using ULONG = uint32_t;
using VARTYPE = uint16_t;
using VARIANT_BOOL = int16_t;
using SCODE = int32_t;
using DATE = double;
using OLECHAR = char16_t;
using BSTR = OLECHAR*;

struct GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
};
using IID = GUID;
using REFIID = const IID&;

inline bool operator==(const GUID& a, const GUID& b) {
  return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}
inline bool operator!=(const GUID& a, const GUID& b) {
  return !(a == b);
}

union CY {
  struct {
    uint32_t Lo;
    int32_t Hi;
  };
  int64_t int64;
};

struct IUnknown;
struct IDispatch;

enum VARENUM : uint16_t {
  VT_EMPTY = 0,
  VT_NULL = 1,
  VT_I2 = 2,
  VT_I4 = 3,
  VT_R4 = 4,
  VT_R8 = 5,
  VT_CY = 6,
  VT_DATE = 7,
  VT_BSTR = 8,
  VT_DISPATCH = 9,
  VT_ERROR = 10,
  VT_BOOL = 11,
  VT_VARIANT = 12,
  VT_UNKNOWN = 13,
  VT_DECIMAL = 14,
  VT_I1 = 16,
  VT_UI1 = 17,
  VT_UI2 = 18,
  VT_UI4 = 19,
  VT_I8 = 20,
  VT_UI8 = 21,
  VT_INT = 22,
  VT_UINT = 23,
  VT_RECORD = 36,
  VT_ARRAY = 0x2000,
  VT_BYREF = 0x4000,
};

// The 16-byte OLE Automation variant: the type at offset 0, the value at offset 8.
struct VARIANT {
  VARTYPE vt;
  uint16_t wReserved1;
  uint16_t wReserved2;
  uint16_t wReserved3;
  union {
    int64_t llVal;
    int32_t lVal;
    uint8_t bVal;
    int16_t iVal;
    float fltVal;
    double dblVal;
    VARIANT_BOOL boolVal;
    SCODE scode;
    CY cyVal;
    DATE date;
    BSTR bstrVal;
    IUnknown* punkVal;
    IDispatch* pdispVal;
    void* byref;
    char cVal;
    uint16_t uiVal;
    uint32_t ulVal;
    uint64_t ullVal;
    int32_t intVal;
    uint32_t uintVal;
    VARIANT* pvarVal;
  };
};

struct IUnknown {
  virtual HRESULT KELDA_STDCALL QueryInterface(REFIID riid, void** object) = 0;
  virtual ULONG KELDA_STDCALL AddRef() = 0;
  virtual ULONG KELDA_STDCALL Release() = 0;
};

// Only ever handled as an IUnknown (reference counting); the automation methods are not called.
struct IDispatch : IUnknown {};

constexpr HRESULT S_OK = 0;
constexpr HRESULT E_UNEXPECTED = static_cast<HRESULT>(0x8000FFFF);
constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002);
constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003);
constexpr VARIANT_BOOL VARIANT_TRUE = -1;
constexpr VARIANT_BOOL VARIANT_FALSE = 0;

#endif  // _WIN32

namespace kelda {

// Variant types that are not OLE Automation types but are handed in by hosts written in
// languages with native string variants: the data word points to a NUL-terminated 8-bit string
// (varString) or UTF-16 string (varUString). They never leave the module.
constexpr VARTYPE varString = 0x0100;
constexpr VARTYPE varUString = 0x0102;

// A UTF-16 code unit of the boundary (wchar_t on Windows, char16_t on POSIX; both 16 bits).
using WideChar = OLECHAR;

// Result codes of the interface methods, as 32-bit values for comparisons in both flavors.
constexpr uint32_t kResultOk = 0;
constexpr uint32_t kResultUnexpected = 0x8000FFFF;
constexpr uint32_t kResultNoInterface = 0x80004002;

inline bool SameGuid(const GUID& a, const GUID& b) {
  return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

}  // namespace kelda

static_assert(sizeof(VARIANT) == 16, "VARIANT is 16 bytes");
static_assert(offsetof(VARIANT, vt) == 0, "variant type at offset 0");
static_assert(offsetof(VARIANT, lVal) == 8, "variant data at offset 8");
static_assert(sizeof(GUID) == 16, "GUID is 16 bytes");
static_assert(sizeof(HRESULT) == 4, "HRESULT is 32 bits");
static_assert(sizeof(OLECHAR) == 2, "OLECHAR is a UTF-16 code unit");
static_assert(sizeof(BSTR) == 4, "32-bit pointers at the boundary");
static_assert(sizeof(CY) == 8, "currency is 64 bits");
static_assert(sizeof(VARIANT_BOOL) == 2, "variant booleans are 16 bits");
