#include "typelib_reader.h"

namespace bk::comtest {
namespace {

std::wstring Take(BSTR text) {
  std::wstring result = text ? text : L"";
  SysFreeString(text);
  return result;
}

std::wstring NameOf(ITypeInfo* info) {
  BSTR name = nullptr;
  info->GetDocumentation(MEMBERID_NIL, &name, nullptr, nullptr, nullptr);
  return Take(name);
}

// A copy of the type's attributes (the scalar fields; pointers in it are not
// to be followed); false when they cannot be read.
bool AttributesOf(ITypeInfo* info, TYPEATTR& out) {
  TYPEATTR* attr = nullptr;
  if (FAILED(info->GetTypeAttr(&attr))) return false;
  out = *attr;
  info->ReleaseTypeAttr(attr);
  return true;
}

std::wstring TypeText(ITypeInfo* owner, const TYPEDESC& type) {
  switch (type.vt) {
    case VT_PTR: return TypeText(owner, *type.lptdesc) + L"*";
    case VT_BSTR: return L"BSTR";
    case VT_BOOL: return L"VARIANT_BOOL";
    case VT_I4: return L"LONG";
    case VT_DATE: return L"DATE";
    case VT_VARIANT: return L"VARIANT";
    case VT_UNKNOWN: return L"IUnknown*";
    case VT_DISPATCH: return L"IDispatch*";
    case VT_HRESULT: return L"HRESULT";
    case VT_USERDEFINED: {
      Held<ITypeInfo> target;
      if (FAILED(owner->GetRefTypeInfo(type.hreftype, target.put()))) return L"<unresolved>";
      return NameOf(target.get());
    }
    default: return L"vt" + std::to_wstring(type.vt);
  }
}

Member ReadMember(ITypeInfo* info, UINT index) {
  FUNCDESC* desc = nullptr;
  Member member;
  if (FAILED(info->GetFuncDesc(index, &desc))) return member;
  member.id = desc->memid;
  member.kind = desc->invkind;
  member.vtable_offset = desc->oVft;
  member.stdcall_hresult = desc->funckind == FUNC_PUREVIRTUAL && desc->callconv == CC_STDCALL &&
                           desc->elemdescFunc.tdesc.vt == VT_HRESULT;
  // The names of the member found by its DISPID; a property's get and put
  // share the DISPID and store the same names.
  BSTR names[16] = {};
  UINT count = 0;
  info->GetNames(desc->memid, names, 16, &count);
  for (SHORT p = 0; p < desc->cParams; ++p) {
    const ELEMDESC& elem = desc->lprgelemdescParam[p];
    const USHORT flags = elem.paramdesc.wParamFlags;
    if (flags & PARAMFLAG_FRETVAL) {
      const std::wstring type = TypeText(info, elem.tdesc);
      member.result = type.substr(0, type.size() - 1);
      member.result_flags = flags;
      continue;
    }
    Param param;
    param.name = static_cast<UINT>(p) + 1 < count && names[p + 1] ? names[p + 1] : L"";
    param.type = TypeText(info, elem.tdesc);
    param.flags = flags;
    if (flags & PARAMFLAG_FHASDEFAULT) {
      const VARIANT& value = elem.paramdesc.pparamdescex->varDefaultValue;
      if (V_VT(&value) == VT_BOOL) param.default_bool = V_BOOL(&value);
    }
    member.params.push_back(param);
  }
  member.name = count > 0 && names[0] ? names[0] : L"";
  for (UINT n = 0; n < count; ++n) SysFreeString(names[n]);
  BSTR help = nullptr;
  info->GetDocumentation(desc->memid, nullptr, &help, &member.help_context, nullptr);
  member.help = Take(help);
  info->ReleaseFuncDesc(desc);
  return member;
}

}  // namespace

ITypeLib* LibraryOf(const char* path) {
  const int n = MultiByteToWideChar(CP_UTF8, 0, path, -1, nullptr, 0);
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, path, -1, wide.data(), n);
  ITypeLib* library = nullptr;
  return SUCCEEDED(LoadTypeLibEx(wide.c_str(), REGKIND_NONE, &library)) ? library : nullptr;
}

InterfaceFacts ReadInterface(ITypeInfo* dispatch) {
  InterfaceFacts facts;
  facts.name = NameOf(dispatch);
  BSTR doc = nullptr;
  dispatch->GetDocumentation(MEMBERID_NIL, nullptr, &doc, nullptr, nullptr);
  facts.doc = Take(doc);
  TYPEATTR attr{};
  if (!AttributesOf(dispatch, attr)) return facts;
  facts.dispatch_kind = attr.typekind;

  HREFTYPE ref = 0;
  Held<ITypeInfo> vtable;
  if (FAILED(dispatch->GetRefTypeOfImplType(static_cast<UINT>(-1), &ref)) ||
      FAILED(dispatch->GetRefTypeInfo(ref, vtable.put()))) {
    return facts;
  }
  if (!AttributesOf(vtable.get(), attr)) return facts;
  facts.vtable_kind = attr.typekind;
  facts.vtable_flags = attr.wTypeFlags;

  Held<ITypeInfo> base;
  if (SUCCEEDED(vtable->GetRefTypeOfImplType(0, &ref)) && SUCCEEDED(vtable->GetRefTypeInfo(ref, base.put()))) {
    facts.base = NameOf(base.get());
    Held<ITypeLib> library;
    UINT index = 0;
    BSTR library_name = nullptr;
    if (SUCCEEDED(base->GetContainingTypeLib(library.put(), &index)) &&
        SUCCEEDED(library->GetDocumentation(-1, &library_name, nullptr, nullptr, nullptr))) {
      facts.base_library = Take(library_name);
    }
  }
  for (UINT i = 0; i < attr.cFuncs; ++i) facts.members.push_back(ReadMember(vtable.get(), i));
  return facts;
}

CoclassFacts ReadCoclass(ITypeInfo* info) {
  CoclassFacts facts;
  facts.name = NameOf(info);
  TYPEATTR attr{};
  if (!AttributesOf(info, attr)) return facts;
  facts.kind = attr.typekind;
  facts.flags = attr.wTypeFlags;
  for (UINT i = 0; i < attr.cImplTypes; ++i) {
    HREFTYPE ref = 0;
    Held<ITypeInfo> target;
    INT flags = 0;
    info->GetImplTypeFlags(i, &flags);
    if (FAILED(info->GetRefTypeOfImplType(i, &ref)) || FAILED(info->GetRefTypeInfo(ref, target.put()))) continue;
    facts.interfaces.push_back(NameOf(target.get()));
    facts.interface_flags.push_back(flags);
  }
  return facts;
}

EnumFacts ReadEnum(ITypeInfo* info) {
  EnumFacts facts;
  facts.name = NameOf(info);
  TYPEATTR attr{};
  if (!AttributesOf(info, attr)) return facts;
  facts.kind = attr.typekind;
  for (UINT i = 0; i < attr.cVars; ++i) {
    VARDESC* desc = nullptr;
    if (FAILED(info->GetVarDesc(i, &desc))) continue;
    Constant constant;
    BSTR name = nullptr, help = nullptr;
    info->GetDocumentation(desc->memid, &name, &help, nullptr, nullptr);
    constant.name = Take(name);
    constant.help = Take(help);
    constant.is_i4_constant = desc->varkind == VAR_CONST && V_VT(desc->lpvarValue) == VT_I4;
    if (constant.is_i4_constant) constant.value = V_I4(desc->lpvarValue);
    info->ReleaseVarDesc(desc);
    facts.constants.push_back(constant);
  }
  return facts;
}

}  // namespace bk::comtest
