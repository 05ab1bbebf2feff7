// JSON codec on nlohmann/json. Nothing here throws to the caller.
#include "platform/text/ZuJson.h"

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

std::string ZuJson::Serialize(const ZuJsonValue& value) {
  try {
    // Invalid UTF-8 in a string becomes U+FFFD instead of an exception.
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
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
    ZuJsonValue parsed = ZuJsonValue::parse(text, nullptr, /*allow_exceptions=*/false,
                                            /*ignore_comments=*/false);
    if (parsed.is_discarded()) return 0;
    value = std::move(parsed);
    return 1;
  } catch (...) {
    // Only std::bad_alloc can get here.
    return 0;
  }
}

bool ZuJson::GetBoolValue(const ZuJsonValue& value, const std::string& key) {
  if (!value.is_object()) return false;
  auto it = value.find(key);
  if (it == value.end() || !it->is_boolean()) return false;
  return it->get<bool>();
}

std::string ZuJson::GetStringValue(const ZuJsonValue& value, const std::string& key) {
  if (!value.is_object()) return std::string();
  auto it = value.find(key);
  if (it == value.end() || !it->is_string()) return std::string();
  return it->get_ref<const std::string&>();
}

const ZuJsonArray* ZuJson::FindArrayValue(const ZuJsonValue& value, const std::string& key) {
  if (!value.is_object()) return nullptr;
  auto it = value.find(key);
  if (it == value.end() || !it->is_array()) return nullptr;
  return &it->get_ref<const ZuJsonArray&>();
}
