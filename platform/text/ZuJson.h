// JSON text codec for the Azure Functions requests, on nlohmann/json.
//
// Values follow the map-based model: objects keyed by string (sorted),
// arrays, strings, signed and unsigned integers, booleans. Numbers keep their
// signedness on the wire: an unsigned 4294967295 stays unsigned.
#ifndef ZUCLOUD_PLATFORM_ZU_JSON_H
#define ZUCLOUD_PLATFORM_ZU_JSON_H

#include <nlohmann/json.hpp>
#include <string>

using ZuJsonValue = nlohmann::json;
using ZuJsonObject = nlohmann::json::object_t;
using ZuJsonArray = nlohmann::json::array_t;

class ZuJson {
 public:
  static std::string Serialize(const ZuJsonValue& value);
  // 1 when `text` is one well-formed JSON value (stored in `value`), else 0.
  static int Unserialize(const std::string& text, ZuJsonValue& value);
  // The boolean member `key` of object `value`; false when absent, not a
  // boolean, or `value` is not an object.
  static bool GetBoolValue(const ZuJsonValue& value, const std::string& key);
  // The string member `key`; empty when absent or not a string.
  static std::string GetStringValue(const ZuJsonValue& value, const std::string& key);
  // The array member `key`, or null when absent or not an array.
  static const ZuJsonArray* FindArrayValue(const ZuJsonValue& value, const std::string& key);
};

#endif  // ZUCLOUD_PLATFORM_ZU_JSON_H
