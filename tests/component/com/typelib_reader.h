// Reads what a type library says about interfaces, coclasses and
// enumerations into plain values that tests compare with the published ones.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <optional>
#include <string>
#include <vector>

namespace bk::comtest {

// Holds a COM reference and releases it at the end of the scope.
template <typename T>
class Held {
 public:
  Held() = default;
  ~Held() { reset(); }
  Held(const Held&) = delete;
  Held& operator=(const Held&) = delete;
  T** put() {
    reset();
    return &p_;
  }
  T* get() const { return p_; }
  T* operator->() const { return p_; }
  void reset() {
    if (p_) p_->Release();
    p_ = nullptr;
  }

 private:
  T* p_ = nullptr;
};

struct Param {
  std::wstring name;  // empty when the library stores none
  // "BSTR", "BSTR*", "VARIANT_BOOL", "LONG", "DATE", "VARIANT*", an
  // interface name followed by "*", ...
  std::wstring type;
  USHORT flags = 0;
  std::optional<int> default_bool;  // the value of a VARIANT_BOOL default
};

struct Member {
  DISPID id = 0;
  std::wstring name;
  INVOKEKIND kind = INVOKE_FUNC;
  std::vector<Param> params;  // without the return value
  std::wstring result;        // type of the [out, retval] parameter's pointee; empty for none
  std::wstring help;
  // Read from the library only.
  USHORT result_flags = 0;
  SHORT vtable_offset = 0;
  bool stdcall_hresult = false;  // pure virtual, stdcall, returns HRESULT
  DWORD help_context = 0;
};

struct InterfaceFacts {
  std::wstring name, doc;
  TYPEKIND dispatch_kind = TKIND_MAX, vtable_kind = TKIND_MAX;
  WORD vtable_flags = 0;
  std::wstring base, base_library;  // the interface it derives from, and its library's name
  std::vector<Member> members;      // from the vtable face, in order
};

struct CoclassFacts {
  std::wstring name;
  TYPEKIND kind = TKIND_MAX;
  WORD flags = 0;
  std::vector<std::wstring> interfaces;
  std::vector<INT> interface_flags;
};

struct Constant {
  std::wstring name;
  LONG value = 0;
  std::wstring help;
  bool is_i4_constant = false;
};

struct EnumFacts {
  std::wstring name;
  TYPEKIND kind = TKIND_MAX;
  std::vector<Constant> constants;
};

// The type library embedded in a file (UTF-8 path); null when none loads.
ITypeLib* LibraryOf(const char* path);

// `dispatch` is the dispatch face of a dual interface.
InterfaceFacts ReadInterface(ITypeInfo* dispatch);
CoclassFacts ReadCoclass(ITypeInfo* info);
EnumFacts ReadEnum(ITypeInfo* info);

}  // namespace bk::comtest
