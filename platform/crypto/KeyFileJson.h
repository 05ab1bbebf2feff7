// The JSON of the key file, read by hand: one object whose "kid" and "key"
// members matter and whose other members are checked and passed over.
//
// A general JSON parser keeps copies of the text it reads in its own heap
// strings (nlohmann/json's lexer, for one, collects every token twice,
// once for the value and once for its error messages, in buffers it grows
// and frees without wiping), so the key text would be left in memory a
// core dump holds. This reader makes no copy of any text but the two
// members it returns, and it decodes the key's text straight into secret
// pages.
//
// It reads RFC 8259 JSON as nlohmann/json does: a UTF-8 byte order mark
// may come first, white space may surround any value, strings must be
// well-formed UTF-8 with valid escapes (surrogates in pairs), and nothing
// but white space may follow the object. Nesting is not limited (the
// reader keeps no recursion).
#ifndef ZUCLOUD_PLATFORM_CRYPTO_KEY_FILE_JSON_H
#define ZUCLOUD_PLATFORM_CRYPTO_KEY_FILE_JSON_H

#include <cstddef>
#include <string>

#include "platform/crypto/SecretBuffer.h"

namespace zu {

struct KeyFileMembers {
  bool kidIsText = false;  // "kid" is present and a string
  std::string kid;
  bool keyIsText = false;  // "key" is present and a string
  SecretBuffer keyText;    // its text, decoded, keyLength bytes
  size_t keyLength = 0;
};

// Reads the `size` bytes at `text` into `members`. "" on success, else the
// reason: the text is no JSON, no JSON object, or names "kid" or "key"
// twice. Never repeats any of the text in the reason.
std::string ReadKeyFileJson(const char* text, size_t size, KeyFileMembers& members);

}  // namespace zu

#endif  // ZUCLOUD_PLATFORM_CRYPTO_KEY_FILE_JSON_H
