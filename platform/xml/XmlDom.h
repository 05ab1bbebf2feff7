// DOM parsing of the XML replies of set-up and completion requests
// (Xerces-C underneath).
//
// Each call initialises the XML platform, parses the text from a memory
// buffer with a DOM parser (validation scheme "always", namespaces on,
// validity errors ignored, fatal errors thrown as SAXParseException) and
// terminates the platform again; scope guards release the parser, the input
// source and the platform on every path.
//
// Hostile input is refused: no external entity or DTD is ever loaded and
// entity expansion is bounded, so a DOCTYPE bomb or an entity naming a local
// file ends the parse quickly without reading the file.
#ifndef ZUCLOUD_PLATFORM_XML_DOM_H
#define ZUCLOUD_PLATFORM_XML_DOM_H

#include <string>
#include <vector>

namespace zu::xml {

// Holds one reference on the XML platform from construction to destruction.
// A caller that parses many replies in a row holds one for the whole run, so
// that each parse only bumps the reference count instead of building and
// tearing down the platform's static tables. Initialisation and termination
// are serialised by one process-wide mutex (Xerces keeps a plain reference
// count and is not thread-safe there). When initialisation fails, ok() is
// false, error() holds the message and the destructor does nothing.
class PlatformScope {
 public:
  PlatformScope();
  ~PlatformScope();
  PlatformScope(const PlatformScope&) = delete;
  PlatformScope& operator=(const PlatformScope&) = delete;

  bool ok() const { return m_ok; }
  const std::string& error() const { return m_error; }

 private:
  bool m_ok = false;
  std::string m_error;
};

enum class ParseStatus {
  kOk,                  // root element found; children filled
  kPlatformInitFailed,  // XMLPlatformUtils::Initialize threw; message set
  kNoRoot,              // no document or no root element
  kXmlError,            // an XMLException or DOMException; message set
  kOtherError,          // any other exception (text not well-formed, ...)
};

struct Element {
  std::string name;  // tag name as written
  std::string text;  // all text below the element, concatenated (UTF-8)
};

struct ParseResult {
  ParseStatus status = ParseStatus::kOtherError;
  std::string message;            // the exception's message, when any
  std::string rootName;           // tag name of the root element
  std::vector<Element> children;  // element children of the root, in order
};

// Parses `xml` and returns the root element's direct element children.
ParseResult ParseRootChildren(const std::string& xml);

// An element with its element children, for replies nested deeper than one
// level. `text` is the element's text when it has no element children
// (a leaf), "" otherwise.
struct Node {
  std::string name;
  std::string text;
  std::vector<Node> children;
};

struct TreeResult {
  ParseStatus status = ParseStatus::kOtherError;
  std::string message;
  Node root;
};

// Parses `xml` into its element tree (depth bounded like every parse here).
TreeResult ParseTree(const std::string& xml);

// What AppendEscaped replaces beyond &, < and >.
enum EscapeExtras : unsigned {
  kEscapeQuotes = 1u,  // " and '
  // CR, as a character reference: it then survives the parser's line-end
  // normalisation.
  kEscapeCarriageReturn = 2u,
};

// Appends `text` to `out` as element text: &, < and > as entities, and the
// characters `extras` names.
void AppendEscaped(std::string& out, const std::string& text, unsigned extras);

// Escapes &, <, >, " and ' for element text.
std::string Escape(const std::string& text);

}  // namespace zu::xml

#endif  // ZUCLOUD_PLATFORM_XML_DOM_H
