// COM class clsFileRollbackCreate: converts and delegates to the core object.
#include "component/com/dual_object.h"
#include "component/com/objects.h"
#include "safemode/file_rollback_create.h"

namespace bk::com {
namespace {

class FileRollbackCreateObject final : public DualObject<_clsFileRollbackCreate> {
 public:
  HRESULT STDMETHODCALLTYPE get_BackupFile(BSTR* value) override {
    return Run([&] { PutString(core_.BackupFile(), value); });
  }
  HRESULT STDMETHODCALLTYPE put_BackupFile(BSTR* value) override {
    return Run([&] { core_.BackupFile(Utf8(value)); });
  }
  HRESULT STDMETHODCALLTYPE BeginSafety() override {
    return Run([&] { core_.BeginSafety(); });
  }
  HRESULT STDMETHODCALLTYPE EndSafety(VARIANT_BOOL* keep_log_file) override {
    return Run([&] { core_.EndSafety(FromOptional(keep_log_file, false)); });
  }
  HRESULT STDMETHODCALLTYPE MakeFileSafe(BSTR file_name) override {
    return Run([&] { core_.MakeFileSafe(Utf8(file_name)); });
  }
  HRESULT STDMETHODCALLTYPE UndoSafetyOperations(VARIANT_BOOL delete_log, VARIANT_BOOL delete_zips) override {
    return Run([&] {
      core_.UndoSafetyOperations(delete_log != VARIANT_FALSE, delete_zips != VARIANT_FALSE);
    });
  }
  HRESULT STDMETHODCALLTYPE get_SafeMode(VARIANT_BOOL* value) override {
    return Run([&] { PutValue(value, ToVariantBool(core_.SafeMode())); });
  }
  HRESULT STDMETHODCALLTYPE put_TempDir(BSTR* value) override {
    return Run([&] { core_.TempDir(Utf8(value)); });
  }
  HRESULT STDMETHODCALLTYPE get_TempDir(BSTR* value) override {
    return Run([&] { PutString(core_.TempDir(), value); });
  }

 private:
  bk::clsFileRollbackCreate core_;
};

}  // namespace

HRESULT CreateFileRollbackCreateObject(REFIID iid, void** out) {
  return CreateAndQuery<FileRollbackCreateObject>(iid, out);
}

}  // namespace bk::com
