// ZuJson::Unserialize and the lookups the Azure Functions replies go through.
//
// Input: the reply text (NUL bytes included).
//
// Checked beyond memory safety:
//  - a refused text leaves the value untouched;
//  - an accepted value serializes to text that parses to the same value, and
//    serializing that gives the same text;
//  - the lookups agree with the same text parsed by nlohmann/json itself
//    (GetBoolValue true only for a boolean member that is true,
//    GetStringValue non-empty only for a string member, GetArrayValue true
//    exactly for an array member, with as many elements), also on the
//    entries of "azureSASTokens" as the set-up walks them.
#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "platform/text/ZuJson.h"

namespace {

const char* const kKeys[] = {"containerCreated",
                             "isSuccess",
                             "errorMessage",
                             "invocationId",
                             "azureSASServiceURL",
                             "azureSASTokens",
                             "name",
                             "sasToken",
                             ""};

// `expected` is the same value as nlohmann/json reads it.
void CheckLookups(const ZuJsonValue& value, const nlohmann::json& expected) {
  for (const char* key : kKeys) {
    const bool isObject = expected.is_object();
    const auto it = isObject ? expected.find(key) : expected.end();
    const bool present = isObject && it != expected.end();

    const bool flag = ZuJson::GetBoolValue(value, key);
    FUZZ_CHECK(flag == (present && it->is_boolean() && it->get<bool>()));

    const std::string text = ZuJson::GetStringValue(value, key);
    if (present && it->is_string()) {
      FUZZ_CHECK(text == it->get_ref<const std::string&>());
    } else {
      FUZZ_CHECK(text.empty());
    }

    std::vector<ZuJsonValue> array;
    const bool isArray = ZuJson::GetArrayValue(value, key, array);
    FUZZ_CHECK(isArray == (present && it->is_array()));
    if (isArray) FUZZ_CHECK(array.size() == it->size());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  ZuJsonValue value = "untouched";
  if (ZuJson::Unserialize(text, value) != 1) {
    FUZZ_CHECK(value == ZuJsonValue("untouched"));
    return 0;
  }

  // Accepted text has no NUL and parses the same way here.
  const nlohmann::json expected = nlohmann::json::parse(text, nullptr, false, false);
  FUZZ_CHECK(!expected.is_discarded());
  CheckLookups(value, expected);
  std::vector<ZuJsonValue> tokens;
  if (ZuJson::GetArrayValue(value, "azureSASTokens", tokens)) {
    const nlohmann::json& expectedTokens = expected.at("azureSASTokens");
    for (size_t i = 0; i < tokens.size(); ++i) CheckLookups(tokens[i], expectedTokens.at(i));
  }

  const std::string serialized = ZuJson::Serialize(value);
  FUZZ_CHECK(!serialized.empty());
  ZuJsonValue again;
  FUZZ_CHECK(ZuJson::Unserialize(serialized, again) == 1);
  FUZZ_CHECK(again == value);
  FUZZ_CHECK(ZuJson::Serialize(again) == serialized);
  return 0;
}
