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

// Visits the elements named `name` below `parent` in document order until
// `visit` returns false. With `self`, `parent` itself is visited first.
template <typename Visit>
void ForEachNamed(pugi::xml_node parent, const std::string& name, bool self, Visit visit) {
  if (self && name == parent.name() && !visit(parent)) return;
  pugi::xml_node node = parent.first_child();
  while (node && node != parent) {
    if (node.type() == pugi::node_element && name == node.name() && !visit(node)) return;
    if (node.first_child()) {
      node = node.first_child();
      continue;
    }
    while (node != parent && !node.next_sibling()) node = node.parent();
    if (node != parent) node = node.next_sibling();
  }
}

class PugiElement final : public XmlElement {
 public:
  PugiElement(std::shared_ptr<PugiDocument> doc, std::shared_ptr<Tree> tree, pugi::xml_node node)
      : doc_(std::move(doc)), tree_(std::move(tree)), node_(node) {}

  void AppendChild(const std::shared_ptr<XmlElement>& child) override;
  void SetAttribute(std::string_view name, std::string_view value) override {
    xmltext::RequireRepresentable(name, value);
    const std::string key(name);
    pugi::xml_attribute attribute = node_.attribute(key.c_str());
    if (!attribute) attribute = node_.append_attribute(key.c_str());
    attribute.set_value(std::string(value).c_str());
  }
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
  void write(const void* data, size_t size) override { out.append(static_cast<const char*>(data), size); }
  std::string out;
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
    StringWriter writer;
    if (const pugi::xml_node root = Root()) root.print(writer, "\t", pugi::format_indent, pugi::encoding_utf8);
    return std::move(writer.out);
  }
  void Load(std::string_view bytes, std::string_view path) override;

  static const PugiElement& MovableElement(XmlElement& child, const std::shared_ptr<Tree>& tree) {
    const auto* element = dynamic_cast<const PugiElement*>(&child);
    if (element == nullptr || element->tree() != tree) throw xmltext::ForeignNode();
    return *element;
  }

 private:
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
};

void PugiElement::AppendChild(const std::shared_ptr<XmlElement>& child) {
  const auto& element = PugiDocument::MovableElement(*child, tree_);
  if (!node_.append_move(element.node())) throw xmltext::ForeignNode();
}

std::shared_ptr<XmlDocument> PugiElement::OwnerDocument() { return doc_; }

// UTF-16 LE text with a byte-order mark becomes UTF-8, so that positions
// of errors can be counted in one encoding; everything else is parsed as is.
std::string Utf8Source(std::string_view bytes) {
  if (bytes.substr(0, 3) == "\xEF\xBB\xBF") return std::string(bytes.substr(3));
  if (bytes.size() < 2 || static_cast<uint8_t>(bytes[0]) != 0xFF || static_cast<uint8_t>(bytes[1]) != 0xFE) {
    return std::string(bytes);
  }
  std::u16string units((bytes.size() - 2) / 2, u'\0');
  for (size_t i = 0; i < units.size(); ++i) {
    units[i] = static_cast<char16_t>(static_cast<uint8_t>(bytes[2 + 2 * i]) |
                                     (static_cast<uint8_t>(bytes[3 + 2 * i]) << 8));
  }
  return text::ToUtf8(units);
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
}

}  // namespace

std::shared_ptr<XmlDocument> CreateXmlDocument() { return std::make_shared<PugiDocument>(); }

}  // namespace bk
