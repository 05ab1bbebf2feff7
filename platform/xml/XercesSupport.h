// Internal helpers shared by the Xerces-C users of the platform layer
// (XmlDom.cpp, CNMessage.cpp). Not part of any public interface.
//
// (The platform's reference, zu::xml::PlatformScope, is declared in
// XmlDom.h so that code outside the platform layer can hold one.)
// - HardenedDomParser: a XercesDOMParser that never loads a DTD, schema or
//   external entity and stops after a small number of entity expansions.
// - ToUtf8: XMLCh text to UTF-8 (independent of the process locale).
#ifndef ZUCLOUD_PLATFORM_XERCES_SUPPORT_H
#define ZUCLOUD_PLATFORM_XERCES_SUPPORT_H

#include <memory>
#include <string>
#include <xercesc/dom/DOMDocument.hpp>
#include <xercesc/parsers/XercesDOMParser.hpp>
#include <xercesc/sax/ErrorHandler.hpp>
#include <xercesc/util/SecurityManager.hpp>
#include <xercesc/util/XMLEntityResolver.hpp>

#include "platform/xml/XmlDom.h"

namespace zu::xml::detail {

// Refuses every entity, DTD or grammar the parser would fetch: with default
// resolution disabled, a null answer means "cannot be opened".
class RefuseAllEntities : public xercesc::XMLEntityResolver {
 public:
  xercesc::InputSource* resolveEntity(xercesc::XMLResourceIdentifier* resourceIdentifier) override;
};

// Turns every fatal error (text that is not well-formed, an entity that
// cannot be opened, too many entity expansions) into a SAXParseException
// out of parse(); validity errors and warnings are ignored. Without any
// handler Xerces 3.2 records fatal errors only in its error count and
// returns a partial document, and that count also includes the validity
// errors that scheme "always" reports for every document without a DTD.
class ThrowOnFatalError : public xercesc::ErrorHandler {
 public:
  void warning(const xercesc::SAXParseException&) override {}
  void error(const xercesc::SAXParseException&) override {}
  void fatalError(const xercesc::SAXParseException& e) override;
  void resetErrors() override {}
};

// Entity expansions a document may make. Predefined entities (&amp; ...)
// and character references are not counted by Xerces, so ordinary escaped
// text is never affected; a document that defines its own entities gets
// this many expansions and then fails with a fatal error.
inline constexpr unsigned kEntityExpansionLimit = 64;

// A DOM parser configured against hostile input. Construct only while a
// PlatformScope is alive, and destroy before it ends. Namespaces are on;
// the validation scheme is the caller's. parse() throws what Xerces throws:
// XMLException, DOMException, and SAXParseException for every fatal error
// (see ThrowOnFatalError).
class HardenedDomParser {
 public:
  explicit HardenedDomParser(xercesc::XercesDOMParser::ValSchemes scheme);
  ~HardenedDomParser();
  HardenedDomParser(const HardenedDomParser&) = delete;
  HardenedDomParser& operator=(const HardenedDomParser&) = delete;

  // Parses `size` bytes at `data` (not copied; must outlive the call).
  void parse(const char* data, size_t size);
  // The parsed document (owned by the parser), or null.
  xercesc::DOMDocument* document();

 private:
  // Declared before the parser: the parser points at both and is destroyed
  // first.
  RefuseAllEntities m_resolver;
  ThrowOnFatalError m_errors;
  xercesc::SecurityManager m_security;
  std::unique_ptr<xercesc::XercesDOMParser> m_parser;
};

// Deepest element nesting of the XML text (a conservative scan: comments,
// CDATA, processing instructions and declarations are skipped, quoted
// attribute values respected). Stops counting once `stopAt` is exceeded.
size_t ElementNestingDepth(const char* data, size_t size, size_t stopAt);

// Deepest element nesting HardenedDomParser accepts.
constexpr size_t kMaxElementDepth = 256;

// Thrown by HardenedDomParser::parse for text nested deeper than that.
struct NestingTooDeep {};

// UTF-8 form of `text`; "" for null. Unpaired surrogates are replaced by
// the transcoder's replacement character.
std::string ToUtf8(const XMLCh* text);

// Message of a Xerces exception's text, transcoded.
std::string MessageOf(const XMLCh* text);

}  // namespace zu::xml::detail

#endif  // ZUCLOUD_PLATFORM_XERCES_SUPPORT_H
