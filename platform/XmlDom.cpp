#include "platform/XmlDom.h"

#include <xercesc/dom/DOMElement.hpp>
#include <xercesc/dom/DOMException.hpp>
#include <xercesc/dom/DOMNode.hpp>
#include <xercesc/sax/SAXParseException.hpp>
#include <xercesc/util/XMLException.hpp>

#include "platform/XercesSupport.h"

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

}  // namespace

ParseResult ParseRootChildren(const std::string& xml) {
  ParseResult result;
  PlatformScope platform;
  if (!platform.ok()) {
    result.status = ParseStatus::kPlatformInitFailed;
    result.message = platform.error();
    return result;
  }
  try {
    // The parser (and with it the document) is gone before the platform
    // reference is dropped.
    detail::HardenedDomParser parser(xercesc::XercesDOMParser::Val_Always);
    parser.parse(xml.data(), xml.size());
    CollectRootChildren(parser.document(), result);
  } catch (const xercesc::XMLException& e) {
    result = ParseResult{};
    result.status = ParseStatus::kXmlError;
    result.message = detail::MessageOf(e.getMessage());
  } catch (const xercesc::DOMException& e) {
    result = ParseResult{};
    result.status = ParseStatus::kXmlError;
    result.message = detail::MessageOf(e.getMessage());
  } catch (const xercesc::SAXParseException& e) {
    result = ParseResult{};
    result.status = ParseStatus::kOtherError;
    result.message = detail::MessageOf(e.getMessage());
  } catch (...) {
    result = ParseResult{};
    result.status = ParseStatus::kOtherError;
  }
  return result;
}

std::string Escape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&apos;"; break;
      default: out += c; break;
    }
  }
  return out;
}

}  // namespace zu::xml
