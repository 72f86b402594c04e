// The automation collection (interface _Collection) that FailedLogs hands
// out: items in insertion order, positions from 1, optional text keys
// compared without regard to letter case, enumeration for `For Each`.
// Errors: 5 for a missing key or both Before and After, 9 for a position out
// of range, 13 for an index or key of the wrong type, 457 for a duplicate key.
#include <optional>
#include <string>

#include "component/com/com_object.h"
#include "component/com/dual_object.h"
#include "component/com/objects.h"
#include "component/collection.h"
#include "component/text.h"

namespace bk::com {
namespace {

// A VARIANT that owns its value.
class OwnedVariant {
 public:
  OwnedVariant() { VariantInit(&v_); }
  ~OwnedVariant() { VariantClear(&v_); }
  OwnedVariant(const OwnedVariant& other) : OwnedVariant() { Assign(other.v_); }
  OwnedVariant& operator=(const OwnedVariant& other) {
    if (this != &other) Assign(other.v_);
    return *this;
  }
  OwnedVariant(OwnedVariant&& other) noexcept : v_(other.v_) { VariantInit(&other.v_); }
  OwnedVariant& operator=(OwnedVariant&& other) noexcept {
    if (this != &other) {
      VariantClear(&v_);
      v_ = other.v_;
      VariantInit(&other.v_);
    }
    return *this;
  }
  // Copies the value behind `source`, following a by-reference variant.
  void Assign(const VARIANT& source) {
    VariantClear(&v_);
    const HRESULT hr = VariantCopyInd(&v_, const_cast<VARIANT*>(&source));
    if (hr == E_OUTOFMEMORY) throw std::bad_alloc();
    if (FAILED(hr)) throw bk::Error::Standard(errnum::kTypeMismatch);
  }
  const VARIANT& get() const { return v_; }
  VARIANT* put() { return &v_; }

 private:
  VARIANT v_;
};

bool Given(const VARIANT* arg) {
  if (!arg) return false;
  const VARIANT* v = V_VT(arg) == (VT_BYREF | VT_VARIANT) ? V_VARIANTREF(arg) : arg;
  return !(V_VT(v) == VT_ERROR && V_ERROR(v) == DISP_E_PARAMNOTFOUND);
}

class CollectionObject final : public DualObject<_Collection> {
 public:
  HRESULT STDMETHODCALLTYPE Item(VARIANT* index, VARIANT* result) override {
    return Run([&] {
      RequireOut(result);
      VariantInit(result);
      if (FAILED(VariantCopy(result, items_.Item(PositionOf(index)).put()))) throw std::bad_alloc();
    });
  }
  HRESULT STDMETHODCALLTYPE Add(VARIANT* item, VARIANT* key, VARIANT* before, VARIANT* after) override {
    return Run([&] {
      if (!item) throw HresultError{E_POINTER};
      OwnedVariant value;
      value.Assign(*item);
      std::optional<std::string> text;
      if (Given(key)) text = TextOf(*key);
      if (Given(before) && Given(after)) throw bk::Error::Standard(errnum::kInvalidProcedureCall);
      std::optional<int32_t> at;
      if (Given(before)) at = PositionOf(before);
      if (Given(after)) at = PositionOf(after) + 1;
      items_.Add(std::move(value), text, at);
    });
  }
  HRESULT STDMETHODCALLTYPE Count(LONG* count) override {
    return Run([&] { PutValue(count, static_cast<LONG>(items_.Count())); });
  }
  HRESULT STDMETHODCALLTYPE Remove(VARIANT* index) override {
    return Run([&] { items_.Remove(PositionOf(index)); });
  }
  HRESULT STDMETHODCALLTYPE _NewEnum(IUnknown** out) override;

  void Append(const VARIANT& value) {
    OwnedVariant item;
    item.Assign(value);
    items_.Add(std::move(item));
  }
  // Item `at` (from 0) into `out`; false past the end.
  bool CopyItem(size_t at, VARIANT* out) {
    if (at >= size()) return false;
    return SUCCEEDED(VariantCopy(out, items_.Item(static_cast<int32_t>(at + 1)).put()));
  }
  size_t size() const { return static_cast<size_t>(items_.Count()); }

 private:
  static std::string TextOf(const VARIANT& value) {
    OwnedVariant text;
    if (FAILED(VariantChangeType(text.put(), const_cast<VARIANT*>(&value), 0, VT_BSTR))) {
      throw bk::Error::Standard(errnum::kTypeMismatch);
    }
    return Utf8(V_BSTR(text.put()));
  }
  // The position (from 1) an index names: a key when it is text, a number
  // otherwise; 5 for a missing key, 9 for a position out of range.
  int32_t PositionOf(const VARIANT* index) {
    if (!index) throw HresultError{E_POINTER};
    OwnedVariant value;
    value.Assign(*index);
    if (V_VT(value.put()) == VT_BSTR) return items_.PositionOf(Utf8(V_BSTR(value.put())));
    if (FAILED(VariantChangeType(value.put(), value.put(), 0, VT_I4))) {
      throw bk::Error::Standard(errnum::kTypeMismatch);
    }
    const LONG position = V_I4(value.put());
    items_.Item(position);  // 9 when out of range
    return position;
  }

  bk::KeyedCollection<OwnedVariant> items_;
};

// Enumerates a collection's items in order. It sees the collection as it is
// at each step, so items added during a For Each are reached as well.
class Enumerator final : public ComObject<IEnumVARIANT> {
 public:
  Enumerator(CollectionObject* collection, size_t next) : collection_(collection), next_(next) {
    collection_->AddRef();
  }
  ~Enumerator() override { collection_->Release(); }

  HRESULT STDMETHODCALLTYPE Next(ULONG count, VARIANT* items, ULONG* fetched) override {
    if (!items && count) return E_POINTER;
    ULONG done = 0;
    for (; done < count; ++done) {
      VariantInit(&items[done]);
      if (!collection_->CopyItem(next_, &items[done])) break;
      ++next_;
    }
    if (fetched) *fetched = done;
    return done == count ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Skip(ULONG count) override {
    next_ += count;
    return next_ <= collection_->size() ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Reset() override {
    next_ = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Clone(IEnumVARIANT** out) override {
    if (!out) return E_POINTER;
    *out = new (std::nothrow) Enumerator(collection_, next_);
    return *out ? S_OK : E_OUTOFMEMORY;
  }

 private:
  CollectionObject* collection_;
  size_t next_;
};

HRESULT STDMETHODCALLTYPE CollectionObject::_NewEnum(IUnknown** out) {
  return Run([&] { PutObject(out, [&] { return static_cast<IUnknown*>(new Enumerator(this, 0)); }); });
}

}  // namespace

_Collection* NewLogCollection(bk::LogCollection& logs) {
  auto* collection = new CollectionObject();
  try {
    for (const std::shared_ptr<bk::clsFileRollbackLog>& log : logs) {
      OwnedVariant item;
      V_VT(item.put()) = VT_DISPATCH;
      V_DISPATCH(item.put()) = WrapLog(log);
      collection->Append(item.get());
    }
  } catch (...) {
    collection->Release();
    throw;
  }
  return collection;
}

}  // namespace bk::com
