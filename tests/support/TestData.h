// Test data: random file contents and their SHA-256.
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

}  // namespace zutest

#endif  // ZUCLOUD_TESTS_SUPPORT_TEST_DATA_H
