// IDispatch of every object, delegated to the type library's description of
// the object's interface (ITypeInfo::GetIDsOfNames and ::Invoke).
//
// Before delegating, DispatchInvoke prepares the arguments of typed
// by-reference parameters (BSTR*, VARIANT_BOOL*, ...), which Invoke alone does
// not handle the way scripting clients need:
// - a script variable arrives as VT_BYREF|VT_VARIANT, which Invoke refuses for
//   such a parameter (type mismatch); it is converted into a typed temporary
//   passed by reference, and a value the member changed is copied back into
//   the variable afterwards;
// - an omitted optional parameter with a default value is given a typed
//   temporary holding the default, passed by reference (Invoke would pass the
//   bare default value where the member expects a pointer).
#pragma once

#include <windows.h>
#include <oleauto.h>

namespace bk::com {

HRESULT DispatchGetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, DISPID* ids);

// `self` is the object's pointer of the interface `iid`.
HRESULT DispatchInvoke(REFIID iid, void* self, DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result,
                       EXCEPINFO* exception, UINT* bad_argument);

}  // namespace bk::com
