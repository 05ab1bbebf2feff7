#include "support/TestData.h"

#include <openssl/evp.h>

namespace zutest {

std::string RandomBytes(long long size, std::mt19937& gen) {
  std::string data(static_cast<size_t>(size), '\0');
  for (size_t i = 0; i < data.size(); i += 4) {
    const unsigned value = gen();
    for (size_t b = 0; b < 4 && i + b < data.size(); ++b) {
      data[i + b] = static_cast<char>((value >> (8 * b)) & 0xFF);
    }
  }
  return data;
}

std::string RandomBytes(long long size, unsigned seed) {
  std::mt19937 gen(seed);
  return RandomBytes(size, gen);
}

std::string Sha256Hex(const std::string& data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha256(), nullptr);
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned int i = 0; i < length; ++i) {
    out += kHex[digest[i] >> 4];
    out += kHex[digest[i] & 15];
  }
  return out;
}

std::string EntityBombDoctype(const std::string& root, int first) {
  std::string doctype = "<!DOCTYPE " + root + " [<!ENTITY a \"aaaaaaaaaa\">";
  std::string prev = "a";
  for (int i = first; i < first + 9; ++i) {
    const std::string name = "a" + std::to_string(i);
    doctype += "<!ENTITY " + name + " \"";
    for (int k = 0; k < 10; ++k) doctype += "&" + prev + ";";
    doctype += "\">";
    prev = name;
  }
  return doctype + "]>";
}

}  // namespace zutest
