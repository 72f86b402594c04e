// Build step: rewrites the raw type library that widl made from
// brightkeep.idl into the library embedded in Brightkeep.dll.
//
//   typelib_builder win32|win64 RAW.tlb OUT.tlb TYPE...
//
// The output holds the raw library's types in the order named on the command
// line (every type must be named exactly once), with everything else copied:
// library attributes, type flags, GUIDs, members with their DISPIDs, parameter
// flags and defaults, help strings. Enumeration constants without a help
// string get their own name as help string (widl cannot attach one). Names of
// property-put values and of return values are left out of the name table, so
// that no such name can change the spelling of a member. The library is
// written through ICreateTypeLib2; this program runs under Wine at build time.
//
// The target comes first and need not be the builder's own architecture: the
// x86_64 build of this program writes both libraries, so that building the
// 32-bit server never runs 32-bit code. The writer lays out a library for the
// process it runs in, so every layout figure is set for the target here:
// vtable offsets in units of the target's pointer size, the alignment of an
// interface (one pointer), and the described sizes of member records (see
// typelib_records.h). The raw library comes from widl for the same target;
// read in a process of another pointer size, its vtable offsets are scaled to
// that process, and they are scaled back here.
//
// Two defects of Wine's writer are corrected: it keeps only the low byte of a
// VARIANT_BOOL default (True would read back as 255), so every such default
// is widened in the written file; and its LayOut may mark a coclass
// dispatchable, so a coclass gets its flags again after LayOut.
#include <windows.h>
#include <oleauto.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "typelib_records.h"

namespace {

// The architecture the library is written for.
struct Target {
  SYSKIND syskind;
  WORD pointer_size;
  bk::typelib::DescriptionSizes sizes;
};

// The sizes this process's writer uses for the described sizes of records.
constexpr bk::typelib::DescriptionSizes kOwnSizes =
    sizeof(void*) == 8 ? bk::typelib::kWin64Sizes : bk::typelib::kWin32Sizes;
static_assert(sizeof(FUNCDESC) == kOwnSizes.funcdesc && sizeof(ELEMDESC) == kOwnSizes.elemdesc &&
              sizeof(PARAMDESCEX) == kOwnSizes.paramdescex && sizeof(VARDESC) == kOwnSizes.vardesc &&
              sizeof(VARIANT) == kOwnSizes.variant);

// Converts a vtable offset as this process reads it into one of the target.
SHORT ToTargetOffset(SHORT offset, const Target& target) {
  return static_cast<SHORT>(offset / static_cast<SHORT>(sizeof(void*)) * target.pointer_size);
}

[[noreturn]] void Fail(const char* what, HRESULT hr) {
  std::fprintf(stderr, "typelib_builder: %s failed (0x%08lx)\n", what, static_cast<unsigned long>(hr));
  std::exit(1);
}

void Check(HRESULT hr, const char* what) {
  if (FAILED(hr)) Fail(what, hr);
}

std::wstring NameOf(ITypeInfo* info) {
  BSTR name = nullptr;
  Check(info->GetDocumentation(MEMBERID_NIL, &name, nullptr, nullptr, nullptr), "GetDocumentation");
  std::wstring result = name ? name : L"";
  SysFreeString(name);
  return result;
}

std::wstring DocOf(ITypeInfo* info, MEMBERID id) {
  BSTR doc = nullptr;
  Check(info->GetDocumentation(id, nullptr, &doc, nullptr, nullptr), "GetDocumentation");
  std::wstring result = doc ? doc : L"";
  SysFreeString(doc);
  return result;
}

GUID LibGuidOf(ITypeLib* lib) {
  TLIBATTR* attr = nullptr;
  Check(lib->GetLibAttr(&attr), "GetLibAttr");
  const GUID guid = attr->guid;
  lib->ReleaseTLibAttr(attr);
  return guid;
}

// Copies one library into another, type by type.
class Copier {
 public:
  Copier(ITypeLib* raw, ICreateTypeLib2* out, Target target)
      : raw_(raw), out_(out), raw_guid_(LibGuidOf(raw)), target_(target) {}
  ~Copier() {
    for (auto& [name, entry] : entries_) {
      entry.raw->Release();
      if (entry.made) entry.made->Release();
      if (entry.made_info) entry.made_info->Release();
    }
  }
  Copier(const Copier&) = delete;
  Copier& operator=(const Copier&) = delete;

  void CopyLibraryAttributes();
  void CreateAll(const std::vector<std::wstring>& order);
  void FillAll();
  void Save() { Check(out_->SaveAllChanges(), "SaveAllChanges"); }
  int true_defaults() const { return true_defaults_; }

 private:
  struct Entry {
    ITypeInfo* raw;          // the raw description (the dispatch face of a dual)
    ICreateTypeInfo2* made;  // its counterpart in the new library
    ITypeInfo* made_info;
  };

  HREFTYPE MapRef(ITypeInfo* raw_owner, HREFTYPE raw_ref, ICreateTypeInfo2* made);
  void MapTypeDesc(ITypeInfo* raw_owner, const TYPEDESC& in, TYPEDESC& out, ICreateTypeInfo2* made,
                   std::vector<TYPEDESC*>& owned);
  void FillInterface(Entry& entry, ITypeInfo* vtable_face);
  void CopyFunction(Entry& entry, ITypeInfo* face, UINT index);
  void FillCoclass(Entry& entry);
  void FillEnum(Entry& entry);
  void CopyCommon(Entry& entry, TYPEATTR* attr);

  ITypeLib* raw_;
  ICreateTypeLib2* out_;
  GUID raw_guid_;
  Target target_;
  std::vector<std::wstring> order_;
  std::map<std::wstring, Entry> entries_;
  int true_defaults_ = 0;
};

void Copier::CopyLibraryAttributes() {
  TLIBATTR* attr = nullptr;
  Check(raw_->GetLibAttr(&attr), "GetLibAttr");
  Check(out_->SetGuid(attr->guid), "SetGuid");
  Check(out_->SetVersion(attr->wMajorVerNum, attr->wMinorVerNum), "SetVersion");
  Check(out_->SetLcid(attr->lcid), "SetLcid");
  Check(out_->SetLibFlags(attr->wLibFlags), "SetLibFlags");
  raw_->ReleaseTLibAttr(attr);
  BSTR name = nullptr, doc = nullptr;
  Check(raw_->GetDocumentation(-1, &name, &doc, nullptr, nullptr), "GetDocumentation");
  Check(out_->SetName(name), "SetName");
  if (doc) Check(out_->SetDocString(doc), "SetDocString");
  SysFreeString(name);
  SysFreeString(doc);
}

void Copier::CreateAll(const std::vector<std::wstring>& order) {
  order_ = order;
  const UINT count = raw_->GetTypeInfoCount();
  if (count != order.size()) {
    std::fprintf(stderr, "typelib_builder: the raw library has %u types, %zu named\n", count,
                 order.size());
    std::exit(1);
  }
  for (UINT i = 0; i < count; ++i) {
    ITypeInfo* info = nullptr;
    Check(raw_->GetTypeInfo(i, &info), "GetTypeInfo");
    entries_[NameOf(info)] = Entry{info, nullptr, nullptr};
  }
  for (const std::wstring& name : order) {
    auto it = entries_.find(name);
    if (it == entries_.end() || it->second.made) {
      std::fprintf(stderr, "typelib_builder: %ls is unknown or named twice\n", name.c_str());
      std::exit(1);
    }
    TYPEATTR* attr = nullptr;
    Check(it->second.raw->GetTypeAttr(&attr), "GetTypeAttr");
    // A dual interface is created from its vtable face; the dispatch face follows.
    const TYPEKIND kind = attr->typekind == TKIND_DISPATCH && (attr->wTypeFlags & TYPEFLAG_FDUAL)
                              ? TKIND_INTERFACE : attr->typekind;
    it->second.raw->ReleaseTypeAttr(attr);
    ICreateTypeInfo* made = nullptr;
    Check(out_->CreateTypeInfo(const_cast<LPOLESTR>(name.c_str()), kind, &made), "CreateTypeInfo");
    Check(made->QueryInterface(IID_ICreateTypeInfo2, reinterpret_cast<void**>(&it->second.made)),
          "QueryInterface(ICreateTypeInfo2)");
    Check(made->QueryInterface(IID_ITypeInfo, reinterpret_cast<void**>(&it->second.made_info)),
          "QueryInterface(ITypeInfo)");
    made->Release();
  }
}

HREFTYPE Copier::MapRef(ITypeInfo* raw_owner, HREFTYPE raw_ref, ICreateTypeInfo2* made) {
  ITypeInfo* target = nullptr;
  Check(raw_owner->GetRefTypeInfo(raw_ref, &target), "GetRefTypeInfo");
  ITypeLib* lib = nullptr;
  UINT index = 0;
  Check(target->GetContainingTypeLib(&lib, &index), "GetContainingTypeLib");
  ITypeInfo* mapped = target;
  if (IsEqualGUID(LibGuidOf(lib), raw_guid_)) mapped = entries_.at(NameOf(target)).made_info;
  lib->Release();
  HREFTYPE ref = 0;
  Check(made->AddRefTypeInfo(mapped, &ref), "AddRefTypeInfo");
  target->Release();
  return ref;
}

void Copier::MapTypeDesc(ITypeInfo* raw_owner, const TYPEDESC& in, TYPEDESC& out,
                         ICreateTypeInfo2* made, std::vector<TYPEDESC*>& owned) {
  out = in;
  if (in.vt == VT_PTR || in.vt == VT_SAFEARRAY) {
    TYPEDESC* inner = new TYPEDESC;
    owned.push_back(inner);
    MapTypeDesc(raw_owner, *in.lptdesc, *inner, made, owned);
    out.lptdesc = inner;
  } else if (in.vt == VT_USERDEFINED) {
    out.hreftype = MapRef(raw_owner, in.hreftype, made);
  }
}

// What every kind of type carries: GUID, version, type flags and help string.
void Copier::CopyCommon(Entry& entry, TYPEATTR* attr) {
  Check(entry.made->SetGuid(attr->guid), "SetGuid");
  Check(entry.made->SetVersion(attr->wMajorVerNum, attr->wMinorVerNum), "SetVersion");
  Check(entry.made->SetTypeFlags(attr->wTypeFlags), "SetTypeFlags");
  const std::wstring doc = DocOf(entry.raw, MEMBERID_NIL);
  if (!doc.empty()) Check(entry.made->SetDocString(const_cast<LPOLESTR>(doc.c_str())), "SetDocString");
}

void Copier::CopyFunction(Entry& entry, ITypeInfo* face, UINT i) {
  FUNCDESC* raw = nullptr;
  Check(face->GetFuncDesc(i, &raw), "GetFuncDesc");
  FUNCDESC fd = *raw;
  std::vector<TYPEDESC*> owned;
  std::vector<ELEMDESC> params(raw->lprgelemdescParam, raw->lprgelemdescParam + raw->cParams);
  for (ELEMDESC& param : params) {
    MapTypeDesc(face, TYPEDESC(param.tdesc), param.tdesc, entry.made, owned);
    const PARAMDESC& pd = param.paramdesc;
    if ((pd.wParamFlags & PARAMFLAG_FHASDEFAULT) && V_VT(&pd.pparamdescex->varDefaultValue) == VT_BOOL &&
        V_BOOL(&pd.pparamdescex->varDefaultValue) != VARIANT_FALSE) {
      ++true_defaults_;
    }
  }
  fd.lprgelemdescParam = params.data();
  fd.oVft = ToTargetOffset(raw->oVft, target_);
  MapTypeDesc(face, raw->elemdescFunc.tdesc, fd.elemdescFunc.tdesc, entry.made, owned);
  Check(entry.made->AddFuncDesc(i, &fd), "AddFuncDesc");
  for (TYPEDESC* t : owned) delete t;

  // The member's name and the names of its ordinary parameters only.
  UINT named = raw->cParams;
  if (named > 0 && (raw->lprgelemdescParam[named - 1].paramdesc.wParamFlags & PARAMFLAG_FRETVAL)) --named;
  if (raw->invkind & (INVOKE_PROPERTYPUT | INVOKE_PROPERTYPUTREF)) --named;
  BSTR names[32] = {};
  UINT got = 0;
  Check(face->GetNames(raw->memid, names, 32, &got), "GetNames");
  if (got < named + 1) Fail("GetNames (too few names)", E_FAIL);
  Check(entry.made->SetFuncAndParamNames(i, names, named + 1), "SetFuncAndParamNames");
  for (UINT n = 0; n < got; ++n) SysFreeString(names[n]);

  const std::wstring doc = DocOf(face, raw->memid);
  if (!doc.empty()) Check(entry.made->SetFuncDocString(i, const_cast<LPOLESTR>(doc.c_str())), "SetFuncDocString");
  face->ReleaseFuncDesc(raw);
}

void Copier::FillInterface(Entry& entry, ITypeInfo* face) {
  TYPEATTR* attr = nullptr;
  Check(face->GetTypeAttr(&attr), "GetTypeAttr");
  CopyCommon(entry, attr);
  for (UINT i = 0; i < attr->cImplTypes; ++i) {
    HREFTYPE base = 0;
    Check(face->GetRefTypeOfImplType(i, &base), "GetRefTypeOfImplType");
    Check(entry.made->AddImplType(i, MapRef(face, base, entry.made)), "AddImplType");
  }
  for (UINT i = 0; i < attr->cFuncs; ++i) CopyFunction(entry, face, i);
  face->ReleaseTypeAttr(attr);
  // An interface instance is one pointer to its vtable.
  Check(entry.made->SetAlignment(target_.pointer_size), "SetAlignment");
}

void Copier::FillCoclass(Entry& entry) {
  TYPEATTR* attr = nullptr;
  Check(entry.raw->GetTypeAttr(&attr), "GetTypeAttr");
  CopyCommon(entry, attr);
  for (UINT i = 0; i < attr->cImplTypes; ++i) {
    HREFTYPE ref = 0;
    INT flags = 0;
    Check(entry.raw->GetRefTypeOfImplType(i, &ref), "GetRefTypeOfImplType");
    Check(entry.raw->GetImplTypeFlags(i, &flags), "GetImplTypeFlags");
    Check(entry.made->AddImplType(i, MapRef(entry.raw, ref, entry.made)), "AddImplType");
    Check(entry.made->SetImplTypeFlags(i, flags), "SetImplTypeFlags");
  }
  entry.raw->ReleaseTypeAttr(attr);
}

void Copier::FillEnum(Entry& entry) {
  TYPEATTR* attr = nullptr;
  Check(entry.raw->GetTypeAttr(&attr), "GetTypeAttr");
  CopyCommon(entry, attr);
  for (UINT i = 0; i < attr->cVars; ++i) {
    VARDESC* vd = nullptr;
    Check(entry.raw->GetVarDesc(i, &vd), "GetVarDesc");
    Check(entry.made->AddVarDesc(i, vd), "AddVarDesc");
    BSTR name = nullptr, doc = nullptr;
    Check(entry.raw->GetDocumentation(vd->memid, &name, &doc, nullptr, nullptr), "GetDocumentation");
    Check(entry.made->SetVarName(i, name), "SetVarName");
    Check(entry.made->SetVarDocString(i, doc && *doc ? doc : name), "SetVarDocString");
    SysFreeString(name);
    SysFreeString(doc);
    entry.raw->ReleaseVarDesc(vd);
  }
  entry.raw->ReleaseTypeAttr(attr);
}

void Copier::FillAll() {
  for (const std::wstring& name : order_) {
    Entry& entry = entries_.at(name);
    TYPEATTR* attr = nullptr;
    Check(entry.raw->GetTypeAttr(&attr), "GetTypeAttr");
    const TYPEKIND kind = attr->typekind;
    const bool dual = (attr->wTypeFlags & TYPEFLAG_FDUAL) != 0;
    entry.raw->ReleaseTypeAttr(attr);
    if (kind == TKIND_DISPATCH && dual) {
      HREFTYPE ref = 0;
      ITypeInfo* face = nullptr;
      Check(entry.raw->GetRefTypeOfImplType(-1, &ref), "GetRefTypeOfImplType(-1)");
      Check(entry.raw->GetRefTypeInfo(ref, &face), "GetRefTypeInfo");
      FillInterface(entry, face);
      face->Release();
    } else if (kind == TKIND_INTERFACE) {
      FillInterface(entry, entry.raw);
    } else if (kind == TKIND_COCLASS) {
      FillCoclass(entry);
    } else if (kind == TKIND_ENUM) {
      FillEnum(entry);
    } else {
      std::fprintf(stderr, "typelib_builder: %ls has a kind this step does not copy\n", name.c_str());
      std::exit(1);
    }
    Check(entry.made->LayOut(), "LayOut");
    if (kind == TKIND_COCLASS) {
      Check(entry.raw->GetTypeAttr(&attr), "GetTypeAttr");
      Check(entry.made->SetTypeFlags(attr->wTypeFlags), "SetTypeFlags");
      entry.raw->ReleaseTypeAttr(attr);
    }
  }
}

std::string ReadWhole(const wchar_t* path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteWhole(const wchar_t* path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
  if (!out) Fail("writing the library", E_FAIL);
}

// A VARIANT_BOOL default is stored in the function record as one word: the
// tag 0xAC (in-place value of type VT_BOOL) in the top byte and the value in
// the low bits. Wine writes True as 0xAC0000FF; the format holds 0xAC00FFFF.
// Words already right (a writer without the defect) are counted as well.
void WidenTrueDefaults(std::string& data, int expected) {
  const uint32_t written = 0xAC0000FFu, wanted = 0xAC00FFFFu;
  int found = 0;
  for (size_t at = 0; at + 4 <= data.size(); at += 4) {
    uint32_t word;
    std::memcpy(&word, &data[at], 4);
    if (word == written) std::memcpy(&data[at], &wanted, 4);
    if (word == written || word == wanted) ++found;
  }
  if (found != expected) {
    std::fprintf(stderr, "typelib_builder: found %d True defaults in the file, expected %d\n", found, expected);
    std::exit(1);
  }
}

// Restates each record's described size for the target's structure sizes.
void RestateDescribedSizes(std::string& data, const Target& target) {
  const auto records = bk::typelib::ReadMemberRecords(data);
  if (!records) Fail("reading back the written records", E_FAIL);
  for (const bk::typelib::MemberRecord& r : *records) {
    const uint16_t size = bk::typelib::RestateSize(r, kOwnSizes, target.sizes);
    std::memcpy(&data[r.at + 14], &size, sizeof size);
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const bool known = argc >= 5 && (std::wcscmp(argv[1], L"win32") == 0 || std::wcscmp(argv[1], L"win64") == 0);
  if (!known) {
    std::fprintf(stderr, "usage: typelib_builder win32|win64 RAW.tlb OUT.tlb TYPE...\n");
    return 2;
  }
  const Target target = std::wcscmp(argv[1], L"win32") == 0 ? Target{SYS_WIN32, 4, bk::typelib::kWin32Sizes}
                                                              : Target{SYS_WIN64, 8, bk::typelib::kWin64Sizes};
  Check(CoInitialize(nullptr), "CoInitialize");
  ITypeLib* raw = nullptr;
  Check(LoadTypeLibEx(argv[2], REGKIND_NONE, &raw), "LoadTypeLibEx");
  ICreateTypeLib2* out = nullptr;
  Check(CreateTypeLib2(target.syskind, argv[3], &out), "CreateTypeLib2");
  int true_defaults = 0;
  {
    Copier copier(raw, out, target);
    copier.CopyLibraryAttributes();
    copier.CreateAll(std::vector<std::wstring>(argv + 4, argv + argc));
    copier.FillAll();
    copier.Save();
    true_defaults = copier.true_defaults();
  }
  out->Release();
  raw->Release();
  std::string data = ReadWhole(argv[3]);
  WidenTrueDefaults(data, true_defaults);
  RestateDescribedSizes(data, target);
  WriteWhole(argv[3], data);
  CoUninitialize();
  return 0;
}
