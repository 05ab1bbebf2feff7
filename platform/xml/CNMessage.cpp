#include "platform/xml/CNMessage.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <xercesc/dom/DOMDocument.hpp>
#include <xercesc/dom/DOMElement.hpp>
#include <xercesc/dom/DOMNode.hpp>

#include "platform/text/Decimal.h"
#include "platform/xml/XercesSupport.h"
#include "platform/xml/XmlDom.h"

namespace {

// A field's description is its id (CNMessage.h).
using FieldDef = zu::msg::FieldId;
using Kind = zu::msg::FieldKind;

namespace msg = zu::msg;

struct ClassDef {
  const char* name;  // as in the interface, with any "App::" prefix
  const msg::ClassId* id;
  const FieldDef* const* fields;  // in the order they are written
  size_t fieldCount;
};

// The schema. Field order is the order of the elements on the wire.
const FieldDef* const kCheckCredentialReqFields[] = {&msg::kReqUserName, &msg::kReqPassword,
                                                     &msg::kReqExtraCredential};
const FieldDef* const kCheckCredentialRespFields[] = {&msg::kRespErrors, &msg::kRespSessionToken};
const FieldDef* const kErrorFields[] = {&msg::kErrorText};
const FieldDef* const kFileResourceInfoFields[] = {&msg::kResName, &msg::kResParentPath,
                                                   &msg::kResFolderGUID, &msg::kResFolderDetail};
const FieldDef* const kFileResourceResponseFields[] = {&msg::kRespResource, &msg::kRespStatus};
const FieldDef* const kGenericRespFields[] = {&msg::kGenericErrorText};
const FieldDef* const kUploadFileRespFields[] = {&msg::kUploadRequestId, &msg::kUploadFileGUID,
                                                 &msg::kUploadChunkOffset};

template <size_t N>
constexpr ClassDef Def(const char* name, const msg::ClassId& id,
                       const FieldDef* const (&fields)[N]) {
  return ClassDef{name, &id, fields, N};
}

const ClassDef kClasses[] = {
    Def("CheckCredentialReq", msg::kCheckCredentialReq, kCheckCredentialReqFields),
    Def("CheckCredentialResp", msg::kCheckCredentialResp, kCheckCredentialRespFields),
    Def("Error", msg::kError, kErrorFields),
    Def("App::FileResourceInfo", msg::kFileResourceInfo, kFileResourceInfoFields),
    Def("App::FileResourceResponse", msg::kFileResourceResponse, kFileResourceResponseFields),
    Def("App::GenericResp", msg::kGenericResp, kGenericRespFields),
    Def("UploadFileResp", msg::kUploadFileResp, kUploadFileRespFields),
};

const ClassDef* FindClass(int type, int id) {
  for (const ClassDef& c : kClasses) {
    if (c.id->type == type && c.id->id == id) return &c;
  }
  return nullptr;
}

// Root / entry element name: the class name without its "App::" prefix.
std::string ElementName(const ClassDef& c) {
  static constexpr char kPrefix[] = "App::";
  const char* name = c.name;
  if (std::strncmp(name, kPrefix, sizeof(kPrefix) - 1) == 0) {
    name += sizeof(kPrefix) - 1;
  }
  return name;
}

// The field addressed by (classKey, number, fieldKey[, tag]) if it belongs
// to `c` and holds `kind`; null otherwise. `tag` < 0 means "not given".
const FieldDef* Lookup(const ClassDef* c, unsigned long classKey, short number, int tag,
                       unsigned int fieldKey, Kind kind) {
  if (c == nullptr || classKey != c->id->key) return nullptr;
  for (size_t i = 0; i < c->fieldCount; ++i) {
    const FieldDef& f = *c->fields[i];
    if (f.number != number) continue;
    if (f.key != fieldKey || f.kind != kind) return nullptr;
    if (tag >= 0 && f.tag != tag) return nullptr;
    return &f;
  }
  return nullptr;
}

constexpr int kTagNotGiven = -1;

// True when `text` is well-formed UTF-8 made only of characters an XML 1.0
// document can carry (the Char production: tab, line feed, carriage return,
// U+0020-U+D7FF, U+E000-U+FFFD, U+10000-U+10FFFF). Anything else, such as a
// C0 control character from a user-written value or from an XML 1.1 reply,
// has no representation in the text this class writes.
bool IsXmlText(const std::string& text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  for (size_t i = 0; i < n;) {
    const unsigned char c = p[i];
    if (c < 0x80) {
      if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') return false;
      ++i;
      continue;
    }
    size_t length = 0;
    char32_t cp = 0;
    if ((c & 0xE0) == 0xC0) {
      length = 2;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      length = 3;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      length = 4;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (n - i < length) return false;
    for (size_t k = 1; k < length; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (p[i + k] & 0x3F);
    }
    const char32_t minimum = length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
    if (cp < minimum || cp > 0x10FFFF) return false;  // overlong or too large
    if ((cp >= 0xD800 && cp <= 0xDFFF) || cp == 0xFFFE || cp == 0xFFFF) return false;
    i += length;
  }
  return true;
}

// Signed decimal, surrounding XML whitespace allowed, overflow refused.
bool ParseInt64(const std::string& text, long long& value) {
  static constexpr char kSpace[] = " \t\r\n";
  size_t begin = text.find_first_not_of(kSpace);
  if (begin == std::string::npos) return false;
  size_t end = text.find_last_not_of(kSpace) + 1;
  return zu::ParseSignedDecimal(text.substr(begin, end - begin), zu::Signs::kPlusOrMinus, LLONG_MIN,
                                LLONG_MAX, value);
}

std::string NameOf(const xercesc::DOMNode* node) {
  return zu::xml::detail::ToUtf8(node->getNodeName());
}

}  // namespace

// ---------------------------------------------------------------------------
// Construction, copy, destruction

CNMessageBase::CNMessageBase(int type, int id) : m_type(type), m_id(id) {}

CNMessageBase::CNMessageBase(const CNMessageBase& other) : m_type(other.m_type), m_id(other.m_id) {
  copyFrom(other);
}

CNMessageBase& CNMessageBase::operator=(const CNMessageBase& other) {
  if (this == &other) return *this;
  // Copy first, then swap: `other` may be nested inside *this.
  CNMessageBase copy(other);
  clear();
  m_type = copy.m_type;
  m_id = copy.m_id;
  m_strings.swap(copy.m_strings);
  m_numbers.swap(copy.m_numbers);
  m_objects.swap(copy.m_objects);
  m_lists.swap(copy.m_lists);
  return *this;
}

CNMessageBase::~CNMessageBase() { clear(); }

void CNMessageBase::clear() {
  for (auto& entry : m_objects) delete entry.second;
  for (auto& entry : m_lists) {
    if (entry.second == nullptr) continue;
    for (CNMessageBase* item : *entry.second) delete item;
    delete entry.second;
  }
  m_strings.clear();
  m_numbers.clear();
  m_objects.clear();
  m_lists.clear();
}

void CNMessageBase::copyFrom(const CNMessageBase& other) {
  m_strings = other.m_strings;
  m_numbers = other.m_numbers;
  // Insert each owner into the maps as soon as it exists so that the
  // destructor frees it should a later allocation throw.
  for (const auto& entry : other.m_objects) {
    CNMessageBase*& slot = m_objects[entry.first];
    slot = entry.second ? new CNMessageBase(*entry.second) : nullptr;
  }
  for (const auto& entry : other.m_lists) {
    CNMessageList*& slot = m_lists[entry.first];
    slot = nullptr;
    if (entry.second == nullptr) continue;
    slot = new CNMessageList();
    slot->reserve(entry.second->size());
    for (const CNMessageBase* item : *entry.second) {
      slot->push_back(nullptr);
      if (item != nullptr) slot->back() = new CNMessageBase(*item);
    }
  }
}

std::string CNMessageBase::className() const {
  const ClassDef* c = FindClass(m_type, m_id);
  return c ? c->name : std::string();
}

// ---------------------------------------------------------------------------
// Accessors

int CNMessageBase::setstring(short number, short tag, const std::string& value,
                             unsigned long classKey, unsigned int fieldKey) {
  if (!Lookup(FindClass(m_type, m_id), classKey, number, tag, fieldKey, Kind::kString)) {
    return 1;
  }
  m_strings[number] = value;
  return 0;
}

std::string CNMessageBase::getstring(short number, short tag, unsigned long classKey,
                                     unsigned int fieldKey) const {
  if (!Lookup(FindClass(m_type, m_id), classKey, number, tag, fieldKey, Kind::kString)) {
    return std::string();
  }
  auto it = m_strings.find(number);
  return it == m_strings.end() ? std::string() : it->second;
}

int CNMessageBase::setint64(short number, long long value, unsigned long classKey,
                            unsigned int fieldKey) {
  if (!Lookup(FindClass(m_type, m_id), classKey, number, kTagNotGiven, fieldKey, Kind::kInt64)) {
    return 1;
  }
  m_numbers[number] = value;
  return 0;
}

long long CNMessageBase::getint64(short number, unsigned long classKey,
                                  unsigned int fieldKey) const {
  if (!Lookup(FindClass(m_type, m_id), classKey, number, kTagNotGiven, fieldKey, Kind::kInt64)) {
    return 0;
  }
  auto it = m_numbers.find(number);
  return it == m_numbers.end() ? 0 : it->second;
}

CNMessageList** CNMessageBase::getlistobject(short number, short tag, unsigned long classKey,
                                             unsigned int fieldKey, bool create) {
  if (!Lookup(FindClass(m_type, m_id), classKey, number, tag, fieldKey, Kind::kList)) {
    return nullptr;
  }
  // The slot lives in the map, whose nodes never move; whatever the caller
  // stores there is owned by this message.
  CNMessageList*& slot = m_lists[number];
  if (create && slot == nullptr) slot = new CNMessageList();
  return &slot;
}

CNMessageBase** CNMessageBase::getObjectAccessor(bool create, bool /*successObject*/, short number,
                                                 short tag, unsigned long classKey,
                                                 unsigned int fieldKey, int type, int id) {
  const FieldDef* f =
      Lookup(FindClass(m_type, m_id), classKey, number, tag, fieldKey, Kind::kObject);
  if (f == nullptr) return nullptr;
  // A nested message is only ever created of the field's own class.
  if (create && (f->nested->type != type || f->nested->id != id)) {
    return nullptr;
  }
  CNMessageBase*& slot = m_objects[number];
  if (create && slot == nullptr) slot = new CNMessageBase(type, id);
  return &slot;
}

// ---------------------------------------------------------------------------
// XML

namespace {

class Writer {
 public:
  explicit Writer(bool pretty) : m_pretty(pretty) {}

  void open(const std::string& name, int depth) {
    indent(depth);
    m_out += '<';
    m_out += name;
    m_out += '>';
  }
  void close(const std::string& name, int depth, bool hadChildren) {
    if (hadChildren) indent(depth);
    m_out += "</";
    m_out += name;
    m_out += '>';
  }
  // Container start: newline so the children begin on their own lines.
  void beginChildren() {
    if (m_pretty) m_out += '\n';
  }
  void endLine() {
    if (m_pretty) m_out += '\n';
  }
  void leaf(const std::string& name, const std::string& text, int depth) {
    if (!IsXmlText(text)) m_representable = false;
    open(name, depth);
    // CR as a reference, so that the text reads back as it was written.
    zu::xml::AppendEscaped(m_out, text, zu::xml::kEscapeCarriageReturn);
    close(name, depth, false);
    endLine();
  }
  // An element whose own children `content` writes at the depth it is
  // given; it returns whether it wrote any.
  template <class Content>
  void element(const std::string& name, int depth, Content content) {
    open(name, depth);
    const bool inner = content(depth + 1);
    close(name, depth, inner);
    endLine();
  }
  std::string& out() { return m_out; }
  // False once a leaf held text that XML cannot carry.
  bool representable() const { return m_representable; }

 private:
  void indent(int depth) {
    if (m_pretty) m_out.append(static_cast<size_t>(depth) * 2, ' ');
  }

  bool m_pretty;
  bool m_representable = true;
  std::string m_out;
};

// The children of one element, at `depth`: the first one starts them on a
// line of their own.
class Children {
 public:
  Children(Writer& w, int depth) : m_w(w), m_depth(depth) {}
  void leaf(const std::string& name, const std::string& text) {
    start();
    m_w.leaf(name, text, m_depth);
  }
  template <class Content>
  void element(const std::string& name, Content content) {
    start();
    m_w.element(name, m_depth, content);
  }
  bool any() const { return m_any; }

 private:
  void start() {
    if (!m_any) m_w.beginChildren();
    m_any = true;
  }

  Writer& m_w;
  int m_depth;
  bool m_any = false;
};

// The value stored under `number`, or null.
template <class Map>
const typename Map::mapped_type* Find(const Map& map, short number) {
  auto it = map.find(number);
  return it == map.end() ? nullptr : &it->second;
}

// The message or list stored under `number`, or null when there is none.
template <class Map>
typename Map::mapped_type FindSet(const Map& map, short number) {
  const typename Map::mapped_type* stored = Find(map, number);
  return stored == nullptr ? nullptr : *stored;
}

}  // namespace

int CNMessageBase::serialize(std::string& xml, bool pretty) const {
  const ClassDef* c = FindClass(m_type, m_id);
  if (c == nullptr) return 1;
  Writer writer(pretty);
  std::string root = ElementName(*c);
  // Writes the message's fields as children at `depth`; returns whether
  // any field was present. Recursion depth is bounded by the schema.
  struct Body {
    static bool Write(const CNMessageBase& m, const ClassDef& cls, Writer& w, int depth) {
      Children children(w, depth);
      for (size_t i = 0; i < cls.fieldCount; ++i) {
        const FieldDef& f = *cls.fields[i];
        const std::string name = f.element;
        const short number = f.number;
        switch (f.kind) {
          case Kind::kString:
            if (const std::string* text = Find(m.m_strings, number)) children.leaf(name, *text);
            break;
          case Kind::kInt64:
            if (const long long* value = Find(m.m_numbers, number)) {
              children.leaf(name, std::to_string(*value));
            }
            break;
          case Kind::kObject:
            if (const CNMessageBase* object = FindSet(m.m_objects, number)) {
              children.element(name, [&](int inner) { return WriteNested(*object, w, inner); });
            }
            break;
          case Kind::kList:
            if (const CNMessageList* list = FindSet(m.m_lists, number)) {
              children.element(name, [&](int inner) { return WriteList(*list, w, inner); });
            }
            break;
        }
      }
      return children.any();
    }
    static bool WriteNested(const CNMessageBase& m, Writer& w, int depth) {
      const ClassDef* nc = FindClass(m.m_type, m.m_id);
      return nc != nullptr && Write(m, *nc, w, depth);
    }
    // The entries of a list, each an element named after its class; entries
    // of no known class are left out.
    static bool WriteList(const CNMessageList& list, Writer& w, int depth) {
      Children entries(w, depth);
      for (const CNMessageBase* item : list) {
        if (item == nullptr) continue;
        const ClassDef* ic = FindClass(item->m_type, item->m_id);
        if (ic == nullptr) continue;
        entries.element(ElementName(*ic), [&](int inner) { return Write(*item, *ic, w, inner); });
      }
      return entries.any();
    }
  };
  writer.element(root, 0, [&](int inner) { return Body::Write(*this, *c, writer, inner); });
  // Text the parser would refuse is never sent.
  if (!writer.representable()) return 1;
  xml = std::move(writer.out());
  return 0;
}

namespace {

// Fills `m` (of class `cls`) from the element children of `container`.
// Returns false on a 64-bit field that is not a number.
bool ReadFields(CNMessageBase& m, const ClassDef& cls, const xercesc::DOMElement* container);

const FieldDef* FieldByElement(const ClassDef& cls, const std::string& name) {
  for (size_t i = 0; i < cls.fieldCount; ++i) {
    if (name == cls.fields[i]->element) return cls.fields[i];
  }
  return nullptr;
}

bool ReadFields(CNMessageBase& m, const ClassDef& cls, const xercesc::DOMElement* container) {
  using zu::xml::detail::ToUtf8;
  const unsigned long classKey = cls.id->key;
  for (const xercesc::DOMNode* node = container->getFirstChild(); node != nullptr;
       node = node->getNextSibling()) {
    if (node->getNodeType() != xercesc::DOMNode::ELEMENT_NODE) continue;
    const FieldDef* f = FieldByElement(cls, NameOf(node));
    if (f == nullptr) continue;  // unknown elements are ignored
    const auto* element = static_cast<const xercesc::DOMElement*>(node);
    switch (f->kind) {
      case Kind::kString:
        m.setstring(f->number, f->tag, ToUtf8(node->getTextContent()), classKey, f->key);
        break;
      case Kind::kInt64: {
        long long value = 0;
        if (!ParseInt64(ToUtf8(node->getTextContent()), value)) return false;
        m.setint64(f->number, value, classKey, f->key);
        break;
      }
      case Kind::kObject: {
        const ClassDef* nc = FindClass(f->nested->type, f->nested->id);
        CNMessageBase** slot = m.getObjectAccessor(true, true, f->number, f->tag, classKey, f->key,
                                                   f->nested->type, f->nested->id);
        if (slot == nullptr || *slot == nullptr || nc == nullptr) return false;
        // A repeated element replaces the earlier one.
        **slot = CNMessageBase(f->nested->type, f->nested->id);
        if (!ReadFields(**slot, *nc, element)) return false;
        break;
      }
      case Kind::kList: {
        const ClassDef* ec = FindClass(f->nested->type, f->nested->id);
        CNMessageList** slot = m.getlistobject(f->number, f->tag, classKey, f->key, true);
        if (slot == nullptr || *slot == nullptr || ec == nullptr) return false;
        const std::string entryName = ElementName(*ec);
        for (const xercesc::DOMNode* child = element->getFirstChild(); child != nullptr;
             child = child->getNextSibling()) {
          if (child->getNodeType() != xercesc::DOMNode::ELEMENT_NODE ||
              NameOf(child) != entryName) {
            continue;
          }
          (*slot)->push_back(nullptr);
          (*slot)->back() = new CNMessageBase(f->nested->type, f->nested->id);
          if (!ReadFields(*(*slot)->back(), *ec, static_cast<const xercesc::DOMElement*>(child))) {
            return false;
          }
        }
        break;
      }
    }
  }
  return true;
}

}  // namespace

// On failure the message keeps its previous content.
int CNMessageBase::unserialize(const char* xml) {
  if (xml == nullptr) return 1;
  const ClassDef* c = FindClass(m_type, m_id);
  if (c == nullptr) return 1;

  zu::xml::PlatformScope platform;
  if (!platform.ok()) return 1;
  try {
    CNMessageBase parsed(m_type, m_id);
    {
      // The document lives inside the parser; both end before the
      // platform reference.
      zu::xml::detail::HardenedDomParser parser(xercesc::XercesDOMParser::Val_Never);
      parser.parse(xml, std::strlen(xml));
      xercesc::DOMDocument* doc = parser.document();
      if (doc == nullptr || doc->getDoctype() != nullptr) return 1;
      const xercesc::DOMElement* root = doc->getDocumentElement();
      if (root == nullptr || NameOf(root) != ElementName(*c)) return 1;
      if (!ReadFields(parsed, *c, root)) return 1;
    }
    *this = parsed;
    return 0;
  } catch (...) {
    // XMLException, DOMException, SAXParseException (text that is not
    // well-formed) and allocation failures alike.
    return 1;
  }
}
