// IUnknown of every COM object of the server: a reference count, and the
// server's count of live objects (DllCanUnloadNow) from construction to
// destruction.
#pragma once

#include <windows.h>

#include "component/com/module.h"

namespace bk::com {

template <typename Interface>
class ComObject : public Interface {
 public:
  ComObject(const ComObject&) = delete;
  ComObject& operator=(const ComObject&) = delete;

  // Answers to IUnknown, to Interface and to what Other() adds.
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    *out = IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, __uuidof(Interface)) ? static_cast<Interface*>(this)
                                                                                  : Other(iid);
    if (!*out) return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }
  ULONG STDMETHODCALLTYPE Release() override {
    const LONG left = InterlockedDecrement(&refs_);
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
  }

 protected:
  ComObject() { ObjectCreated(); }
  virtual ~ComObject() { ObjectDestroyed(); }
  // Further interfaces of the object, or null.
  virtual void* Other(REFIID) { return nullptr; }

 private:
  LONG refs_ = 1;
};

}  // namespace bk::com
