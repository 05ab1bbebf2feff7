#include "platform/xml/XmlDom.h"

#include <xercesc/dom/DOMElement.hpp>
#include <xercesc/dom/DOMException.hpp>
#include <xercesc/dom/DOMNode.hpp>
#include <xercesc/sax/SAXParseException.hpp>
#include <xercesc/util/XMLException.hpp>

#include "platform/xml/XercesSupport.h"

namespace zu::xml {
namespace {

using detail::ToUtf8;

// Fills `result` from the parsed document; kNoRoot when there is none.
void CollectRootChildren(xercesc::DOMDocument* doc, ParseResult& result) {
  xercesc::DOMElement* root = doc ? doc->getDocumentElement() : nullptr;
  if (root == nullptr) {
    result.status = ParseStatus::kNoRoot;
    return;
  }
  result.rootName = ToUtf8(root->getTagName());
  for (xercesc::DOMNode* node = root->getFirstChild(); node != nullptr;
       node = node->getNextSibling()) {
    if (node->getNodeType() != xercesc::DOMNode::ELEMENT_NODE) continue;
    Element element;
    element.name = ToUtf8(node->getNodeName());
    element.text = ToUtf8(node->getTextContent());
    result.children.push_back(std::move(element));
  }
  result.status = ParseStatus::kOk;
}

// Copies `element` and everything below it into `node`. The parser bounds
// the nesting, so the recursion is bounded too.
void CopyTree(const xercesc::DOMNode* element, Node& node) {
  node.name = ToUtf8(element->getNodeName());
  for (xercesc::DOMNode* child = element->getFirstChild(); child != nullptr;
       child = child->getNextSibling()) {
    if (child->getNodeType() != xercesc::DOMNode::ELEMENT_NODE) continue;
    node.children.emplace_back();
    CopyTree(child, node.children.back());
  }
  if (node.children.empty()) node.text = ToUtf8(element->getTextContent());
}

// Runs `collect` on the parsed document of `xml`, turning every exception
// into `status` and `message`.
template <typename Collect>
void ParseWith(const std::string& xml, ParseStatus& status, std::string& message, Collect collect) {
  PlatformScope platform;
  if (!platform.ok()) {
    status = ParseStatus::kPlatformInitFailed;
    message = platform.error();
    return;
  }
  try {
    // The parser (and with it the document) is gone before the platform
    // reference is dropped.
    detail::HardenedDomParser parser(xercesc::XercesDOMParser::Val_Always);
    parser.parse(xml.data(), xml.size());
    status = collect(parser.document());
  } catch (const xercesc::XMLException& e) {
    status = ParseStatus::kXmlError;
    message = detail::MessageOf(e.getMessage());
  } catch (const xercesc::DOMException& e) {
    status = ParseStatus::kXmlError;
    message = detail::MessageOf(e.getMessage());
  } catch (const xercesc::SAXParseException& e) {
    status = ParseStatus::kOtherError;
    message = detail::MessageOf(e.getMessage());
  } catch (...) {
    status = ParseStatus::kOtherError;
  }
}

}  // namespace

TreeResult ParseTree(const std::string& xml) {
  TreeResult result;
  ParseWith(xml, result.status, result.message, [&result](xercesc::DOMDocument* doc) {
    xercesc::DOMElement* root = doc ? doc->getDocumentElement() : nullptr;
    if (root == nullptr) return ParseStatus::kNoRoot;
    CopyTree(root, result.root);
    return ParseStatus::kOk;
  });
  if (result.status != ParseStatus::kOk) result.root = Node{};
  return result;
}

ParseResult ParseRootChildren(const std::string& xml) {
  ParseResult result;
  ParseWith(xml, result.status, result.message, [&result](xercesc::DOMDocument* doc) {
    CollectRootChildren(doc, result);
    return result.status;
  });
  if (result.status != ParseStatus::kOk) {
    result.rootName.clear();
    result.children.clear();
  }
  return result;
}

namespace {

// The reference written for `c`, or null for a character written as it is.
const char* ReferenceFor(char c, unsigned extras) {
  switch (c) {
    case '&':
      return "&amp;";
    case '<':
      return "&lt;";
    case '>':
      return "&gt;";
    case '"':
      return (extras & kEscapeQuotes) != 0 ? "&quot;" : nullptr;
    case '\'':
      return (extras & kEscapeQuotes) != 0 ? "&apos;" : nullptr;
    case '\r':
      return (extras & kEscapeCarriageReturn) != 0 ? "&#13;" : nullptr;
    default:
      return nullptr;
  }
}

}  // namespace

void AppendEscaped(std::string& out, const std::string& text, unsigned extras) {
  for (char c : text) {
    const char* reference = ReferenceFor(c, extras);
    if (reference != nullptr) {
      out += reference;
    } else {
      out += c;
    }
  }
}

std::string Escape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  AppendEscaped(out, text, kEscapeQuotes);
  return out;
}

}  // namespace zu::xml
