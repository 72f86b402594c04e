// What crosses the COM boundary: strings, booleans and errors.
//
// Every interface method of the server runs its body through Guarded(), which
// turns a bk::Error into the FACILITY_CONTROL HRESULT of its number and sets
// its source and description as the thread's error information, so that
// automation clients read the number, source and description back unchanged.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <new>
#include <string>
#include <string_view>

#include "component/error.h"

namespace bk::com {

// BSTR to UTF-8; a null BSTR is the empty string.
std::string Utf8(BSTR value);
// The string behind a by-reference string parameter; E_POINTER (as an
// exception) when the pointer itself is null.
std::string Utf8(const BSTR* value);
// A new BSTR for an out parameter; throws std::bad_alloc when out of memory.
void PutString(std::string_view utf8, BSTR* out);

inline VARIANT_BOOL ToVariantBool(bool value) { return value ? VARIANT_TRUE : VARIANT_FALSE; }
// An optional by-reference boolean: a null pointer stands for the default.
inline bool FromOptional(const VARIANT_BOOL* value, bool fallback) {
  return value ? *value != VARIANT_FALSE : fallback;
}

// A failure HRESULT without error information of our own (a null pointer
// argument, for instance).
struct HresultError {
  HRESULT hr;
};

// Sets the error information of `error` on the thread (raised through the
// interface `iid`) and returns the HRESULT of its number.
HRESULT RaiseError(REFIID iid, const bk::Error& error);
// Clears the thread's error information and returns `hr`.
HRESULT PlainFailure(HRESULT hr);
// Fails with E_POINTER unless the out parameter is usable.
void RequireOut(const void* out);

// Stores a result in an out parameter.
template <typename T, typename V>
void PutValue(T* out, V value) {
  RequireOut(out);
  *out = value;
}
// Stores a new interface reference made by `make`; the out parameter is null
// when making it fails.
template <typename T, typename Make>
void PutObject(T** out, Make&& make) {
  RequireOut(out);
  *out = nullptr;
  *out = make();
}

// Runs `body`; maps what it throws to an HRESULT with error information.
template <typename Body>
HRESULT Guarded(REFIID iid, Body&& body) {
  try {
    body();
    return S_OK;
  } catch (const bk::Error& error) {
    return RaiseError(iid, error);
  } catch (const HresultError& error) {
    return PlainFailure(error.hr);
  } catch (const std::bad_alloc&) {
    return PlainFailure(E_OUTOFMEMORY);
  } catch (const std::exception& error) {
    return RaiseError(iid, bk::Error(0, bk::kLibrarySource, error.what()));
  }
}

}  // namespace bk::com
