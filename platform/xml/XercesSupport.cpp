#include "platform/xml/XercesSupport.h"

#include <string_view>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/sax/SAXParseException.hpp>
#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/XMLException.hpp>

#include "platform/threads/ZuSync.h"

namespace zu::xml::detail {

// Held around every Initialize and Terminate: they update the platform's
// reference count and static state (inside Xerces, so no field here says
// GUARDED_BY) without any locking of their own.
zu::Mutex& PlatformMutex();

namespace {

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

}  // namespace

zu::Mutex& PlatformMutex() {
  static zu::Mutex mutex;
  return mutex;
}

xercesc::InputSource* RefuseAllEntities::resolveEntity(
    xercesc::XMLResourceIdentifier* /*resourceIdentifier*/) {
  return nullptr;
}

void ThrowOnFatalError::fatalError(const xercesc::SAXParseException& e) { throw e; }

HardenedDomParser::HardenedDomParser(xercesc::XercesDOMParser::ValSchemes scheme)
    : m_parser(std::make_unique<xercesc::XercesDOMParser>()) {
  m_security.setEntityExpansionLimit(kEntityExpansionLimit);
  xercesc::XercesDOMParser& p = *m_parser;
  p.setValidationScheme(scheme);
  p.setDoNamespaces(true);
  // Nothing outside the given bytes is ever read: no external DTD subset,
  // no schema, no external entity (the resolver refuses and the built-in
  // file/URL resolution is off).
  p.setLoadExternalDTD(false);
  p.setDoSchema(false);
  p.setLoadSchema(false);
  p.setDoXInclude(false);
  p.setDisableDefaultEntityResolution(true);
  p.setXMLEntityResolver(&m_resolver);
  // Entity references are replaced by their text, not kept as nodes.
  p.setCreateEntityReferenceNodes(false);
  p.setSecurityManager(&m_security);
  p.setExitOnFirstFatalError(true);
  p.setErrorHandler(&m_errors);
}

HardenedDomParser::~HardenedDomParser() = default;

size_t ElementNestingDepth(const char* data, size_t size, size_t stopAt) {
  const std::string_view text(data, size);
  auto skipPast = [&](size_t from, std::string_view end) {
    size_t at = text.find(end, from);
    return at == std::string_view::npos ? size : at + end.size();
  };
  size_t depth = 0;
  size_t deepest = 0;
  size_t i = 0;
  while (i < size) {
    if (text[i] != '<') {
      ++i;
      continue;
    }
    const std::string_view rest = text.substr(i);
    if (rest.rfind("<!--", 0) == 0) {
      i = skipPast(i + 4, "-->");
    } else if (rest.rfind("<![CDATA[", 0) == 0) {
      i = skipPast(i + 9, "]]>");
    } else if (rest.rfind("<?", 0) == 0) {
      i = skipPast(i + 2, "?>");
    } else if (rest.rfind("<!", 0) == 0) {
      i = skipPast(i + 2, ">");
    } else if (rest.rfind("</", 0) == 0) {
      if (depth > 0) --depth;
      i = skipPast(i + 2, ">");
    } else {
      // A start tag: find its end outside quoted attribute values.
      size_t j = i + 1;
      char quote = 0;
      for (; j < size; ++j) {
        const char c = text[j];
        if (quote != 0) {
          if (c == quote) quote = 0;
        } else if (c == '"' || c == '\'') {
          quote = c;
        } else if (c == '>') {
          break;
        }
      }
      if (j >= size || text[j - 1] != '/') {
        if (++depth > deepest) deepest = depth;
        if (deepest > stopAt) return deepest;
      }
      i = j + 1;
    }
  }
  return deepest;
}

void HardenedDomParser::parse(const char* data, size_t size) {
  // Xerces needs time that grows with the square of the nesting depth, so a
  // hostile reply of deeply nested elements could hold a request for hours.
  // No message of this system nests deeply: such text is refused unparsed.
  if (ElementNestingDepth(data, size, kMaxElementDepth) > kMaxElementDepth) {
    throw NestingTooDeep();
  }
  // The input source is released on every path, also when parse() throws.
  xercesc::MemBufInputSource source(reinterpret_cast<const XMLByte*>(data), size, "FakeSystemId",
                                    /*adoptBuffer=*/false);
  m_parser->parse(source);
}

xercesc::DOMDocument* HardenedDomParser::document() { return m_parser->getDocument(); }

std::string ToUtf8(const XMLCh* text) {
  std::string out;
  if (text == nullptr) return out;
  for (const XMLCh* p = text; *p != 0; ++p) {
    char32_t unit = static_cast<char32_t>(*p);
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      char32_t next = static_cast<char32_t>(p[1]);
      if (next >= 0xDC00 && next <= 0xDFFF) {
        AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00));
        ++p;
        continue;
      }
      AppendUtf8(out, 0xFFFD);
    } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
      AppendUtf8(out, 0xFFFD);
    } else {
      AppendUtf8(out, unit);
    }
  }
  return out;
}

std::string MessageOf(const XMLCh* text) { return ToUtf8(text); }

}  // namespace zu::xml::detail

namespace zu::xml {

PlatformScope::PlatformScope() {
  zu::MutexLock lock(detail::PlatformMutex());
  try {
    xercesc::XMLPlatformUtils::Initialize();
    m_ok = true;
  } catch (const xercesc::XMLException& e) {
    m_error = detail::MessageOf(e.getMessage());
    if (m_error.empty()) m_error = "XML platform initialisation failed";
  } catch (...) {
    m_error = "XML platform initialisation failed";
  }
}

PlatformScope::~PlatformScope() {
  if (!m_ok) return;
  zu::MutexLock lock(detail::PlatformMutex());
  try {
    xercesc::XMLPlatformUtils::Terminate();
  } catch (...) {
    // Nothing sensible to do in a destructor; the reference is gone anyway.
  }
}

}  // namespace zu::xml
