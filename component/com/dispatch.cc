#include "component/com/dispatch.h"

#include <deque>
#include <vector>

#include "component/com/module.h"

namespace bk::com {
namespace {

// Holds a reference and releases it at the end of the scope.
template <typename T>
class Held {
 public:
  Held() = default;
  ~Held() {
    if (p_) p_->Release();
  }
  Held(const Held&) = delete;
  Held& operator=(const Held&) = delete;
  T** put() { return &p_; }
  T* operator->() const { return p_; }
  T* get() const { return p_; }

 private:
  T* p_ = nullptr;
};

// The function description Invoke will use: the first one with the DISPID
// whose invoke kind is among the flags. Null when there is none.
FUNCDESC* FindFunction(ITypeInfo* info, DISPID id, WORD flags) {
  TYPEATTR* attr = nullptr;
  if (FAILED(info->GetTypeAttr(&attr))) return nullptr;
  const WORD count = attr->cFuncs;
  info->ReleaseTypeAttr(attr);
  for (UINT i = 0; i < count; ++i) {
    FUNCDESC* desc = nullptr;
    if (FAILED(info->GetFuncDesc(i, &desc))) return nullptr;
    if (desc->memid == id && (desc->invkind & flags)) return desc;
    info->ReleaseFuncDesc(desc);
  }
  return nullptr;
}

bool Omitted(const VARIANTARG& arg) {
  return V_VT(&arg) == VT_ERROR && V_ERROR(&arg) == DISP_E_PARAMNOTFOUND;
}

// A by-reference parameter whose pointee Invoke converts itself, or cannot.
bool NeedsTypedTemporary(const TYPEDESC& type) {
  if (type.vt != VT_PTR) return false;
  switch (type.lptdesc->vt) {
    case VT_VARIANT: case VT_USERDEFINED: case VT_PTR: case VT_SAFEARRAY:
    case VT_UNKNOWN: case VT_DISPATCH: case VT_CARRAY:
      return false;
    default:
      return true;
  }
}

// The arguments handed to ITypeInfo::Invoke: the caller's, with typed
// temporaries in place of script variables and omitted defaults.
class Arguments {
 public:
  Arguments(const FUNCDESC& desc, const DISPPARAMS& params)
      : desc_(desc), params_(params),
        args_(params.rgvarg, params.rgvarg + params.cArgs),
        named_(params.rgdispidNamedArgs, params.rgdispidNamedArgs + params.cNamedArgs) {}
  ~Arguments() {
    for (Temporary& t : temps_) {
      VariantClear(&t.value);
      VariantClear(&t.before);
    }
  }
  Arguments(const Arguments&) = delete;
  Arguments& operator=(const Arguments&) = delete;

  HRESULT Prepare(UINT* bad_argument);
  DISPPARAMS* params() { return &prepared_; }
  UINT added() const { return added_; }
  // Copies the values that the member changed back into the caller's variables.
  void CopyBack();

 private:
  struct Temporary {
    VARIANT value;     // what the member receives by reference
    VARIANT before;    // its value before the call
    VARIANT* caller;   // the caller's variable, or null
  };

  int SlotOf(UINT param, UINT& positional_used) const;
  HRESULT Coerce(const VARIANT& source, VARTYPE type, VARIANT* caller, VARIANTARG& arg);

  const FUNCDESC& desc_;
  const DISPPARAMS& params_;
  std::vector<VARIANTARG> args_;
  std::vector<DISPID> named_;
  std::deque<Temporary> temps_;  // stable addresses: arguments point into them
  DISPPARAMS prepared_{};
  UINT added_ = 0;
};

// Index in rgvarg of the argument for parameter `param`, or -1; parameters
// not given by name take the positional arguments in order, as Invoke does.
int Arguments::SlotOf(UINT param, UINT& positional_used) const {
  const bool put = desc_.invkind & (INVOKE_PROPERTYPUT | INVOKE_PROPERTYPUTREF);
  const UINT last = static_cast<UINT>(desc_.cParams) - 1;
  for (UINT j = 0; j < params_.cNamedArgs; ++j) {
    const DISPID named = params_.rgdispidNamedArgs[j];
    if (named == static_cast<DISPID>(param) || (put && param == last && named == DISPID_PROPERTYPUT)) {
      return static_cast<int>(j);
    }
  }
  const UINT positional = params_.cArgs - params_.cNamedArgs;
  if (positional_used < positional) return static_cast<int>(params_.cArgs - 1 - positional_used++);
  return -1;
}

HRESULT Arguments::Coerce(const VARIANT& source, VARTYPE type, VARIANT* caller, VARIANTARG& arg) {
  Temporary& t = temps_.emplace_back();
  VariantInit(&t.value);
  VariantInit(&t.before);
  t.caller = caller;
  HRESULT hr = VariantChangeType(&t.value, const_cast<VARIANT*>(&source), 0, type);
  if (SUCCEEDED(hr)) hr = VariantCopy(&t.before, &t.value);
  if (FAILED(hr)) return hr == E_OUTOFMEMORY ? hr : DISP_E_TYPEMISMATCH;
  VariantInit(&arg);
  V_VT(&arg) = static_cast<VARTYPE>(VT_BYREF | type);
  V_BYREF(&arg) = &V_UI1(&t.value);  // every member of the union starts here
  return S_OK;
}

HRESULT Arguments::Prepare(UINT* bad_argument) {
  UINT count = static_cast<UINT>(desc_.cParams);
  if (count > 0 && (desc_.lprgelemdescParam[count - 1].paramdesc.wParamFlags & PARAMFLAG_FRETVAL)) --count;
  std::vector<VARIANTARG> extra;
  std::vector<DISPID> extra_ids;
  UINT positional_used = 0;
  for (UINT p = 0; p < count; ++p) {
    const ELEMDESC& param = desc_.lprgelemdescParam[p];
    const int slot = SlotOf(p, positional_used);
    if (!NeedsTypedTemporary(param.tdesc)) continue;
    const VARTYPE type = param.tdesc.lptdesc->vt;
    HRESULT hr = S_OK;
    if (slot >= 0 && !Omitted(args_[slot])) {
      VARIANTARG& arg = args_[slot];
      if (V_VT(&arg) != (VT_BYREF | VT_VARIANT)) continue;
      hr = Coerce(arg, type, V_VARIANTREF(&arg), arg);
    } else if (param.paramdesc.wParamFlags & PARAMFLAG_FHASDEFAULT) {
      VARIANTARG filled;
      hr = Coerce(param.paramdesc.pparamdescex->varDefaultValue, type, nullptr, filled);
      if (slot >= 0) {
        args_[slot] = filled;
      } else {
        extra.push_back(filled);
        extra_ids.push_back(static_cast<DISPID>(p));
      }
    }
    if (FAILED(hr)) {
      if (bad_argument && slot >= 0) *bad_argument = static_cast<UINT>(slot);
      return hr;
    }
  }
  // Defaults for parameters the caller left out travel as named arguments.
  added_ = static_cast<UINT>(extra.size());
  args_.insert(args_.begin(), extra.begin(), extra.end());
  named_.insert(named_.begin(), extra_ids.begin(), extra_ids.end());
  prepared_.rgvarg = args_.empty() ? nullptr : args_.data();
  prepared_.rgdispidNamedArgs = named_.empty() ? nullptr : named_.data();
  prepared_.cArgs = static_cast<UINT>(args_.size());
  prepared_.cNamedArgs = static_cast<UINT>(named_.size());
  return S_OK;
}

void Arguments::CopyBack() {
  for (Temporary& t : temps_) {
    if (!t.caller) continue;
    if (VarCmp(&t.value, &t.before, LOCALE_USER_DEFAULT, 0) == static_cast<HRESULT>(VARCMP_EQ)) continue;
    VariantClear(t.caller);
    *t.caller = t.value;  // the caller's variable takes over the value
    VariantInit(&t.value);
  }
}

}  // namespace

HRESULT DispatchGetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, DISPID* ids) {
  Held<ITypeInfo> info;
  const HRESULT hr = VtableTypeInfo(iid, info.put());
  if (FAILED(hr)) return hr;
  return info->GetIDsOfNames(names, count, ids);
}

HRESULT DispatchInvoke(REFIID iid, void* self, DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result,
                       EXCEPINFO* exception, UINT* bad_argument) {
  if (!params) return E_INVALIDARG;
  Held<ITypeInfo> info;
  HRESULT hr = VtableTypeInfo(iid, info.put());
  if (FAILED(hr)) return hr;
  FUNCDESC* desc = FindFunction(info.get(), id, flags);
  if (!desc) return info->Invoke(self, id, flags, params, result, exception, bad_argument);
  {
    Arguments args(*desc, *params);
    hr = args.Prepare(bad_argument);
    if (SUCCEEDED(hr)) {
      hr = info->Invoke(self, id, flags, args.params(), result, exception, bad_argument);
      args.CopyBack();
      if (bad_argument && (hr == DISP_E_TYPEMISMATCH || hr == DISP_E_PARAMNOTFOUND) &&
          *bad_argument >= args.added()) {
        *bad_argument -= args.added();
      }
    }
  }
  info->ReleaseFuncDesc(desc);
  return hr;
}

}  // namespace bk::com
