// The XML document adapter over pugixml.
//
// pugixml has no free-standing nodes, so an element that is created but not
// yet appended waits below a hidden top-level holder element of the same
// pugixml document; appending moves it into place. The holder is never
// printed, counted or searched.
#include <pugixml.hpp>

#include <string>
#include <utility>

#include "component/error.h"
#include "component/text.h"
#include "component/xml/xml_document.h"
#include "component/xml/xml_text.h"

namespace bk {
namespace {

struct Tree {
  Tree() { holder = doc.append_child("detached"); }
  pugi::xml_document doc;
  pugi::xml_node holder;
};

class PugiDocument;

// Visits every node below `parent`, of any type, in document order, until
// `visit` returns false.
template <typename Visit>
void ForEachNode(pugi::xml_node parent, Visit visit) {
  pugi::xml_node node = parent.first_child();
  while (node && node != parent) {
    if (!visit(node)) return;
    if (node.first_child()) {
      node = node.first_child();
      continue;
    }
    while (node != parent && !node.next_sibling()) node = node.parent();
    if (node != parent) node = node.next_sibling();
  }
}

// Visits the elements named `name` below `parent` in document order until
// `visit` returns false. With `self`, `parent` itself is visited first.
template <typename Visit>
void ForEachNamed(pugi::xml_node parent, const std::string& name, bool self, Visit visit) {
  if (self && name == parent.name() && !visit(parent)) return;
  ForEachNode(parent, [&](pugi::xml_node n) { return n.type() != pugi::node_element || name != n.name() || visit(n); });
}

class PugiElement final : public XmlElement {
 public:
  PugiElement(std::shared_ptr<PugiDocument> doc, std::shared_ptr<Tree> tree, pugi::xml_node node)
      : doc_(std::move(doc)), tree_(std::move(tree)), node_(node) {}

  void AppendChild(const std::shared_ptr<XmlElement>& child) override;
  void SetAttribute(std::string_view name, std::string_view value) override;
  std::string GetAttribute(std::string_view name) override {
    return node_.attribute(std::string(name).c_str()).value();
  }
  std::vector<std::shared_ptr<XmlElement>> GetElementsByTagName(std::string_view name) override {
    std::vector<std::shared_ptr<XmlElement>> out;
    ForEachNamed(node_, std::string(name), false, [&](pugi::xml_node n) {
      out.push_back(Wrap(n));
      return true;
    });
    return out;
  }
  size_t CountElementsByTagName(std::string_view name) override {
    size_t count = 0;
    ForEachNamed(node_, std::string(name), false, [&](pugi::xml_node) { return ++count, true; });
    return count;
  }
  std::shared_ptr<XmlElement> ElementByTagName(std::string_view name, size_t index) override {
    std::shared_ptr<XmlElement> found;
    ForEachNamed(node_, std::string(name), false, [&](pugi::xml_node n) {
      if (index-- != 0) return true;
      found = Wrap(n);
      return false;
    });
    return found;
  }
  std::shared_ptr<XmlDocument> OwnerDocument() override;
  std::string TagName() override { return node_.name(); }

  const std::shared_ptr<Tree>& tree() const { return tree_; }
  pugi::xml_node node() const { return node_; }

 private:
  std::shared_ptr<XmlElement> Wrap(pugi::xml_node n) { return std::make_shared<PugiElement>(doc_, tree_, n); }

  std::shared_ptr<PugiDocument> doc_;
  std::shared_ptr<Tree> tree_;
  pugi::xml_node node_;
};

struct StringWriter final : pugi::xml_writer {
  explicit StringWriter(std::string& target) : out(target) {}
  void write(const void* data, size_t size) override { out.append(static_cast<const char*>(data), size); }
  std::string& out;
};

class PugiDocument final : public XmlDocument, public std::enable_shared_from_this<PugiDocument> {
 public:
  std::shared_ptr<XmlElement> CreateElement(std::string_view name) override {
    return Wrap(tree_->holder.append_child(std::string(name).c_str()));
  }
  void AppendChild(const std::shared_ptr<XmlElement>& child) override {
    if (Root()) {
      throw Error(errnum::kInvalidProcedureCall, kLibrarySource, "Only one top level element is allowed");
    }
    const auto& element = MovableElement(*child, tree_);
    if (!tree_->doc.append_move(element.node())) throw xmltext::ForeignNode();
    Changed();
  }
  std::shared_ptr<XmlElement> FirstChild() override {
    const pugi::xml_node root = Root();
    return root ? Wrap(root) : nullptr;
  }
  std::vector<std::shared_ptr<XmlElement>> GetElementsByTagName(std::string_view name) override {
    std::vector<std::shared_ptr<XmlElement>> out;
    if (const pugi::xml_node root = Root()) {
      ForEachNamed(root, std::string(name), true, [&](pugi::xml_node n) {
        out.push_back(Wrap(n));
        return true;
      });
    }
    return out;
  }
  std::string Xml() override {
    std::string out;
    Print(out, pugi::encoding_utf8);
    return out;
  }
  const std::string& XmlUtf16() override;
  void Load(std::string_view bytes, std::string_view path) override;

  // What an element reports of a change to its tree, so that the kept text
  // follows: an attribute set, or `child` appended to `parent`, where
  // `was_placed` says whether the child stood in the document before.
  void AttributeSet(const std::shared_ptr<Tree>& tree, pugi::xml_node node) {
    if (tree == tree_ && Placed(node)) Changed();
  }
  void ChildAppended(const std::shared_ptr<Tree>& tree, pugi::xml_node parent, pugi::xml_node child, bool was_placed) {
    if (tree != tree_ || (!was_placed && !Placed(parent))) return;
    if (was_placed || !kept_) {
      Changed();
    } else {
      appended_.push_back(child);
    }
  }
  // True when the node is part of the document, not waiting below the holder.
  bool Placed(pugi::xml_node node) const {
    while (node.parent() && node.parent().type() != pugi::node_document) node = node.parent();
    return node && node != tree_->holder;
  }

  static const PugiElement& MovableElement(XmlElement& child, const std::shared_ptr<Tree>& tree) {
    const auto* element = dynamic_cast<const PugiElement*>(&child);
    if (element == nullptr || element->tree() != tree) throw xmltext::ForeignNode();
    return *element;
  }

 private:
  void Changed() {
    kept_ = false;
    appended_.clear();
  }
  bool InsertAppended();
  void Print(std::string& out, pugi::xml_encoding encoding) const {
    StringWriter writer(out);
    if (const pugi::xml_node root = Root()) root.print(writer, "\t", pugi::format_indent, encoding);
  }
  pugi::xml_node Root() const {
    for (pugi::xml_node n = tree_->doc.first_child(); n; n = n.next_sibling()) {
      if (n.type() == pugi::node_element && n != tree_->holder) return n;
    }
    return {};
  }
  std::shared_ptr<XmlElement> Wrap(pugi::xml_node n) {
    return std::make_shared<PugiElement>(shared_from_this(), tree_, n);
  }

  std::shared_ptr<Tree> tree_ = std::make_shared<Tree>();
  // The UTF-16 text last printed, kept while it stays true to the tree but
  // for the elements appended since. Only documents of elements alone are
  // kept: text, CDATA and the like change how their neighbours print.
  std::string utf16_;
  bool kept_ = false;
  bool elements_only_ = true;
  std::vector<pugi::xml_node> appended_;
};

const std::string& PugiDocument::XmlUtf16() {
  if (!kept_ || !InsertAppended()) {
    utf16_.assign("\xFF\xFE", 2);
    Print(utf16_, pugi::encoding_utf16_le);
    kept_ = elements_only_;
  }
  appended_.clear();
  return utf16_;
}

// Puts the text of the elements appended since the last print into the kept
// text: when they are the last children of one parent that had children
// before, and everything after that parent is its ancestors' closing tags,
// their text goes just before the parent's closing tag. The kept text must
// end in exactly those closing tags; false, changing nothing, otherwise.
bool PugiDocument::InsertAppended() {
  if (appended_.empty()) return true;
  const pugi::xml_node parent = appended_.front().parent();
  pugi::xml_node before = parent.last_child();
  for (auto it = appended_.rbegin(); it != appended_.rend(); ++it, before = before.previous_sibling()) {
    if (before != *it) return false;
  }
  if (!before) return false;
  const pugi::xml_node root = Root();
  std::vector<pugi::xml_node> closing;
  for (pugi::xml_node n = parent; n != root; n = n.parent()) {
    if (!n || n.next_sibling()) return false;
    closing.push_back(n);
  }
  closing.push_back(root);
  std::string tail;
  for (size_t i = 0; i < closing.size(); ++i) {
    tail.append(closing.size() - 1 - i, '\t');
    tail += std::string("</") + closing[i].name() + ">\n";
  }
  std::string tail_utf16;
  text::AppendUtf16Le(tail, tail_utf16);
  if (utf16_.size() < 2 + tail_utf16.size() ||
      utf16_.compare(utf16_.size() - tail_utf16.size(), tail_utf16.size(), tail_utf16) != 0) {
    return false;
  }
  std::string inserted;
  StringWriter writer(inserted);
  for (const pugi::xml_node n : appended_) {
    n.print(writer, "\t", pugi::format_indent, pugi::encoding_utf16_le, static_cast<unsigned>(closing.size()));
  }
  utf16_.insert(utf16_.size() - tail_utf16.size(), inserted);
  return true;
}

void PugiElement::AppendChild(const std::shared_ptr<XmlElement>& child) {
  const auto& element = PugiDocument::MovableElement(*child, tree_);
  const bool was_placed = doc_->Placed(element.node());
  if (!node_.append_move(element.node())) throw xmltext::ForeignNode();
  doc_->ChildAppended(tree_, node_, element.node(), was_placed);
}

void PugiElement::SetAttribute(std::string_view name, std::string_view value) {
  xmltext::RequireRepresentable(name, value);
  const std::string key(name);
  pugi::xml_attribute attribute = node_.attribute(key.c_str());
  if (!attribute) attribute = node_.append_attribute(key.c_str());
  attribute.set_value(std::string(value).c_str());
  doc_->AttributeSet(tree_, node_);
}

std::shared_ptr<XmlDocument> PugiElement::OwnerDocument() { return doc_; }

// UTF-16 LE text with a byte-order mark becomes UTF-8, so that positions
// of errors can be counted in one encoding; everything else is parsed as is.
std::string Utf8Source(std::string_view bytes) {
  if (bytes.substr(0, 3) == "\xEF\xBB\xBF") return std::string(bytes.substr(3));
  if (bytes.size() < 2 || static_cast<uint8_t>(bytes[0]) != 0xFF || static_cast<uint8_t>(bytes[1]) != 0xFE) {
    return std::string(bytes);
  }
  // Converted a piece at a time, never splitting a surrogate pair, so that
  // a large log is not held a third time as UTF-16 units.
  constexpr size_t kPiece = 1 << 16;
  const size_t total = (bytes.size() - 2) / 2;
  std::string out;
  out.reserve(total);
  std::u16string units;
  for (size_t i = 0; i < total;) {
    units.clear();
    while (i < total && (units.size() < kPiece || (units.back() >= 0xD800 && units.back() <= 0xDBFF))) {
      units.push_back(static_cast<char16_t>(static_cast<uint8_t>(bytes[2 + 2 * i]) |
                                            (static_cast<uint8_t>(bytes[3 + 2 * i]) << 8)));
      ++i;
    }
    out += text::ToUtf8(units);
  }
  return out;
}

void PugiDocument::Load(std::string_view bytes, std::string_view path) {
  const std::string source = Utf8Source(bytes);
  // Loading clears the new tree's holder; it is added again after the root.
  auto tree = std::make_shared<Tree>();
  const pugi::xml_parse_result result =
      tree->doc.load_buffer(source.data(), source.size(), pugi::parse_default, pugi::encoding_auto);
  const bool utf8 = result.encoding == pugi::encoding_utf8;
  if (!result) {
    const std::string where = utf8 ? xmltext::Position(source, static_cast<size_t>(result.offset))
                                   : "offset " + std::to_string(result.offset);
    throw xmltext::ParseError(result.description(), where, path);
  }
  int elements = 0;
  for (pugi::xml_node n = tree->doc.first_child(); n; n = n.next_sibling()) {
    const bool extra_element = n.type() == pugi::node_element && ++elements > 1;
    if (extra_element || n.type() == pugi::node_pcdata || n.type() == pugi::node_cdata) {
      const auto offset = static_cast<size_t>(n.offset_debug());
      const char* message = extra_element ? "Only one top level element is allowed" : "Text outside the root element";
      throw xmltext::ParseError(message, utf8 ? xmltext::Position(source, offset) : "offset " + std::to_string(offset),
                                path);
    }
  }
  tree->holder = tree->doc.append_child("detached");
  tree_ = std::move(tree);
  Changed();
  elements_only_ = true;
  if (const pugi::xml_node root = Root()) {
    ForEachNode(root, [&](pugi::xml_node n) { return elements_only_ = n.type() == pugi::node_element; });
  }
}

}  // namespace

std::shared_ptr<XmlDocument> CreateXmlDocument() { return std::make_shared<PugiDocument>(); }

}  // namespace bk
