// ZuJson::Unserialize and the lookups the Azure Functions replies go through.
//
// Input: the reply text (NUL bytes included).
//
// Checked beyond memory safety:
//  - a refused text leaves the value untouched;
//  - an accepted value serializes to text that parses to the same value, and
//    serializing that gives the same text;
//  - the lookups agree with the value (GetBoolValue true only for a boolean
//    member that is true, GetStringValue non-empty only for a string member,
//    FindArrayValue set exactly for an array member), also on the entries
//    of "azureSASTokens" as the set-up walks them.
#include <cstddef>
#include <cstdint>
#include <string>

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

void CheckLookups(const ZuJsonValue& value) {
  for (const char* key : kKeys) {
    const bool isObject = value.is_object();
    const auto it = isObject ? value.find(key) : value.end();
    const bool present = isObject && it != value.end();

    const bool flag = ZuJson::GetBoolValue(value, key);
    FUZZ_CHECK(flag == (present && it->is_boolean() && it->get<bool>()));

    const std::string text = ZuJson::GetStringValue(value, key);
    if (present && it->is_string()) {
      FUZZ_CHECK(text == it->get_ref<const std::string&>());
    } else {
      FUZZ_CHECK(text.empty());
    }

    const ZuJsonArray* array = ZuJson::FindArrayValue(value, key);
    FUZZ_CHECK((array != nullptr) == (present && it->is_array()));
    if (array != nullptr) FUZZ_CHECK(array->size() == it->size());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  ZuJsonValue value = "untouched";
  if (ZuJson::Unserialize(text, value) != 1) {
    FUZZ_CHECK(value == "untouched");
    return 0;
  }

  CheckLookups(value);
  if (const ZuJsonArray* tokens = ZuJson::FindArrayValue(value, "azureSASTokens")) {
    for (const ZuJsonValue& token : *tokens) CheckLookups(token);
  }

  const std::string serialized = ZuJson::Serialize(value);
  FUZZ_CHECK(!serialized.empty());
  ZuJsonValue again;
  FUZZ_CHECK(ZuJson::Unserialize(serialized, again) == 1);
  FUZZ_CHECK(again == value);
  FUZZ_CHECK(ZuJson::Serialize(again) == serialized);
  return 0;
}
