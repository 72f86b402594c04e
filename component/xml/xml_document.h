// The XML document adapter: the small tree the rollback log lives in. Two back
// ends: pugixml on Linux, the platform's MSXML 6 DOMDocument60 on Windows.
//
// Strings are UTF-8 at this interface. Documents and elements are shared
// handles; an element keeps its document alive.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "component/text.h"

namespace bk {

class XmlDocument;

class XmlElement {
 public:
  virtual ~XmlElement() = default;
  // Appends `child` (created by the same document) as the last child.
  virtual void AppendChild(const std::shared_ptr<XmlElement>& child) = 0;
  // Adds the attribute or replaces its value. Attributes keep the order in
  // which they were first set. A value that is not UTF-8 or holds a character
  // XML 1.0 cannot carry (U+0001, an unpaired surrogate...) fails with
  // errnum::kUnrepresentableValue and changes nothing; every other value,
  // tabs and line breaks included, comes back unchanged after save and load.
  virtual void SetAttribute(std::string_view name, std::string_view value) = 0;
  // The value; empty text when the attribute is missing.
  virtual std::string GetAttribute(std::string_view name) = 0;
  // Descendant elements of that tag name, in document order.
  virtual std::vector<std::shared_ptr<XmlElement>> GetElementsByTagName(std::string_view name) = 0;
  // The number of those descendants, and the one at a position from 0
  // (nullptr past the end), without building the whole list.
  virtual size_t CountElementsByTagName(std::string_view name) = 0;
  virtual std::shared_ptr<XmlElement> ElementByTagName(std::string_view name, size_t index) = 0;
  virtual std::shared_ptr<XmlDocument> OwnerDocument() = 0;
  virtual std::string TagName() = 0;
};

class XmlDocument {
 public:
  virtual ~XmlDocument() = default;
  // A new element, not yet in the tree.
  virtual std::shared_ptr<XmlElement> CreateElement(std::string_view name) = 0;
  // Appends an element as a child of the document (the root).
  virtual void AppendChild(const std::shared_ptr<XmlElement>& child) = 0;
  // The root element, after creation and after load alike (a declaration or
  // comment never comes first); nullptr when the document is empty.
  virtual std::shared_ptr<XmlElement> FirstChild() = 0;
  // Elements of that tag name anywhere in the document, in document order.
  virtual std::vector<std::shared_ptr<XmlElement>> GetElementsByTagName(std::string_view name) = 0;
  // The whole tree as XML text (UTF-8 here; the log writes it as UTF-16). The
  // same tree always gives the same text.
  virtual std::string Xml() = 0;
  // The same text as the log file holds it: UTF-16 LE after a byte-order
  // mark; only the mark for an empty document. Valid until the document next
  // changes. A back end may keep it between calls and bring it up to date as
  // elements are appended, so that saving a large document again costs
  // little.
  virtual const std::string& XmlUtf16() {
    utf16_.assign("\xFF\xFE", 2);
    text::AppendUtf16Le(Xml(), utf16_);
    return utf16_;
  }
  // Replaces the tree by the document held in `bytes` (UTF-16 LE with BOM or
  // UTF-8, with or without a declaration). A malformed document fails with
  // errnum::kXmlParseError, the parser's message and the line and column in
  // the description, and `path` as the error's path. Elements of the previous
  // tree stay usable but are no longer part of the document.
  virtual void Load(std::string_view bytes, std::string_view path) = 0;
 private:
  std::string utf16_;
};

// A new empty document of the platform's back end. On Windows the caller has
// initialised COM on this thread; a missing MSXML 6 is a clear error.
std::shared_ptr<XmlDocument> CreateXmlDocument();

}  // namespace bk
