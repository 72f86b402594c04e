// Checks the type library embedded in Brightkeep.dll (the path comes in
// BK_COM_DLL) against the published description of the component: library
// attributes, the order of the type descriptions, every interface's IID,
// flags, member order, DISPIDs, kinds, parameter types, flags, names and
// defaults, help strings, the coclasses and the enumeration; and, in the
// file's own bytes, the target's vtable offsets and interface alignment.
//
// BK_COM_TARGET (win32 or win64, by default this program's own) names the
// architecture the DLL was built for: the 64-bit checker also checks the
// 32-bit DLL, loaded as data, so that the check needs no 32-bit execution.
// A reader scales vtable offsets to its own pointer size, so through
// ITypeInfo they read in this process's units whatever the target.
#include <windows.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "component/com/typelib_records.h"
#include "typelib_reader.h"

namespace {

struct TargetFacts {
  SYSKIND syskind;
  int pointer_size;
};

TargetFacts Target() {
  const char* target = std::getenv("BK_COM_TARGET");
  const bool win32 = target ? std::string(target) == "win32" : sizeof(void*) == 4;
  return win32 ? TargetFacts{SYS_WIN32, 4} : TargetFacts{SYS_WIN64, 8};
}

// The bytes of the DLL's type-library resource, loaded as data.
std::string EmbeddedLibrary(const char* dll) {
  const int n = MultiByteToWideChar(CP_UTF8, 0, dll, -1, nullptr, 0);
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, dll, -1, wide.data(), n);
  HMODULE module = LoadLibraryExW(wide.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  if (!module) return {};
  std::string bytes;
  if (HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(1), L"TYPELIB")) {
    if (HGLOBAL loaded = LoadResource(module, found)) {
      bytes.assign(static_cast<const char*>(LockResource(loaded)), SizeofResource(module, found));
    }
  }
  FreeLibrary(module);
  return bytes;
}

using bk::comtest::Held;
using bk::comtest::LibraryOf;
using bk::comtest::Member;
using bk::comtest::Param;
using bk::comtest::ReadInterface;

constexpr USHORT kIn = PARAMFLAG_FIN;
constexpr USHORT kByRef = PARAMFLAG_FIN | PARAMFLAG_FOUT;
constexpr USHORT kOpt = PARAMFLAG_FOPT;
constexpr USHORT kDef = PARAMFLAG_FHASDEFAULT;
constexpr INVOKEKIND kGet = INVOKE_PROPERTYGET, kPut = INVOKE_PROPERTYPUT, kFunc = INVOKE_FUNC;

struct PublishedInterface {
  const wchar_t* name;
  const wchar_t* iid;
  std::vector<Member> members;
};

// The interfaces as published: member order, DISPIDs, kinds, parameters
// (name, type, flags, default), result type and help string.
const std::vector<PublishedInterface>& Interfaces() {
  static const std::vector<PublishedInterface> interfaces = {
      {L"_clsFileRollbackCreate", L"{CA3E6756-38CC-11D5-9DE5-00B0D0A23A27}",
       {
           {0x6803000C, L"BackupFile", kGet, {}, L"BSTR", L""},
           {0x6803000C, L"BackupFile", kPut, {{L"", L"BSTR*", kByRef}}, L"", L""},
           {0x6003000D, L"BeginSafety", kFunc, {}, L"", L""},
           {0x60030010, L"EndSafety", kFunc, {{L"blnKeepLogFile", L"VARIANT_BOOL*", kByRef | kOpt | kDef, 0}}, L"", L""},
           {0x60030012, L"MakeFileSafe", kFunc, {{L"strFileName", L"BSTR", kIn}}, L"",
            L"Adds the specified file to the rollback list and creates a back up of the file"},
           {0x60030013, L"UndoSafetyOperations", kFunc,
            {{L"blnDeleteLog", L"VARIANT_BOOL", kIn | kOpt | kDef, 0},
             {L"blnDeleteZips", L"VARIANT_BOOL", kIn | kOpt | kDef, -1}}, L"", L""},
           {0x6803000B, L"SafeMode", kGet, {}, L"VARIANT_BOOL", L"Returns the Safemode status of the object"},
           {0x6803000A, L"TempDir", kPut, {{L"", L"BSTR*", kByRef}}, L"", L""},
           {0x6803000A, L"TempDir", kGet, {}, L"BSTR", L""},
       }},
      {L"_clsFileRollbackLog", L"{CA3E6757-38CC-11D5-9DE5-00B0D0A23A27}",
       {
           {0x60030008, L"CreateLogFile", kFunc, {{L"strLogFileName", L"BSTR*", kByRef}}, L"", L""},
           {0x68030007, L"LogFileName", kGet, {}, L"BSTR", L""},
           {0x68030006, L"StartDate", kGet, {}, L"DATE", L""},
           {0x68030005, L"TempPath", kPut, {{L"", L"BSTR*", kByRef}}, L"", L""},
           {0x68030005, L"TempPath", kGet, {}, L"BSTR", L""},
           {0x68030004, L"BackupDestFileName", kPut, {{L"", L"BSTR*", kByRef}}, L"", L""},
           {0x68030004, L"BackupDestFileName", kGet, {}, L"BSTR", L""},
           {0x68030003, L"ZipCount", kGet, {}, L"LONG", L""},
           {0x68030002, L"Zip", kGet, {{L"lngIndex", L"LONG", kIn}}, L"_clsFileRollBackLogZip*", L""},
           {0x68030001, L"ZipByDrive", kGet, {{L"strDrive", L"BSTR*", kByRef}}, L"_clsFileRollBackLogZip*", L""},
           {0x60030009, L"AddZip", kFunc, {{L"strName", L"BSTR*", kByRef}, {L"strDrive", L"BSTR*", kByRef}},
            L"_clsFileRollBackLogZip*", L""},
           {0x6003000A, L"LoadFromFile", kFunc, {{L"strLogFile", L"BSTR*", kByRef}}, L"", L""},
           {0x68030000, L"Completed", kGet, {}, L"VARIANT_BOOL", L""},
           {0x6003000F, L"Rollback", kFunc, {{L"blnDeleteZip", L"VARIANT_BOOL*", kByRef | kOpt | kDef, -1}}, L"", L""},
       }},
      {L"_clsFileRollBackLogZip", L"{CA3E6758-38CC-11D5-9DE5-00B0D0A23A27}",
       {
           {0x68030006, L"Parent", kGet, {}, L"_clsFileRollbackLog*", L""},
           {0x68030004, L"ZipId", kGet, {}, L"LONG", L""},
           {0x68030003, L"ZipName", kGet, {}, L"BSTR", L""},
           {0x68030002, L"ZipDrive", kGet, {}, L"BSTR", L""},
           {0x68030002, L"ZipDrive", kPut, {{L"", L"BSTR*", kByRef}}, L"", L""},
           {0x68030001, L"FileCount", kGet, {}, L"LONG", L""},
           {0x68030000, L"FilePath", kGet, {{L"lngFileIndex", L"LONG", kIn}}, L"BSTR", L""},
           {0x60030007, L"AddFile", kFunc, {{L"strPath", L"BSTR*", kByRef}}, L"", L""},
       }},
      {L"_clsRollbackManager", L"{CA3E6759-38CC-11D5-9DE5-00B0D0A23A27}",
       {
           {0x60030001, L"AssessRollback", kFunc, {{L"strTempDir", L"BSTR*", kByRef}}, L"", L""},
           {0x68030000, L"FailedLogs", kGet, {}, L"_Collection*", L""},
       }},
      {L"_Collection", L"{A4C46780-499F-101B-BB78-00AA00383CBB}",
       {
           {0, L"Item", kFunc, {{L"Index", L"VARIANT*", kIn}}, L"VARIANT", L""},
           {1, L"Add", kFunc,
            {{L"Item", L"VARIANT*", kIn}, {L"Key", L"VARIANT*", kIn | kOpt},
             {L"Before", L"VARIANT*", kIn | kOpt}, {L"After", L"VARIANT*", kIn | kOpt}}, L"", L""},
           {2, L"Count", kFunc, {}, L"LONG", L""},
           {3, L"Remove", kFunc, {{L"Index", L"VARIANT*", kIn}}, L"", L""},
           {-4, L"_NewEnum", kFunc, {}, L"IUnknown*", L""},
       }},
  };
  return interfaces;
}

class TypeLibrary : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    const char* dll = std::getenv("BK_COM_DLL");
    ASSERT_NE(dll, nullptr) << "BK_COM_DLL names the DLL to check";
    library_ = LibraryOf(dll);
    ASSERT_NE(library_, nullptr) << "the DLL holds no loadable type library";
  }
  static void TearDownTestSuite() {
    if (library_) library_->Release();
    library_ = nullptr;
  }
  static ITypeLib* library_;
};
ITypeLib* TypeLibrary::library_ = nullptr;

std::wstring Name(ITypeLib* library, INT index) {
  BSTR name = nullptr;
  library->GetDocumentation(index, &name, nullptr, nullptr, nullptr);
  std::wstring result = name ? name : L"";
  SysFreeString(name);
  return result;
}

GUID GuidOf(const wchar_t* text) {
  GUID guid{};
  CLSIDFromString(const_cast<LPOLESTR>(text), &guid);
  return guid;
}

TEST_F(TypeLibrary, LibraryAttributes) {
  TLIBATTR* attr = nullptr;
  ASSERT_HRESULT_SUCCEEDED(library_->GetLibAttr(&attr));
  EXPECT_TRUE(IsEqualGUID(attr->guid, GuidOf(L"{8C4379DD-1AD9-11D5-B16C-00B0D02F72C6}")));
  EXPECT_EQ(attr->wMajorVerNum, 4);
  EXPECT_EQ(attr->wMinorVerNum, 0);
  EXPECT_EQ(attr->lcid, 0u);
  EXPECT_EQ(attr->syskind, Target().syskind);
  library_->ReleaseTLibAttr(attr);
  BSTR name = nullptr, doc = nullptr, help_file = nullptr;
  DWORD context = 1;
  ASSERT_HRESULT_SUCCEEDED(library_->GetDocumentation(-1, &name, &doc, &context, &help_file));
  EXPECT_STREQ(name, L"VELMARBrightkeep");
  EXPECT_STREQ(doc, L"VELMAR File Rollback");
  EXPECT_EQ(help_file, nullptr);
  EXPECT_EQ(context, 0u);
  SysFreeString(name);
  SysFreeString(doc);
  SysFreeString(help_file);
}

TEST_F(TypeLibrary, TypeDescriptionsInPublishedOrder) {
  const std::vector<std::wstring> order = {
      L"_clsFileRollbackCreate", L"clsFileRollbackCreate", L"_clsFileRollbackLog", L"clsFileRollbackLog",
      L"_clsFileRollBackLogZip", L"clsFileRollBackLogZip", L"_clsRollbackManager", L"clsRollbackManager",
      L"bkCreateError",
      // The automation collection interface that FailedLogs returns.
      L"_Collection"};
  ASSERT_EQ(library_->GetTypeInfoCount(), order.size());
  for (UINT i = 0; i < order.size(); ++i) EXPECT_EQ(Name(library_, static_cast<INT>(i)), order[i]) << i;
}

TEST_F(TypeLibrary, DualInterfaces) {
  for (const PublishedInterface& published : Interfaces()) {
    SCOPED_TRACE(testing::Message() << "interface index " << (&published - Interfaces().data()));
    Held<ITypeInfo> dispatch;
    ASSERT_HRESULT_SUCCEEDED(library_->GetTypeInfoOfGuid(GuidOf(published.iid), dispatch.put()));
    const bk::comtest::InterfaceFacts facts = ReadInterface(dispatch.get());
    EXPECT_EQ(facts.name, published.name);
    EXPECT_EQ(facts.dispatch_kind, TKIND_DISPATCH);
    EXPECT_EQ(facts.vtable_kind, TKIND_INTERFACE);
    EXPECT_EQ(facts.vtable_flags, TYPEFLAG_FHIDDEN | TYPEFLAG_FDUAL | TYPEFLAG_FNONEXTENSIBLE |
                                      TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDISPATCHABLE);
    EXPECT_EQ(facts.base, L"IDispatch");
    EXPECT_EQ(facts.base_library, L"stdole");
    EXPECT_EQ(facts.doc, L"");
    ASSERT_EQ(facts.members.size(), published.members.size());
    for (size_t i = 0; i < published.members.size(); ++i) {
      SCOPED_TRACE(testing::Message() << "member " << i);
      const Member& want = published.members[i];
      const Member& got = facts.members[i];
      EXPECT_EQ(got.id, want.id);
      EXPECT_EQ(got.name, want.name);
      EXPECT_EQ(got.kind, want.kind);
      EXPECT_EQ(got.result, want.result);
      EXPECT_EQ(got.result_flags, want.result.empty() ? 0 : PARAMFLAG_FOUT | PARAMFLAG_FRETVAL);
      EXPECT_EQ(got.help, want.help);
      EXPECT_EQ(got.vtable_offset, static_cast<SHORT>((7 + i) * sizeof(void*)));
      EXPECT_TRUE(got.stdcall_hresult);
      EXPECT_EQ(got.help_context, 0u);
      ASSERT_EQ(got.params.size(), want.params.size());
      for (size_t p = 0; p < want.params.size(); ++p) {
        SCOPED_TRACE(testing::Message() << "parameter " << p);
        EXPECT_EQ(got.params[p].name, want.params[p].name);
        EXPECT_EQ(got.params[p].type, want.params[p].type);
        EXPECT_EQ(got.params[p].flags, want.params[p].flags);
        EXPECT_EQ(got.params[p].default_bool, want.params[p].default_bool);
      }
    }
  }
}

// The file as the target reads it: its system kind, each interface member's
// vtable slot in the target's pointer size (the published order after the
// seven methods of IDispatch), and interfaces aligned to one pointer.
TEST_F(TypeLibrary, LayoutForTarget) {
  const std::string file = EmbeddedLibrary(std::getenv("BK_COM_DLL"));
  const auto header = bk::typelib::ReadHeader(file);
  ASSERT_TRUE(header.has_value()) << "no type library resource in the format LoadTypeLib reads";
  EXPECT_EQ(header->syskind, static_cast<uint32_t>(Target().syskind));
  const auto records = bk::typelib::ReadMemberRecords(file);
  ASSERT_TRUE(records.has_value());
  size_t functions = 0;
  for (const bk::typelib::MemberRecord& r : *records) {
    if (!r.is_function) continue;
    ++functions;
    EXPECT_EQ(r.vtable_offset & ~1, (7 + r.member_index) * Target().pointer_size)
        << "type " << r.type_index << " member " << r.member_index;
  }
  size_t expected_functions = 0;
  for (const PublishedInterface& published : Interfaces()) expected_functions += published.members.size();
  EXPECT_EQ(functions, expected_functions);
  for (const PublishedInterface& published : Interfaces()) {
    Held<ITypeInfo> dispatch;
    ASSERT_HRESULT_SUCCEEDED(library_->GetTypeInfoOfGuid(GuidOf(published.iid), dispatch.put()));
    Held<ITypeLib> owner;
    UINT index = 0;
    ASSERT_HRESULT_SUCCEEDED(dispatch->GetContainingTypeLib(owner.put(), &index));
    EXPECT_EQ(bk::typelib::AlignmentOf(file, static_cast<int>(index)), Target().pointer_size) << index;
  }
}

TEST_F(TypeLibrary, Coclasses) {
  struct Coclass {
    const wchar_t* name;
    const wchar_t* clsid;
    const wchar_t* interface_name;
    WORD flags;
  };
  const Coclass coclasses[] = {
      {L"clsFileRollbackCreate", L"{8C4379E3-1AD9-11D5-B16C-00B0D02F72C6}", L"_clsFileRollbackCreate", TYPEFLAG_FCANCREATE},
      {L"clsFileRollbackLog", L"{8C4379E1-1AD9-11D5-B16C-00B0D02F72C6}", L"_clsFileRollbackLog", 0},
      {L"clsFileRollBackLogZip", L"{8C4379DF-1AD9-11D5-B16C-00B0D02F72C6}", L"_clsFileRollBackLogZip", 0},
      {L"clsRollbackManager", L"{8C4379E6-1AD9-11D5-B16C-00B0D02F72C6}", L"_clsRollbackManager", TYPEFLAG_FCANCREATE},
  };
  for (const Coclass& want : coclasses) {
    SCOPED_TRACE(testing::Message() << "coclass " << (&want - coclasses));
    Held<ITypeInfo> info;
    ASSERT_HRESULT_SUCCEEDED(library_->GetTypeInfoOfGuid(GuidOf(want.clsid), info.put()));
    const bk::comtest::CoclassFacts got = bk::comtest::ReadCoclass(info.get());
    EXPECT_EQ(got.name, want.name);
    EXPECT_EQ(got.kind, TKIND_COCLASS);
    EXPECT_EQ(got.flags, want.flags);
    ASSERT_EQ(got.interfaces.size(), 1u);
    EXPECT_EQ(got.interfaces[0], want.interface_name);
    EXPECT_EQ(got.interface_flags[0], IMPLTYPEFLAG_FDEFAULT);
  }
}

TEST_F(TypeLibrary, ErrorEnumeration) {
  Held<ITypeInfo> info;
  ASSERT_HRESULT_SUCCEEDED(library_->GetTypeInfoOfGuid(GuidOf(L"{54894190-1BCF-11D5-B16C-00B0D02F72C6}"), info.put()));
  const bk::comtest::EnumFacts got = bk::comtest::ReadEnum(info.get());
  EXPECT_EQ(got.name, L"bkCreateError");
  EXPECT_EQ(got.kind, TKIND_ENUM);
  const std::vector<bk::comtest::Constant> want = {
      {L"bkCreateErrorUnableToOpenFile", 30000, L"bkCreateErrorUnableToOpenFile"},
      {L"bkCreateErrorFileNotFound", 30001, L"bkCreateErrorFileNotFound"},
      {L"bkCreateErrorNotInSafeMode", 30002, L"bkCreateErrorNotInSafeMode"},
      {L"bkCreateErrorAlreadyInSafeMode", 30003, L"bkCreateErrorAlreadyInSafeMode"},
  };
  ASSERT_EQ(got.constants.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(got.constants[i].name, want[i].name);
    EXPECT_EQ(got.constants[i].value, want[i].value);
    EXPECT_EQ(got.constants[i].help, want[i].help);
    EXPECT_TRUE(got.constants[i].is_i4_constant);
  }
}

}  // namespace
