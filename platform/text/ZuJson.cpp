// JSON codec on nlohmann/json. Nothing here throws to the caller.
#include "platform/text/ZuJson.h"

#include <nlohmann/json.hpp>
#include <utility>

namespace {

// Deeper nesting is refused before parsing: it has no use in the requests
// and replies, and printing or copying such a value recurses once per level.
constexpr int kMaxDepth = 512;

// True when no array/object in `text` nests deeper than kMaxDepth. Brackets
// inside strings do not count; malformed text is left to the parser.
bool DepthWithinLimit(const std::string& text) {
  int depth = 0;
  bool inString = false;
  bool escaped = false;
  for (char c : text) {
    if (inString) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        inString = false;
      }
      continue;
    }
    if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > kMaxDepth) return false;
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return true;
}

}  // namespace

struct ZuJsonValue::Impl {
  nlohmann::json json;
};

// The codec's view of a value.
struct ZuJsonAccess {
  static nlohmann::json& Raw(ZuJsonValue& value) { return value.m_impl->json; }
  static const nlohmann::json& Raw(const ZuJsonValue& value) { return value.m_impl->json; }
};

namespace {

using Json = nlohmann::json;

ZuJsonValue Wrap(Json json) {
  ZuJsonValue value;
  ZuJsonAccess::Raw(value) = std::move(json);
  return value;
}

const Json& Raw(const ZuJsonValue& value) { return ZuJsonAccess::Raw(value); }
Json& Raw(ZuJsonValue& value) { return ZuJsonAccess::Raw(value); }

}  // namespace

ZuJsonValue::ZuJsonValue() : m_impl(std::make_unique<Impl>()) {}
ZuJsonValue::ZuJsonValue(const char* text) : ZuJsonValue() { m_impl->json = text; }
ZuJsonValue::ZuJsonValue(const std::string& text) : ZuJsonValue() { m_impl->json = text; }
ZuJsonValue::ZuJsonValue(int number) : ZuJsonValue() { m_impl->json = number; }
ZuJsonValue::ZuJsonValue(unsigned int number) : ZuJsonValue() { m_impl->json = number; }
ZuJsonValue::ZuJsonValue(unsigned long long number) : ZuJsonValue() { m_impl->json = number; }
ZuJsonValue::ZuJsonValue(bool flag) : ZuJsonValue() { m_impl->json = flag; }
ZuJsonValue ZuJsonValue::Object() { return Wrap(nlohmann::json::object()); }
ZuJsonValue ZuJsonValue::Array() { return Wrap(nlohmann::json::array()); }
ZuJsonValue::ZuJsonValue(const ZuJsonValue& other)
    : m_impl(std::make_unique<Impl>(*other.m_impl)) {}
ZuJsonValue& ZuJsonValue::operator=(const ZuJsonValue& other) {
  if (this != &other) m_impl->json = other.m_impl->json;
  return *this;
}
// A moved-from value is null, never without its state.
ZuJsonValue::ZuJsonValue(ZuJsonValue&& other) noexcept : m_impl(std::make_unique<Impl>()) {
  m_impl->json.swap(other.m_impl->json);
}
ZuJsonValue& ZuJsonValue::operator=(ZuJsonValue&& other) noexcept {
  m_impl->json.swap(other.m_impl->json);
  return *this;
}
ZuJsonValue::~ZuJsonValue() = default;

void ZuJsonValue::Set(const std::string& key, ZuJsonValue value) {
  m_impl->json[key] = std::move(value.m_impl->json);
}
void ZuJsonValue::Append(ZuJsonValue value) {
  m_impl->json.push_back(std::move(value.m_impl->json));
}

bool ZuJsonValue::IsObject() const { return m_impl->json.is_object(); }
bool ZuJsonValue::IsArray() const { return m_impl->json.is_array(); }
bool ZuJsonValue::IsString() const { return m_impl->json.is_string(); }
bool ZuJsonValue::IsInteger() const { return m_impl->json.is_number_integer(); }
bool ZuJsonValue::IsUnsigned() const { return m_impl->json.is_number_unsigned(); }

ZuJsonValue ZuJsonValue::Member(const std::string& key) const {
  if (!IsObject()) return ZuJsonValue();
  const auto it = m_impl->json.find(key);
  return it == m_impl->json.end() ? ZuJsonValue() : Wrap(*it);
}

std::vector<ZuJsonValue> ZuJsonValue::Elements() const {
  std::vector<ZuJsonValue> elements;
  if (!IsArray()) return elements;
  elements.reserve(m_impl->json.size());
  for (const nlohmann::json& element : m_impl->json) elements.push_back(Wrap(element));
  return elements;
}

std::string ZuJsonValue::String() const {
  return IsString() ? m_impl->json.get_ref<const std::string&>() : std::string();
}
long long ZuJsonValue::Integer() const { return IsInteger() ? m_impl->json.get<long long>() : 0; }
unsigned long long ZuJsonValue::Unsigned() const {
  return IsUnsigned() ? m_impl->json.get<unsigned long long>() : 0;
}

bool ZuJsonValue::operator==(const ZuJsonValue& other) const {
  return m_impl->json == other.m_impl->json;
}

std::string ZuJson::Serialize(const ZuJsonValue& value) {
  try {
    // Invalid UTF-8 in a string becomes U+FFFD instead of an exception.
    return Raw(value).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  } catch (...) {
    return std::string();
  }
}

int ZuJson::Unserialize(const std::string& text, ZuJsonValue& value) {
  // nlohmann's lexer takes a NUL byte for the end of input and would accept
  // "{}\0garbage"; raw NUL is never valid JSON, so refuse it here.
  if (text.find('\0') != std::string::npos) return 0;
  if (!DepthWithinLimit(text)) return 0;
  try {
    // Non-throwing parse; the whole text must be one value (no trailing
    // content, no comments).
    nlohmann::json parsed = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false,
                                                  /*ignore_comments=*/false);
    if (parsed.is_discarded()) return 0;
    Raw(value) = std::move(parsed);
    return 1;
  } catch (...) {
    // Only std::bad_alloc can get here.
    return 0;
  }
}

bool ZuJson::GetBoolValue(const ZuJsonValue& value, const std::string& key) {
  const nlohmann::json& json = Raw(value);
  if (!json.is_object()) return false;
  auto it = json.find(key);
  if (it == json.end() || !it->is_boolean()) return false;
  return it->get<bool>();
}

std::string ZuJson::GetStringValue(const ZuJsonValue& value, const std::string& key) {
  return value.Member(key).String();
}

bool ZuJson::GetArrayValue(const ZuJsonValue& value, const std::string& key,
                           std::vector<ZuJsonValue>& elements) {
  const ZuJsonValue member = value.Member(key);
  if (!member.IsArray()) return false;
  elements = member.Elements();
  return true;
}
