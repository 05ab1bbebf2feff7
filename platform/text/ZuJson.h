// JSON values and their text, for the Azure Functions requests and replies.
//
// Values follow the map-based model: objects keyed by string (sorted),
// arrays, strings, signed and unsigned integers, booleans. Numbers keep their
// signedness on the wire: an unsigned 4294967295 stays unsigned. The codec
// underneath (nlohmann/json) stays inside platform/text: callers see only
// these two classes.
#ifndef ZUCLOUD_PLATFORM_ZU_JSON_H
#define ZUCLOUD_PLATFORM_ZU_JSON_H

#include <memory>
#include <string>
#include <vector>

class ZuJsonValue {
 public:
  ZuJsonValue();  // null
  // Not explicit, so that a member is set to what it holds:
  // value.Set("JobId", jobId).
  ZuJsonValue(const char* text);
  ZuJsonValue(const std::string& text);
  ZuJsonValue(int number);
  ZuJsonValue(unsigned int number);
  ZuJsonValue(unsigned long long number);
  ZuJsonValue(bool flag);
  static ZuJsonValue Object();  // an empty object
  static ZuJsonValue Array();   // an empty array
  ZuJsonValue(const ZuJsonValue& other);
  ZuJsonValue& operator=(const ZuJsonValue& other);
  ZuJsonValue(ZuJsonValue&& other) noexcept;
  ZuJsonValue& operator=(ZuJsonValue&& other) noexcept;
  ~ZuJsonValue();

  // Sets member `key` of an object (a null value becomes an object first).
  void Set(const std::string& key, ZuJsonValue value);
  // Appends an element to an array (a null value becomes an array first).
  void Append(ZuJsonValue value);

  bool IsObject() const;
  bool IsArray() const;
  bool IsString() const;
  bool IsInteger() const;   // signed or unsigned
  bool IsUnsigned() const;  // an integer written without a sign
  // Member `key` of an object; null when absent or when this is no object.
  ZuJsonValue Member(const std::string& key) const;
  // The elements of an array; none when this is no array.
  std::vector<ZuJsonValue> Elements() const;
  // The value itself when it has that type; "", 0 or false otherwise.
  std::string String() const;
  long long Integer() const;
  unsigned long long Unsigned() const;

  bool operator==(const ZuJsonValue& other) const;
  bool operator!=(const ZuJsonValue& other) const { return !(*this == other); }

 private:
  friend struct ZuJsonAccess;  // the codec, in ZuJson.cpp
  struct Impl;
  std::unique_ptr<Impl> m_impl;
};

class ZuJson {
 public:
  // The value as compact JSON text; "" only when memory runs out.
  static std::string Serialize(const ZuJsonValue& value);
  // 1 when `text` is one well-formed JSON value (stored in `value`), else 0
  // with `value` untouched.
  static int Unserialize(const std::string& text, ZuJsonValue& value);
  // The boolean member `key` of object `value`; false when absent, not a
  // boolean, or `value` is not an object.
  static bool GetBoolValue(const ZuJsonValue& value, const std::string& key);
  // The string member `key`; empty when absent or not a string.
  static std::string GetStringValue(const ZuJsonValue& value, const std::string& key);
  // The elements of the array member `key` in `elements`; false when absent
  // or not an array.
  static bool GetArrayValue(const ZuJsonValue& value, const std::string& key,
                            std::vector<ZuJsonValue>& elements);
};

#endif  // ZUCLOUD_PLATFORM_ZU_JSON_H
