// An early-bound client of the registered Brightkeep.dll (path in BK_COM_DLL):
// vtable calls through the header widl generates, error information read
// back through IErrorInfo, IDispatch through the type library, and the
// server's entry points called directly.
#include <windows.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <utility>

#include "component/com/brightkeep_idl.h"
#include "support/temp_dir.h"
#include "typelib_reader.h"

namespace {

using bk::comtest::Held;

std::wstring Wide(const std::string& utf8) {
  const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, wide.data(), n);
  wide.resize(static_cast<size_t>(n - 1));
  return wide;
}

// A BSTR owned by the test.
class Bstr {
 public:
  Bstr() = default;
  explicit Bstr(const std::wstring& text) : b_(SysAllocString(text.c_str())) {}
  explicit Bstr(const std::string& utf8) : Bstr(Wide(utf8)) {}
  ~Bstr() { SysFreeString(b_); }
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  BSTR* ref() { return &b_; }  // for by-reference parameters
  BSTR* put() {                // for out parameters
    SysFreeString(b_);
    b_ = nullptr;
    return &b_;
  }
  BSTR get() const { return b_; }
  std::wstring text() const { return b_ ? b_ : L""; }

 private:
  BSTR b_ = nullptr;
};

// The thread's error information: source and description.
std::pair<std::wstring, std::wstring> TakeErrorInfo() {
  Held<IErrorInfo> info;
  if (GetErrorInfo(0, info.put()) != S_OK) return {L"<none>", L"<none>"};
  Bstr source, description;
  info->GetSource(source.put());
  info->GetDescription(description.put());
  return {source.text(), description.text()};
}

HRESULT ControlError(LONG number) { return MAKE_HRESULT(SEVERITY_ERROR, FACILITY_CONTROL, number); }

template <typename T>
void Create(const CLSID& clsid, Held<T>& object) {
  ASSERT_HRESULT_SUCCEEDED(
      CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, __uuidof(T), reinterpret_cast<void**>(object.put())));
}

// Number of files directly in a folder.
int CountFiles(const std::string& folder) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((Wide(folder) + L"\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return 0;
  int count = 0;
  do {
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) ++count;
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return count;
}

// Starts a period in `dir`/temp with the backup going to `dir`/backup.zip,
// and makes `file` safe when one is named.
void BeginPeriod(_clsFileRollbackCreate* safe, const bk::testing::TempDir& dir, const std::string& file = {}) {
  Bstr temp(dir / "temp"), backup(dir / "backup.zip"), name(file);
  ASSERT_HRESULT_SUCCEEDED(safe->put_TempDir(temp.ref()));
  ASSERT_HRESULT_SUCCEEDED(safe->put_BackupFile(backup.ref()));
  ASSERT_HRESULT_SUCCEEDED(safe->BeginSafety());
  if (!file.empty()) {
    ASSERT_HRESULT_SUCCEEDED(safe->MakeFileSafe(name.get()));
  }
}

class Server : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* dll = std::getenv("BK_COM_DLL");
    ASSERT_NE(dll, nullptr) << "BK_COM_DLL names the registered DLL";
    module_ = LoadLibraryW(Wide(dll).c_str());
    ASSERT_NE(module_, nullptr);
    get_ = reinterpret_cast<decltype(get_)>(reinterpret_cast<void*>(GetProcAddress(module_, "DllGetClassObject")));
    can_unload_ = reinterpret_cast<decltype(can_unload_)>(
        reinterpret_cast<void*>(GetProcAddress(module_, "DllCanUnloadNow")));
    ASSERT_NE(get_, nullptr);
    ASSERT_NE(can_unload_, nullptr);
  }
  void TearDown() override {
    if (module_) FreeLibrary(module_);
  }
  HRESULT Factory(const CLSID& clsid, Held<IClassFactory>& factory) {
    return get_(clsid, IID_IClassFactory, reinterpret_cast<void**>(factory.put()));
  }

  HMODULE module_ = nullptr;
  HRESULT(STDAPICALLTYPE* get_)(REFCLSID, REFIID, void**) = nullptr;
  HRESULT(STDAPICALLTYPE* can_unload_)() = nullptr;
};

TEST_F(Server, ClassFactoriesOnlyForTheCreatableClasses) {
  Held<IClassFactory> factory;
  EXPECT_EQ(Factory(__uuidof(clsFileRollbackLog), factory), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(Factory(__uuidof(clsFileRollBackLogZip), factory), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(factory.get(), nullptr);
  ASSERT_HRESULT_SUCCEEDED(Factory(__uuidof(clsRollbackManager), factory));
  Held<IUnknown> object;
  EXPECT_EQ(factory->CreateInstance(factory.get(), IID_IUnknown, reinterpret_cast<void**>(object.put())),
            CLASS_E_NOAGGREGATION);
  ASSERT_HRESULT_SUCCEEDED(Factory(__uuidof(clsFileRollbackCreate), factory));
  EXPECT_HRESULT_SUCCEEDED(
      factory->CreateInstance(nullptr, __uuidof(_clsFileRollbackCreate), reinterpret_cast<void**>(object.put())));
}

TEST_F(Server, CanUnloadNowCountsObjectsAndLocks) {
  EXPECT_EQ(can_unload_(), S_OK);
  Held<IClassFactory> factory;
  ASSERT_HRESULT_SUCCEEDED(Factory(__uuidof(clsRollbackManager), factory));
  EXPECT_EQ(can_unload_(), S_FALSE) << "a class factory is alive";
  Held<_clsRollbackManager> manager;
  ASSERT_HRESULT_SUCCEEDED(
      factory->CreateInstance(nullptr, __uuidof(_clsRollbackManager), reinterpret_cast<void**>(manager.put())));
  ASSERT_HRESULT_SUCCEEDED(factory->LockServer(TRUE));
  factory.reset();
  EXPECT_EQ(can_unload_(), S_FALSE) << "an object and a lock are alive";
  manager.reset();
  EXPECT_EQ(can_unload_(), S_FALSE) << "the lock is held";
  ASSERT_HRESULT_SUCCEEDED(Factory(__uuidof(clsRollbackManager), factory));
  ASSERT_HRESULT_SUCCEEDED(factory->LockServer(FALSE));
  factory.reset();
  EXPECT_EQ(can_unload_(), S_OK);
}

TEST_F(Server, VersionResourceAnnouncesSelfRegistration) {
  const std::wstring path = Wide(std::getenv("BK_COM_DLL"));
  DWORD handle = 0;
  const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
  ASSERT_GT(size, 0u);
  std::string block(size, '\0');
  ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, block.data()));
  void* value = nullptr;
  UINT length = 0;
  EXPECT_TRUE(VerQueryValueW(block.data(), L"\\StringFileInfo\\040904B0\\OLESelfRegister", &value, &length));
  ASSERT_TRUE(VerQueryValueW(block.data(), L"\\StringFileInfo\\040904B0\\FileDescription", &value, &length));
  EXPECT_STREQ(static_cast<const wchar_t*>(value), L"VELMAR File Rollback");
}

TEST(SafeModeObject, PropertiesThroughTheVtable) {
  Held<_clsFileRollbackCreate> safe;
  Create(__uuidof(clsFileRollbackCreate), safe);
  VARIANT_BOOL mode = VARIANT_TRUE;
  ASSERT_HRESULT_SUCCEEDED(safe->get_SafeMode(&mode));
  EXPECT_EQ(mode, VARIANT_FALSE);
  Bstr folder(std::wstring(L"C:\\Temp")), file(std::wstring(L"C:\\b.zip")), read;
  ASSERT_HRESULT_SUCCEEDED(safe->put_TempDir(folder.ref()));
  EXPECT_EQ(folder.text(), L"C:\\Temp") << "the by-reference argument is not written";
  ASSERT_HRESULT_SUCCEEDED(safe->get_TempDir(read.put()));
  EXPECT_EQ(read.text(), L"C:\\Temp\\");
  ASSERT_HRESULT_SUCCEEDED(safe->put_BackupFile(file.ref()));
  ASSERT_HRESULT_SUCCEEDED(safe->get_BackupFile(read.put()));
  EXPECT_EQ(read.text(), L"C:\\b.zip");
  EXPECT_EQ(safe->put_TempDir(nullptr), E_POINTER);
  EXPECT_EQ(safe->get_SafeMode(nullptr), E_POINTER);
}

TEST(SafeModeObject, ErrorsCarryNumberSourceAndDescription) {
  bk::testing::TempDir dir;
  Held<_clsFileRollbackCreate> safe;
  Create(__uuidof(clsFileRollbackCreate), safe);
  Held<ISupportErrorInfo> support;
  ASSERT_HRESULT_SUCCEEDED(safe->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void**>(support.put())));
  EXPECT_EQ(support->InterfaceSupportsErrorInfo(__uuidof(_clsFileRollbackCreate)), S_OK);
  EXPECT_EQ(support->InterfaceSupportsErrorInfo(__uuidof(_clsRollbackManager)), S_FALSE);

  EXPECT_EQ(safe->UndoSafetyOperations(VARIANT_FALSE, VARIANT_TRUE), ControlError(bkCreateErrorNotInSafeMode));
  EXPECT_EQ(TakeErrorInfo(), std::make_pair(std::wstring(L"UndoSafetyOperations"), std::wstring(L"Not in safe mode")));
  Bstr missing(dir / "missing.txt");
  EXPECT_EQ(safe->MakeFileSafe(missing.get()), static_cast<HRESULT>(0x800A7531));
  EXPECT_EQ(TakeErrorInfo(), std::make_pair(std::wstring(L"MakeFileSafe"), std::wstring(L"File Not Found")));
  BeginPeriod(safe.get(), dir);
  EXPECT_EQ(safe->BeginSafety(), static_cast<HRESULT>(0x800A7533));
  EXPECT_EQ(TakeErrorInfo(), std::make_pair(std::wstring(L"BeginSafety"), std::wstring(L"Already in safe mode")));
  EXPECT_HRESULT_SUCCEEDED(safe->UndoSafetyOperations(VARIANT_TRUE, VARIANT_TRUE));
}

// A temporary folder with one file to make safe.
class WorkFile : public ::testing::Test {
 protected:
  void SetUp() override { bk::testing::WriteFile(file, "original"); }
  bk::testing::TempDir dir;
  const std::string file = dir / "work.txt";
};

TEST_F(WorkFile, NullStandsForAnOmittedDefault) {
  Held<_clsFileRollbackCreate> safe;
  Create(__uuidof(clsFileRollbackCreate), safe);
  BeginPeriod(safe.get(), dir, file);
  ASSERT_HRESULT_SUCCEEDED(safe->EndSafety(nullptr));
  EXPECT_TRUE(bk::testing::Exists(dir / "backup.zip"));
  EXPECT_EQ(CountFiles(dir / "temp"), 0) << "the log is deleted as with False";
}

// A period abandoned in safe mode, found and rolled back through the vtables.
TEST_F(WorkFile, FailedLogsAndTheObjectsTheyHandOut) {
  {
    Held<_clsFileRollbackCreate> safe;
    Create(__uuidof(clsFileRollbackCreate), safe);
    BeginPeriod(safe.get(), dir, file);
  }
  bk::testing::WriteFile(file, "changed");

  Held<_clsRollbackManager> manager;
  Create(__uuidof(clsRollbackManager), manager);
  Held<_Collection> logs, again;
  ASSERT_HRESULT_SUCCEEDED(manager->get_FailedLogs(logs.put()));
  EXPECT_EQ(logs.get(), nullptr) << "no collection before an assessment";
  Bstr folder(dir / "temp");
  ASSERT_HRESULT_SUCCEEDED(manager->AssessRollback(folder.ref()));
  ASSERT_HRESULT_SUCCEEDED(manager->get_FailedLogs(logs.put()));
  ASSERT_HRESULT_SUCCEEDED(manager->get_FailedLogs(again.put()));
  EXPECT_EQ(logs.get(), again.get());
  LONG count = 0;
  ASSERT_HRESULT_SUCCEEDED(logs->Count(&count));
  ASSERT_EQ(count, 1);

  VARIANT index, item;
  VariantInit(&item);
  V_VT(&index) = VT_I4;
  V_I4(&index) = 1;
  ASSERT_HRESULT_SUCCEEDED(logs->Item(&index, &item));
  ASSERT_EQ(V_VT(&item), VT_DISPATCH);
  Held<_clsFileRollbackLog> log;
  ASSERT_HRESULT_SUCCEEDED(V_DISPATCH(&item)->QueryInterface(__uuidof(_clsFileRollbackLog),
                                                             reinterpret_cast<void**>(log.put())));
  VariantClear(&item);

  Held<_clsFileRollBackLogZip> zip;
  ASSERT_HRESULT_SUCCEEDED(log->get_Zip(1, zip.put()));
  Held<_clsFileRollbackLog> parent;
  ASSERT_HRESULT_SUCCEEDED(zip->get_Parent(parent.put()));
  EXPECT_EQ(parent.get(), log.get()) << "the same core log is the same COM object";
  Bstr path;
  ASSERT_HRESULT_SUCCEEDED(zip->get_FilePath(1, path.put()));
  EXPECT_EQ(path.text(), Wide(file));
  EXPECT_EQ(log->get_Zip(2, zip.put()), ControlError(9));
  EXPECT_EQ(zip.get(), nullptr);

  Held<IUnknown> unknown;
  Held<IEnumVARIANT> items;
  ASSERT_HRESULT_SUCCEEDED(logs->_NewEnum(unknown.put()));
  ASSERT_HRESULT_SUCCEEDED(unknown->QueryInterface(IID_IEnumVARIANT, reinterpret_cast<void**>(items.put())));
  ULONG fetched = 0;
  ASSERT_EQ(items->Next(1, &item, &fetched), S_OK);
  EXPECT_EQ(V_DISPATCH(&item), static_cast<IDispatch*>(log.get()));
  VariantClear(&item);
  EXPECT_EQ(items->Next(1, &item, &fetched), S_FALSE);
  EXPECT_EQ(fetched, 0u);

  ASSERT_HRESULT_SUCCEEDED(log->Rollback(nullptr));
  EXPECT_EQ(bk::testing::ReadFile(file), "original");
  LONG zips = 0;
  ASSERT_HRESULT_SUCCEEDED(log->get_ZipCount(&zips));
  ASSERT_HRESULT_SUCCEEDED(log->get_Zip(zips, zip.put()));
  Bstr archive;
  ASSERT_HRESULT_SUCCEEDED(zip->get_ZipName(archive.put()));
  EXPECT_EQ(GetFileAttributesW(archive.get()), INVALID_FILE_ATTRIBUTES) << "the default deletes the archive";
}

TEST(Dispatch, NamesAndInvokeThroughTheTypeLibrary) {
  Held<IDispatch> object;
  Create(__uuidof(clsFileRollbackCreate), object);
  LPOLESTR name = const_cast<LPOLESTR>(L"tempdir");
  DISPID id = 0;
  ASSERT_HRESULT_SUCCEEDED(object->GetIDsOfNames(IID_NULL, &name, 1, 0, &id));
  EXPECT_EQ(id, static_cast<DISPID>(0x6803000A));

  // A put with a variable by reference, as scripting clients pass it.
  VARIANT variable, argument, result;
  VariantInit(&variable);
  V_VT(&variable) = VT_BSTR;
  V_BSTR(&variable) = SysAllocString(L"C:\\Dispatch");
  V_VT(&argument) = VT_BYREF | VT_VARIANT;
  V_VARIANTREF(&argument) = &variable;
  DISPID put = DISPID_PROPERTYPUT;
  DISPPARAMS put_params = {&argument, &put, 1, 1};
  ASSERT_HRESULT_SUCCEEDED(object->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYPUT, &put_params, nullptr, nullptr, nullptr));
  DISPPARAMS none = {nullptr, nullptr, 0, 0};
  VariantInit(&result);
  ASSERT_HRESULT_SUCCEEDED(object->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr));
  ASSERT_EQ(V_VT(&result), VT_BSTR);
  EXPECT_STREQ(V_BSTR(&result), L"C:\\Dispatch\\");
  VariantClear(&result);
  VariantClear(&variable);

  // An error reaches a dispatch client in EXCEPINFO.
  EXCEPINFO exception{};
  EXPECT_EQ(object->Invoke(0x60030013, IID_NULL, 0, DISPATCH_METHOD, &none, nullptr, &exception, nullptr),
            DISP_E_EXCEPTION);
  EXPECT_EQ(exception.scode, ControlError(bkCreateErrorNotInSafeMode));
  EXPECT_STREQ(exception.bstrSource, L"UndoSafetyOperations");
  EXPECT_STREQ(exception.bstrDescription, L"Not in safe mode");
  SysFreeString(exception.bstrSource);
  SysFreeString(exception.bstrDescription);
  SysFreeString(exception.bstrHelpFile);

  Held<ITypeInfo> info;
  ASSERT_HRESULT_SUCCEEDED(object->GetTypeInfo(0, 0, info.put()));
  TYPEATTR* attr = nullptr;
  ASSERT_HRESULT_SUCCEEDED(info->GetTypeAttr(&attr));
  EXPECT_TRUE(IsEqualGUID(attr->guid, __uuidof(_clsFileRollbackCreate)));
  EXPECT_EQ(attr->typekind, TKIND_DISPATCH);
  info->ReleaseTypeAttr(attr);
}

}  // namespace
