// COM classes clsFileRollbackLog and clsFileRollBackLogZip: wrappers of the
// core objects, one per core object and thread (identity_map.h).
#include "component/com/dual_object.h"
#include "component/com/identity_map.h"
#include "component/com/objects.h"

namespace bk::com {
namespace {

class LogObject final : public DualObject<_clsFileRollbackLog> {
 public:
  explicit LogObject(std::shared_ptr<bk::clsFileRollbackLog> core)
      : core_(std::move(core)), identity_(core_.get(), this) {}

  HRESULT STDMETHODCALLTYPE CreateLogFile(BSTR* name) override {
    return Run([&] { core_->CreateLogFile(Utf8(name)); });
  }
  HRESULT STDMETHODCALLTYPE get_LogFileName(BSTR* value) override {
    return Run([&] { PutString(core_->LogFileName(), value); });
  }
  HRESULT STDMETHODCALLTYPE get_StartDate(DATE* value) override {
    return Run([&] { PutValue(value, core_->StartDate()); });
  }
  HRESULT STDMETHODCALLTYPE put_TempPath(BSTR* value) override {
    return Run([&] { core_->TempPath(Utf8(value)); });
  }
  HRESULT STDMETHODCALLTYPE get_TempPath(BSTR* value) override {
    return Run([&] { PutString(core_->TempPath(), value); });
  }
  HRESULT STDMETHODCALLTYPE put_BackupDestFileName(BSTR* value) override {
    return Run([&] { core_->BackupDestFileName(Utf8(value)); });
  }
  HRESULT STDMETHODCALLTYPE get_BackupDestFileName(BSTR* value) override {
    return Run([&] { PutString(core_->BackupDestFileName(), value); });
  }
  HRESULT STDMETHODCALLTYPE get_ZipCount(LONG* value) override {
    return Run([&] { PutValue(value, core_->ZipCount()); });
  }
  HRESULT STDMETHODCALLTYPE get_Zip(LONG index, _clsFileRollBackLogZip** out) override {
    return Run([&] { PutObject(out, [&] { return WrapLogZip(core_->Zip(index)); }); });
  }
  HRESULT STDMETHODCALLTYPE get_ZipByDrive(BSTR* drive, _clsFileRollBackLogZip** out) override {
    return Run([&] { PutObject(out, [&] { return WrapLogZip(core_->ZipByDrive(Utf8(drive))); }); });
  }
  HRESULT STDMETHODCALLTYPE AddZip(BSTR* name, BSTR* drive, _clsFileRollBackLogZip** out) override {
    return Run([&] { PutObject(out, [&] { return WrapLogZip(core_->AddZip(Utf8(name), Utf8(drive))); }); });
  }
  HRESULT STDMETHODCALLTYPE LoadFromFile(BSTR* file) override {
    return Run([&] { core_->LoadFromFile(Utf8(file)); });
  }
  HRESULT STDMETHODCALLTYPE get_Completed(VARIANT_BOOL* value) override {
    return Run([&] { PutValue(value, ToVariantBool(core_->Completed())); });
  }
  HRESULT STDMETHODCALLTYPE Rollback(VARIANT_BOOL* delete_zip) override {
    return Run([&] { core_->Rollback(FromOptional(delete_zip, true)); });
  }

 private:
  std::shared_ptr<bk::clsFileRollbackLog> core_;
  IdentityEntry identity_;
};

class LogZipObject final : public DualObject<_clsFileRollBackLogZip> {
 public:
  explicit LogZipObject(std::shared_ptr<bk::clsFileRollBackLogZip> core)
      : core_(std::move(core)), identity_(core_.get(), this) {}

  HRESULT STDMETHODCALLTYPE get_Parent(_clsFileRollbackLog** out) override {
    return Run([&] { PutObject(out, [&] { return WrapLog(core_->Parent()); }); });
  }
  HRESULT STDMETHODCALLTYPE get_ZipId(LONG* value) override {
    return Run([&] { PutValue(value, core_->ZipId()); });
  }
  HRESULT STDMETHODCALLTYPE get_ZipName(BSTR* value) override {
    return Run([&] { PutString(core_->ZipName(), value); });
  }
  HRESULT STDMETHODCALLTYPE get_ZipDrive(BSTR* value) override {
    return Run([&] { PutString(core_->ZipDrive(), value); });
  }
  HRESULT STDMETHODCALLTYPE put_ZipDrive(BSTR* value) override {
    return Run([&] { core_->ZipDrive(Utf8(value)); });
  }
  HRESULT STDMETHODCALLTYPE get_FileCount(LONG* value) override {
    return Run([&] { PutValue(value, core_->FileCount()); });
  }
  HRESULT STDMETHODCALLTYPE get_FilePath(LONG index, BSTR* value) override {
    return Run([&] { PutString(core_->FilePath(index), value); });
  }
  HRESULT STDMETHODCALLTYPE AddFile(BSTR* path) override {
    return Run([&] { core_->AddFile(Utf8(path)); });
  }

 private:
  std::shared_ptr<bk::clsFileRollBackLogZip> core_;
  IdentityEntry identity_;
};

}  // namespace

_clsFileRollbackLog* WrapLog(const std::shared_ptr<bk::clsFileRollbackLog>& log) {
  return WrapShared<LogObject>(log);
}

_clsFileRollBackLogZip* WrapLogZip(const std::shared_ptr<bk::clsFileRollBackLogZip>& zip) {
  return WrapShared<LogZipObject>(zip);
}

}  // namespace bk::com
