/// @file ZuUrlEncode.h
/// @brief Percent-encoding of URL components. Pure functions: no state, no
/// request, safe from any thread.
#ifndef ZUCLOUD_ZU_URL_ENCODE_H
#define ZUCLOUD_ZU_URL_ENCODE_H

#include "ZuCloudExport.h"

/// @brief Encodes the NUL-terminated `input` into `output`.
///
/// Letters, digits and the bytes of `safeChars` are copied; every other byte
/// becomes "%XX" with upper-case hexadecimal digits (a blank becomes %20,
/// never "+"). The output is NUL-terminated.
/// @param[out] output room for 3 * `limit` + 1 bytes.
/// @param input NUL-terminated text; null yields an empty output and 1.
/// @param limit the most input bytes to encode.
/// @param safeChars NUL-terminated bytes to copy unencoded.
/// @return 1 when the whole input was encoded, 0 when the input is longer
///         than `limit` (the output then holds the encoding of the first
///         `limit` bytes).
ZUCLOUD_EXPORT int urlEncodeUseSafeChar(char* output, const char* input, int limit,
                                        const char* safeChars);

/// @brief urlEncodeUseSafeChar() with the safe set "-_.~/" ("/" is kept).
/// @param[out] output room for 3 * `limit` + 1 bytes.
/// @param input NUL-terminated text; null yields an empty output and 1.
/// @param limit the most input bytes to encode.
/// @return 1 when the whole input was encoded, 0 when it is longer than
///         `limit`.
ZUCLOUD_EXPORT int urlEncode(char* output, const char* input, int limit);

#endif  // ZUCLOUD_ZU_URL_ENCODE_H
