// Entry points DllMain, DllGetClassObject and DllCanUnloadNow, the class
// factory, and the process-wide state of module.h.
#include "component/com/module.h"

#include <map>
#include <mutex>
#include <new>

#include "component/com/com_object.h"
#include "component/com/objects.h"

namespace bk::com {
namespace {

HMODULE g_module = nullptr;
LONG g_objects = 0;
LONG g_locks = 0;

struct IidLess {
  bool operator()(const IID& a, const IID& b) const { return memcmp(&a, &b, sizeof(IID)) < 0; }
};

// The embedded type library and the faces of its interfaces, loaded on
// first use. Released only when the DLL is unloaded by FreeLibrary.
struct TypeCache {
  std::mutex lock;
  ITypeLib* library = nullptr;
  std::map<IID, ITypeInfo*, IidLess> dispatch_faces, vtable_faces;

  HRESULT Load(REFIID iid) {
    if (dispatch_faces.count(iid)) return S_OK;
    if (!library) {
      const HRESULT hr = LoadTypeLibEx(ModulePath().c_str(), REGKIND_NONE, &library);
      if (FAILED(hr)) return hr;
    }
    ITypeInfo* dispatch = nullptr;
    HRESULT hr = library->GetTypeInfoOfGuid(iid, &dispatch);
    if (FAILED(hr)) return hr;
    // A dual interface is found as its dispatch face; -1 reaches its vtable face.
    ITypeInfo* vtable = nullptr;
    HREFTYPE ref = 0;
    hr = dispatch->GetRefTypeOfImplType(static_cast<UINT>(-1), &ref);
    if (SUCCEEDED(hr)) hr = dispatch->GetRefTypeInfo(ref, &vtable);
    if (FAILED(hr)) {
      dispatch->Release();
      return hr;
    }
    dispatch_faces[iid] = dispatch;
    vtable_faces[iid] = vtable;
    return S_OK;
  }

  HRESULT Get(REFIID iid, bool vtable, ITypeInfo** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    std::lock_guard<std::mutex> guard(lock);
    const HRESULT hr = Load(iid);
    if (FAILED(hr)) return hr;
    *out = (vtable ? vtable_faces : dispatch_faces)[iid];
    (*out)->AddRef();
    return S_OK;
  }

  void Release() {
    for (auto& [iid, info] : dispatch_faces) info->Release();
    for (auto& [iid, info] : vtable_faces) info->Release();
    dispatch_faces.clear();
    vtable_faces.clear();
    if (library) library->Release();
    library = nullptr;
  }
};

TypeCache& Types() {
  static TypeCache cache;
  return cache;
}

using CreateFunction = HRESULT (*)(REFIID, void**);

class ClassFactory final : public ComObject<IClassFactory> {
 public:
  explicit ClassFactory(CreateFunction create) : create_(create) {}

  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    return create_(iid, out);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    com::LockServer(lock != FALSE);
    return S_OK;
  }

 private:
  CreateFunction create_;
};

}  // namespace

void ObjectCreated() { InterlockedIncrement(&g_objects); }
void ObjectDestroyed() { InterlockedDecrement(&g_objects); }
void LockServer(bool lock) {
  if (lock) {
    InterlockedIncrement(&g_locks);
  } else {
    InterlockedDecrement(&g_locks);
  }
}

HMODULE ModuleHandle() { return g_module; }

std::wstring ModulePath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(g_module, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return {};
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

HRESULT DispatchTypeInfo(REFIID iid, ITypeInfo** out) { return Types().Get(iid, false, out); }
HRESULT VtableTypeInfo(REFIID iid, ITypeInfo** out) { return Types().Get(iid, true, out); }

}  // namespace bk::com

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) bk::com::g_module = instance;
  // At process exit other DLLs may be gone already; release only on FreeLibrary.
  if (reason == DLL_PROCESS_DETACH && reserved == nullptr) bk::com::Types().Release();
  return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, LPVOID* out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  bk::com::CreateFunction create = nullptr;
  if (IsEqualCLSID(clsid, __uuidof(clsFileRollbackCreate))) create = bk::com::CreateFileRollbackCreateObject;
  if (IsEqualCLSID(clsid, __uuidof(clsRollbackManager))) create = bk::com::CreateRollbackManagerObject;
  if (!create) return CLASS_E_CLASSNOTAVAILABLE;
  auto* factory = new (std::nothrow) bk::com::ClassFactory(create);
  if (!factory) return E_OUTOFMEMORY;
  const HRESULT hr = factory->QueryInterface(iid, out);
  factory->Release();
  return hr;
}

STDAPI DllCanUnloadNow() {
  return bk::com::g_objects == 0 && bk::com::g_locks == 0 ? S_OK : S_FALSE;
}
