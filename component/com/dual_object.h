// The base of every automation object of the server: IUnknown, IDispatch
// delegated to the type library's description of the object's dual
// interface, and ISupportErrorInfo. Written once for all classes.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <new>

#include "component/com/boundary.h"
#include "component/com/com_object.h"
#include "component/com/dispatch.h"
#include "component/com/module.h"

namespace bk::com {

template <typename Interface>
class DualObject : public ComObject<Interface>, public ISupportErrorInfo {
 public:
  // One IUnknown for both bases.
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    return ComObject<Interface>::QueryInterface(iid, out);
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ComObject<Interface>::AddRef(); }
  ULONG STDMETHODCALLTYPE Release() override { return ComObject<Interface>::Release(); }

  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    if (!count) return E_POINTER;
    *count = 1;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID, ITypeInfo** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (index != 0) return DISP_E_BADINDEX;
    return DispatchTypeInfo(__uuidof(Interface), out);
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID,
                                          DISPID* ids) override {
    return DispatchGetIDsOfNames(__uuidof(Interface), names, count, ids);
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID iid, LCID, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO* exception, UINT* bad_argument) override {
    if (!IsEqualIID(iid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    return DispatchInvoke(__uuidof(Interface), static_cast<Interface*>(this), id, flags, params, result,
                          exception, bad_argument);
  }

  HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID iid) override {
    return IsEqualIID(iid, __uuidof(Interface)) ? S_OK : S_FALSE;
  }

 protected:
  DualObject() = default;

  void* Other(REFIID iid) override {
    if (IsEqualIID(iid, IID_IDispatch)) return static_cast<Interface*>(this);
    if (IsEqualIID(iid, IID_ISupportErrorInfo)) return static_cast<ISupportErrorInfo*>(this);
    return nullptr;
  }

  // Runs a member's body, raising what it throws as an error of this interface.
  template <typename Body>
  HRESULT Run(Body&& body) {
    return Guarded(__uuidof(Interface), body);
  }
};

// Creates an object for a class factory and queries it for `iid`.
template <typename Object>
HRESULT CreateAndQuery(REFIID iid, void** out) {
  try {
    Object* object = new Object();
    const HRESULT hr = object->QueryInterface(iid, out);
    object->Release();
    return hr;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

}  // namespace bk::com
