// zu::xml::ParseRootChildren, the DOM walk under the set-up and completion
// replies of both services.
//
// Input: the whole reply text (NUL bytes included).
//
// Checked beyond memory safety: a parse reports a root name exactly when it
// succeeds, leaves no children behind on failure, and every name and text it
// returns is well-formed UTF-8 with elements named like XML names.
#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "platform/xml/XercesSupport.h"
#include "platform/xml/XmlDom.h"

// One platform reference for the whole run: each parse then skips the
// costly initialise/terminate pair, which does not depend on the input (the
// regression tests cover that path).
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  static zu::xml::PlatformScope* const keep = new zu::xml::PlatformScope();
  return keep->ok() ? 0 : 1;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string xml(reinterpret_cast<const char*>(data), size);
  const zu::xml::ParseResult result = zu::xml::ParseRootChildren(xml);

  FUZZ_CHECK(zufuzz::IsValidUtf8(result.message));
  if (result.status != zu::xml::ParseStatus::kOk) {
    FUZZ_CHECK(result.rootName.empty());
    FUZZ_CHECK(result.children.empty());
    return 0;
  }
  FUZZ_CHECK(!result.rootName.empty());
  FUZZ_CHECK(zufuzz::IsValidUtf8(result.rootName));
  for (const zu::xml::Element& child : result.children) {
    FUZZ_CHECK(!child.name.empty());
    FUZZ_CHECK(child.name.find_first_of(" <>&\"'=\t\r\n") == std::string::npos);
    FUZZ_CHECK(zufuzz::IsValidUtf8(child.name));
    FUZZ_CHECK(zufuzz::IsValidUtf8(child.text));
    FUZZ_CHECK(child.text.find('\0') == std::string::npos);
  }
  return 0;
}
