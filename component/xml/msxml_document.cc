// The XML document adapter over the platform's MSXML 6 (DOMDocument60), one
// COM object per document. The calling thread has initialised COM.
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <msxml2.h>

#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <utility>

#include "component/error.h"
#include "component/text.h"
#include "component/xml/xml_document.h"
#include "component/xml/xml_text.h"

namespace bk {
namespace {

// {88D96A05-F192-11D4-A65F-0040963251E5}
constexpr CLSID kClsidDomDocument60 = {0x88d96a05, 0xf192, 0x11d4, {0xa6, 0x5f, 0x00, 0x40, 0x96, 0x32, 0x51, 0xe5}};
// {2933BF95-7B36-11D2-B20E-00C04F983E60}
constexpr IID kIidDomDocument2 = {0x2933bf95, 0x7b36, 0x11d2, {0xb2, 0x0e, 0x00, 0xc0, 0x4f, 0x98, 0x3e, 0x60}};

// Owns one reference to a COM interface.
template <typename T>
class Com {
 public:
  Com() = default;
  Com(const Com& other) : p_(other.p_) { if (p_) p_->AddRef(); }
  Com& operator=(Com other) { std::swap(p_, other.p_); return *this; }
  ~Com() { if (p_) p_->Release(); }
  T* operator->() const { return p_; }
  T* get() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  // Receives a new reference from a call that returns one.
  T** put() { *this = Com(); return &p_; }

 private:
  T* p_ = nullptr;
};

class Bstr {
 public:
  explicit Bstr(std::string_view utf8) {
    const std::u16string wide = text::ToUtf16(utf8);
    b_ = SysAllocStringLen(reinterpret_cast<const OLECHAR*>(wide.data()), static_cast<UINT>(wide.size()));
    if (b_ == nullptr) throw std::bad_alloc();
  }
  Bstr() = default;
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  ~Bstr() { SysFreeString(b_); }
  BSTR get() const { return b_; }
  BSTR* put() { SysFreeString(b_); b_ = nullptr; return &b_; }
  std::string Utf8() const {
    return text::ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(b_), SysStringLen(b_)));
  }

 private:
  BSTR b_ = nullptr;
};

// The description the failing object left, or the HRESULT in hex.
std::string FailureText(HRESULT hr) {
  Com<IErrorInfo> info;
  Bstr description;
  if (GetErrorInfo(0, info.put()) == S_OK && info && SUCCEEDED(info->GetDescription(description.put())) &&
      description.get() != nullptr && SysStringLen(description.get()) > 0) {
    return description.Utf8();
  }
  char code[48];
  std::snprintf(code, sizeof code, "XML document component failure 0x%08lX", static_cast<unsigned long>(hr));
  return code;
}

void Check(HRESULT hr) {
  if (FAILED(hr)) throw Error(NumberFromHresult(static_cast<int32_t>(hr)), kLibrarySource, FailureText(hr));
}

class MsxmlDocument;

class MsxmlElement final : public XmlElement {
 public:
  MsxmlElement(std::shared_ptr<MsxmlDocument> doc, Com<IXMLDOMElement> element)
      : doc_(std::move(doc)), element_(std::move(element)) {}

  void AppendChild(const std::shared_ptr<XmlElement>& child) override;
  void SetAttribute(std::string_view name, std::string_view value) override {
    xmltext::RequireRepresentable(name, value);
    Bstr text(value);
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BSTR;
    v.bstrVal = text.get();
    Check(element_->setAttribute(Bstr(name).get(), v));
  }
  std::string GetAttribute(std::string_view name) override {
    VARIANT v;
    VariantInit(&v);
    Check(element_->getAttribute(Bstr(name).get(), &v));
    std::string out;
    if (v.vt == VT_BSTR && v.bstrVal != nullptr) {
      out = text::ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(v.bstrVal), SysStringLen(v.bstrVal)));
    }
    VariantClear(&v);
    return out;
  }
  std::vector<std::shared_ptr<XmlElement>> GetElementsByTagName(std::string_view name) override;
  size_t CountElementsByTagName(std::string_view name) override;
  std::shared_ptr<XmlElement> ElementByTagName(std::string_view name, size_t index) override;
  std::shared_ptr<XmlDocument> OwnerDocument() override;
  std::string TagName() override {
    Bstr name;
    Check(element_->get_tagName(name.put()));
    return name.Utf8();
  }

  IXMLDOMElement* get() const { return element_.get(); }

 private:
  Com<IXMLDOMNodeList> List(std::string_view name) {
    Com<IXMLDOMNodeList> list;
    Check(element_->getElementsByTagName(Bstr(name).get(), list.put()));
    return list;
  }

  std::shared_ptr<MsxmlDocument> doc_;
  Com<IXMLDOMElement> element_;
};

class MsxmlDocument final : public XmlDocument, public std::enable_shared_from_this<MsxmlDocument> {
 public:
  MsxmlDocument() {
    const HRESULT hr = CoCreateInstance(kClsidDomDocument60, nullptr, CLSCTX_INPROC_SERVER, kIidDomDocument2,
                                        reinterpret_cast<void**>(doc_.put()));
    if (hr == REGDB_E_CLASSNOTREG || hr == CO_E_DLLNOTFOUND) {
      throw Error(NumberFromHresult(static_cast<int32_t>(hr)), kLibrarySource,
                  "The XML document component (MSXML 6) is not installed");
    }
    if (hr == CO_E_NOTINITIALIZED) {
      throw Error(NumberFromHresult(static_cast<int32_t>(hr)), kLibrarySource,
                  "COM is not initialised on this thread");
    }
    Check(hr);
    Check(doc_->put_async(VARIANT_FALSE));
    Check(doc_->put_validateOnParse(VARIANT_FALSE));
    Check(doc_->put_resolveExternals(VARIANT_FALSE));
    Check(doc_->put_preserveWhiteSpace(VARIANT_FALSE));
  }

  std::shared_ptr<XmlElement> CreateElement(std::string_view name) override {
    Com<IXMLDOMElement> element;
    Check(doc_->createElement(Bstr(name).get(), element.put()));
    return Wrap(std::move(element));
  }
  void AppendChild(const std::shared_ptr<XmlElement>& child) override {
    Com<IXMLDOMNode> added;
    Check(doc_->appendChild(NodeOf(*child), added.put()));
  }
  std::shared_ptr<XmlElement> FirstChild() override {
    Com<IXMLDOMElement> root;
    Check(doc_->get_documentElement(root.put()));
    return root ? Wrap(std::move(root)) : nullptr;
  }
  std::vector<std::shared_ptr<XmlElement>> GetElementsByTagName(std::string_view name) override {
    Com<IXMLDOMNodeList> list;
    Check(doc_->getElementsByTagName(Bstr(name).get(), list.put()));
    return Elements(list);
  }
  std::string Xml() override {
    Bstr xml;
    Check(doc_->get_xml(xml.put()));
    return xmltext::EscapeAttributeBreaks(xmltext::DropDeclaredEncoding(xml.Utf8()));
  }
  void Load(std::string_view bytes, std::string_view path) override;

  std::shared_ptr<XmlElement> Wrap(Com<IXMLDOMElement> element) {
    return std::make_shared<MsxmlElement>(shared_from_this(), std::move(element));
  }
  std::shared_ptr<XmlElement> Item(const Com<IXMLDOMNodeList>& list, long index) {
    Com<IXMLDOMNode> node;
    Check(list->get_item(index, node.put()));
    Com<IXMLDOMElement> element;
    if (!node || FAILED(node->QueryInterface(IID_IXMLDOMElement, reinterpret_cast<void**>(element.put())))) {
      return nullptr;
    }
    return Wrap(std::move(element));
  }
  std::vector<std::shared_ptr<XmlElement>> Elements(const Com<IXMLDOMNodeList>& list) {
    long length = 0;
    Check(list->get_length(&length));
    std::vector<std::shared_ptr<XmlElement>> out;
    out.reserve(static_cast<size_t>(length));
    for (long i = 0; i < length; ++i) {
      if (auto element = Item(list, i)) out.push_back(std::move(element));
    }
    return out;
  }
  static IXMLDOMElement* NodeOf(XmlElement& element) {
    const auto* native = dynamic_cast<const MsxmlElement*>(&element);
    if (native == nullptr) throw xmltext::ForeignNode();
    return native->get();
  }

 private:
  Error ParseFailure(std::string_view path);

  Com<IXMLDOMDocument2> doc_;
};

void MsxmlElement::AppendChild(const std::shared_ptr<XmlElement>& child) {
  Com<IXMLDOMNode> added;
  Check(element_->appendChild(MsxmlDocument::NodeOf(*child), added.put()));
}

std::vector<std::shared_ptr<XmlElement>> MsxmlElement::GetElementsByTagName(std::string_view name) {
  return doc_->Elements(List(name));
}

size_t MsxmlElement::CountElementsByTagName(std::string_view name) {
  long length = 0;
  Check(List(name)->get_length(&length));
  return static_cast<size_t>(length);
}

std::shared_ptr<XmlElement> MsxmlElement::ElementByTagName(std::string_view name, size_t index) {
  if (index > 0x7FFFFFFF) return nullptr;
  const Com<IXMLDOMNodeList> list = List(name);
  long length = 0;
  Check(list->get_length(&length));
  return static_cast<long>(index) < length ? doc_->Item(list, static_cast<long>(index)) : nullptr;
}

std::shared_ptr<XmlDocument> MsxmlElement::OwnerDocument() { return doc_; }

void MsxmlDocument::Load(std::string_view bytes, std::string_view path) {
  SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes.size()));
  if (array == nullptr) throw std::bad_alloc();
  void* data = nullptr;
  if (SUCCEEDED(SafeArrayAccessData(array, &data))) {
    if (!bytes.empty()) std::memcpy(data, bytes.data(), bytes.size());
    SafeArrayUnaccessData(array);
  }
  VARIANT source;
  VariantInit(&source);
  source.vt = VT_ARRAY | VT_UI1;
  source.parray = array;
  VARIANT_BOOL loaded = VARIANT_FALSE;
  const HRESULT hr = doc_->load(source, &loaded);
  VariantClear(&source);
  if (FAILED(hr) && hr != S_FALSE) Check(hr);
  if (loaded != VARIANT_TRUE) throw ParseFailure(path);
}

Error MsxmlDocument::ParseFailure(std::string_view path) {
  Com<IXMLDOMParseError> parse_error;
  Bstr reason;
  long line = 0;
  long column = 0;
  if (SUCCEEDED(doc_->get_parseError(parse_error.put())) && parse_error) {
    parse_error->get_reason(reason.put());
    parse_error->get_line(&line);
    parse_error->get_linepos(&column);
  }
  std::string message = reason.get() != nullptr ? reason.Utf8() : std::string("unknown error");
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' ')) {
    message.pop_back();
  }
  // Some implementations of the component report no position (line 0).
  const std::string where = line > 0 ? xmltext::PositionText(static_cast<size_t>(line), static_cast<size_t>(column))
                                     : std::string("a position the XML component did not report");
  return xmltext::ParseError(message, where, path);
}

}  // namespace

std::shared_ptr<XmlDocument> CreateXmlDocument() { return std::make_shared<MsxmlDocument>(); }

}  // namespace bk
