// Test data: random file contents and their SHA-256, hostile XML.
#ifndef ZUCLOUD_TESTS_SUPPORT_TEST_DATA_H
#define ZUCLOUD_TESTS_SUPPORT_TEST_DATA_H

#include <random>
#include <string>

namespace zutest {

// `size` bytes from `gen` (four bytes per draw).
std::string RandomBytes(long long size, std::mt19937& gen);
// `size` bytes from a generator seeded with `seed`.
std::string RandomBytes(long long size, unsigned seed);
// Lower-case hexadecimal SHA-256 of `data`.
std::string Sha256Hex(const std::string& data);
// "<!DOCTYPE root [...]>" declaring entity "a" (ten characters) and nine
// more, "a<first>" to "a<first + 8>", each ten references to the one before
// it: a reference to the last expands to 10^10 characters.
std::string EntityBombDoctype(const std::string& root, int first);

}  // namespace zutest

#endif  // ZUCLOUD_TESTS_SUPPORT_TEST_DATA_H
