// COM class clsRollbackManager: converts and delegates to the core object.
// FailedLogs hands out one automation collection per assessment, the same
// object on every call until the next assessment replaces it.
#include "component/com/dual_object.h"
#include "component/com/objects.h"

namespace bk::com {
namespace {

class RollbackManagerObject final : public DualObject<_clsRollbackManager> {
 public:
  ~RollbackManagerObject() override {
    if (collection_) collection_->Release();
  }

  HRESULT STDMETHODCALLTYPE AssessRollback(BSTR* folder) override {
    return Run([&] { core_.AssessRollback(Utf8(folder)); });
  }
  HRESULT STDMETHODCALLTYPE get_FailedLogs(_Collection** out) override {
    return Run([&] {
      RequireOut(out);
      *out = nullptr;
      const std::shared_ptr<bk::LogCollection> logs = core_.FailedLogs();
      if (!logs) return;
      if (logs != collection_source_) {
        _Collection* fresh = NewLogCollection(*logs);
        if (collection_) collection_->Release();
        collection_ = fresh;
        collection_source_ = logs;
      }
      collection_->AddRef();
      *out = collection_;
    });
  }

 private:
  bk::clsRollbackManager core_;
  // The core collection that collection_ was made from.
  std::shared_ptr<bk::LogCollection> collection_source_;
  _Collection* collection_ = nullptr;
};

}  // namespace

HRESULT CreateRollbackManagerObject(REFIID iid, void** out) {
  return CreateAndQuery<RollbackManagerObject>(iid, out);
}

}  // namespace bk::com
