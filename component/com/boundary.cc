#include "component/com/boundary.h"

#include "component/text.h"

namespace bk::com {
namespace {

std::wstring Wide(std::string_view utf8) {
  const std::u16string utf16 = text::ToUtf16(utf8);
  return std::wstring(utf16.begin(), utf16.end());
}

}  // namespace

std::string Utf8(BSTR value) {
  if (!value) return {};
  return text::ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(value), SysStringLen(value)));
}

std::string Utf8(const BSTR* value) {
  if (!value) throw HresultError{E_POINTER};
  return Utf8(*value);
}

void PutString(std::string_view utf8, BSTR* out) {
  RequireOut(out);
  const std::u16string utf16 = text::ToUtf16(utf8);
  BSTR result = SysAllocStringLen(reinterpret_cast<const OLECHAR*>(utf16.data()),
                                  static_cast<UINT>(utf16.size()));
  if (!result) throw std::bad_alloc();
  *out = result;
}

void RequireOut(const void* out) {
  if (!out) throw HresultError{E_POINTER};
}

HRESULT RaiseError(REFIID iid, const bk::Error& error) {
  ICreateErrorInfo* create = nullptr;
  if (SUCCEEDED(CreateErrorInfo(&create))) {
    const std::wstring source = Wide(error.source());
    const std::wstring description = Wide(error.description());
    create->SetGUID(iid);
    create->SetSource(const_cast<LPOLESTR>(source.c_str()));
    create->SetDescription(const_cast<LPOLESTR>(description.c_str()));
    IErrorInfo* info = nullptr;
    if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)))) {
      SetErrorInfo(0, info);
      info->Release();
    }
    create->Release();
  }
  const HRESULT hr = bk::HresultFromNumber(error.number());
  return FAILED(hr) ? hr : E_UNEXPECTED;
}

HRESULT PlainFailure(HRESULT hr) {
  SetErrorInfo(0, nullptr);
  return hr;
}

}  // namespace bk::com
