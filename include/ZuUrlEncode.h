// Percent-encoding of URL components.
#ifndef ZUCLOUD_ZU_URL_ENCODE_H
#define ZUCLOUD_ZU_URL_ENCODE_H

#include "ZuCloudExport.h"

// Encodes the NUL-terminated `input` into `output`. Letters, digits and the
// bytes of `safeChars` are copied; every other byte becomes "%XX" with
// upper-case hexadecimal digits (a blank becomes %20, never "+").
//
// `limit` counts input bytes: `output` must have room for 3 * limit + 1
// bytes. Returns 1 when the whole input was encoded, 0 when the input is
// longer than `limit` (the output then holds the encoding of the first
// `limit` bytes). A null input yields an empty output and 1.
ZUCLOUD_EXPORT int urlEncodeUseSafeChar(char* output, const char* input,
                                        int limit, const char* safeChars);

// urlEncodeUseSafeChar with the default safe set "-_.~/" ("/" is kept).
ZUCLOUD_EXPORT int urlEncode(char* output, const char* input, int limit);

#endif  // ZUCLOUD_ZU_URL_ENCODE_H
