// Process-wide state of the in-process server: the count of live objects and
// server locks that DllCanUnloadNow reports, the module's own file, and the
// type descriptions of the type library embedded in it.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <string>

namespace bk::com {

// Every COM object of the server (class factories included) counts itself
// from construction to destruction.
void ObjectCreated();
void ObjectDestroyed();
// IClassFactory::LockServer.
void LockServer(bool lock);

HMODULE ModuleHandle();
// Full path of Brightkeep.dll.
std::wstring ModulePath();

// Type descriptions of an interface of the embedded library, loaded once per
// process and shared by every apartment. The dispatch face is what
// IDispatch::GetTypeInfo hands out; the vtable face drives GetIDsOfNames and
// Invoke. Both return a new reference.
HRESULT DispatchTypeInfo(REFIID iid, ITypeInfo** out);
HRESULT VtableTypeInfo(REFIID iid, ITypeInfo** out);

}  // namespace bk::com
