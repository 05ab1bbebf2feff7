// CNMessageBase::unserialize for every message class of the web console.
//
// Input: the first byte picks the class (low 5 bits), pretty printing (0x80)
// and whether the message already holds content (0x40). With 0x20 the rest
// is a user-written value stored in every string field and serialized (the
// login and create-folder requests); otherwise the rest, up to its first
// NUL, is the XML text to parse.
//
// Checked beyond memory safety:
//  - a refused text leaves the previous content untouched;
//  - an accepted message reads back the same through a copy, and its
//    serialization parses again to the same content and the same text;
//  - serialize refuses exactly the values XML cannot carry, and any value it
//    writes comes back unchanged.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "platform/xml/CNMessage.h"
#include "platform/xml/XercesSupport.h"

namespace {

namespace msg = zu::msg;

enum class Kind { kString, kInt64, kObject, kList };

struct FieldSpec {
  const msg::FieldId* id;
  Kind kind;
  const msg::ClassId* nested;
};

struct ClassSpec {
  const msg::ClassId* id;
  std::vector<FieldSpec> fields;
};

const std::vector<ClassSpec>& Classes() {
  static const std::vector<ClassSpec> classes = {
      {&msg::kCheckCredentialReq,
       {{&msg::kReqUserName, Kind::kString, nullptr},
        {&msg::kReqPassword, Kind::kString, nullptr},
        {&msg::kReqExtraCredential, Kind::kString, nullptr}}},
      {&msg::kCheckCredentialResp,
       {{&msg::kRespErrors, Kind::kList, &msg::kError},
        {&msg::kRespSessionToken, Kind::kString, nullptr}}},
      {&msg::kError, {{&msg::kErrorText, Kind::kString, nullptr}}},
      {&msg::kFileResourceInfo,
       {{&msg::kResName, Kind::kString, nullptr},
        {&msg::kResParentPath, Kind::kString, nullptr},
        {&msg::kResFolderGUID, Kind::kString, nullptr},
        {&msg::kResFolderDetail, Kind::kString, nullptr}}},
      {&msg::kFileResourceResponse,
       {{&msg::kRespResource, Kind::kObject, &msg::kFileResourceInfo},
        {&msg::kRespStatus, Kind::kObject, &msg::kGenericResp}}},
      {&msg::kGenericResp, {{&msg::kGenericErrorText, Kind::kString, nullptr}}},
      {&msg::kUploadFileResp,
       {{&msg::kUploadRequestId, Kind::kString, nullptr},
        {&msg::kUploadFileGUID, Kind::kString, nullptr},
        {&msg::kUploadChunkOffset, Kind::kInt64, nullptr}}},
  };
  return classes;
}

const ClassSpec* SpecOf(int type, int id) {
  for (const ClassSpec& c : Classes()) {
    if (c.id->type == type && c.id->id == id) return &c;
  }
  return nullptr;
}

// A readable dump of everything the accessors give for `m`, read only
// through the public interface (nothing is created on the way).
std::string Dump(CNMessageBase& m, std::vector<std::string>* strings = nullptr) {
  const ClassSpec* schema = SpecOf(m.type(), m.id());
  FUZZ_CHECK(schema != nullptr);
  const unsigned long key = schema->id->key;
  std::string out = "{" + m.className();
  for (const FieldSpec& f : schema->fields) {
    out += " " + std::to_string(f.id->number) + "=";
    switch (f.kind) {
      case Kind::kString: {
        const std::string value = m.getstring(f.id->number, f.id->tag, key, f.id->key);
        if (strings != nullptr) strings->push_back(value);
        out += "'" + value + "'";
        break;
      }
      case Kind::kInt64:
        out += std::to_string(m.getint64(f.id->number, key, f.id->key));
        break;
      case Kind::kObject: {
        CNMessageBase** slot = m.getObjectAccessor(false, true, f.id->number, f.id->tag, key,
                                                   f.id->key, f.nested->type, f.nested->id);
        FUZZ_CHECK(slot != nullptr);
        out += *slot == nullptr ? "null" : Dump(**slot, strings);
        break;
      }
      case Kind::kList: {
        CNMessageList** slot = m.getlistobject(f.id->number, f.id->tag, key, f.id->key, false);
        FUZZ_CHECK(slot != nullptr);
        if (*slot == nullptr) {
          out += "null";
          break;
        }
        out += "[";
        for (CNMessageBase* entry : **slot) {
          FUZZ_CHECK(entry != nullptr);
          out += Dump(*entry, strings);
        }
        out += "]";
        break;
      }
    }
  }
  return out + "}";
}

// Puts some content into `m` so that a refused parse has something to keep.
void Prefill(CNMessageBase& m, const ClassSpec& schema) {
  const unsigned long key = schema.id->key;
  for (const FieldSpec& f : schema.fields) {
    switch (f.kind) {
      case Kind::kString:
        FUZZ_CHECK(m.setstring(f.id->number, f.id->tag, "before & <after>\r", key, f.id->key) == 0);
        break;
      case Kind::kInt64:
        FUZZ_CHECK(m.setint64(f.id->number, -42, key, f.id->key) == 0);
        break;
      case Kind::kObject: {
        CNMessageBase** slot = m.getObjectAccessor(true, true, f.id->number, f.id->tag, key,
                                                   f.id->key, f.nested->type, f.nested->id);
        FUZZ_CHECK(slot != nullptr && *slot != nullptr);
        Prefill(**slot, *SpecOf(f.nested->type, f.nested->id));
        break;
      }
      case Kind::kList: {
        CNMessageList** slot = m.getlistobject(f.id->number, f.id->tag, key, f.id->key, true);
        FUZZ_CHECK(slot != nullptr && *slot != nullptr);
        (*slot)->push_back(new CNMessageBase(f.nested->type, f.nested->id));
        Prefill(*(*slot)->back(), *SpecOf(f.nested->type, f.nested->id));
        break;
      }
    }
  }
}

// Reference for what an XML 1.0 document can carry: well-formed UTF-8 of
// the Char production.
bool XmlCarries(const std::string& text) {
  if (!zufuzz::IsValidUtf8(text)) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') return false;
    // U+FFFE and U+FFFF: EF BF BE / EF BF BF.
    if (c == 0xEF && i + 2 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0xBF &&
        (static_cast<unsigned char>(text[i + 2]) & 0xFE) == 0xBE) {
      return false;
    }
  }
  return true;
}

bool AllCarried(const std::vector<std::string>& strings) {
  for (const std::string& s : strings) {
    if (!XmlCarries(s)) return false;
  }
  return true;
}

// Stores `value` in every string field of `m` and of its nested messages.
void SetEveryString(CNMessageBase& m, const std::string& value) {
  const ClassSpec* schema = SpecOf(m.type(), m.id());
  const unsigned long key = schema->id->key;
  for (const FieldSpec& f : schema->fields) {
    switch (f.kind) {
      case Kind::kString:
        FUZZ_CHECK(m.setstring(f.id->number, f.id->tag, value, key, f.id->key) == 0);
        break;
      case Kind::kInt64:
        break;
      case Kind::kObject: {
        CNMessageBase** slot = m.getObjectAccessor(true, true, f.id->number, f.id->tag, key,
                                                   f.id->key, f.nested->type, f.nested->id);
        FUZZ_CHECK(slot != nullptr && *slot != nullptr);
        SetEveryString(**slot, value);
        break;
      }
      case Kind::kList: {
        CNMessageList** slot = m.getlistobject(f.id->number, f.id->tag, key, f.id->key, true);
        FUZZ_CHECK(slot != nullptr && *slot != nullptr);
        (*slot)->push_back(new CNMessageBase(f.nested->type, f.nested->id));
        SetEveryString(*(*slot)->back(), value);
        break;
      }
    }
  }
}

// Serializes `m` and parses the text again into a fresh message of its
// class: the content must come back unchanged. Refusal is allowed only when
// some string cannot be carried.
void CheckRoundTrip(CNMessageBase& m, bool pretty) {
  std::vector<std::string> strings;
  const std::string dump = Dump(m, &strings);
  std::string xml = "unchanged";
  if (m.serialize(xml, pretty) != 0) {
    FUZZ_CHECK(xml == "unchanged");
    FUZZ_CHECK(!AllCarried(strings));
    return;
  }
  FUZZ_CHECK(AllCarried(strings));
  CNMessageBase again(m.type(), m.id());
  if (again.unserialize(xml.c_str()) != 0) {
    std::fprintf(stderr, "serialized message does not parse again:\n%s\n", xml.c_str());
    FUZZ_CHECK(false);
  }
  FUZZ_CHECK(Dump(again) == dump);
  std::string xml2;
  FUZZ_CHECK(again.serialize(xml2, pretty) == 0);
  FUZZ_CHECK(xml2 == xml);
}

std::string Serialized(const CNMessageBase& m, bool pretty) {
  std::string xml;
  FUZZ_CHECK(m.serialize(xml, pretty) == 0);
  return xml;
}

}  // namespace

// One platform reference for the whole run: each parse then skips the
// costly initialise/terminate pair, which does not depend on the input (the
// regression tests cover that path).
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  static zu::xml::PlatformScope* const keep = new zu::xml::PlatformScope();
  return keep->ok() ? 0 : 1;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const zufuzz::Input in = zufuzz::Split(data, size);
  const std::vector<ClassSpec>& classes = Classes();
  const ClassSpec& schema = classes[(in.selector & 0x1F) % classes.size()];
  const bool pretty = (in.selector & 0x80) != 0;

  CNMessageBase m(schema.id->type, schema.id->id);
  if ((in.selector & 0x40) != 0) Prefill(m, schema);

  if ((in.selector & 0x20) != 0) {
    // A value the host wrote, on its way into a request.
    SetEveryString(m, in.payload);
    CheckRoundTrip(m, pretty);
    return 0;
  }

  const std::string before = Serialized(m, false);
  if (m.unserialize(in.payload.c_str()) != 0) {
    FUZZ_CHECK(Serialized(m, false) == before);
    return 0;
  }

  const std::string dump = Dump(m);
  CNMessageBase copy(m);
  FUZZ_CHECK(Dump(copy) == dump);
  CNMessageBase assigned(msg::kError.type, msg::kError.id);
  assigned = m;
  FUZZ_CHECK(Dump(assigned) == dump);
  CheckRoundTrip(m, pretty);
  return 0;
}
