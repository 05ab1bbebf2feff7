// Where the bytes of an encrypted blob lie. The file's plaintext is cut
// into regions of kRegionPlainBytes (the last one shorter); each region is
// stored as its 12-byte nonce, its ciphertext (as long as its plaintext)
// and its 16-byte GCM tag. An empty file is stored as an empty blob: no
// region, no nonce, no tag.
//
// A block (and the slot that holds it) carries whole regions, except the
// file's last block, whose last region may be short; a block's plaintext
// length is therefore a multiple of kRegionPlainBytes except for the last
// block. In a slot, region i starts at i * kRegionStoredBytes and its
// plaintext at PlainOffsetInSlot(i).
#ifndef ZUCLOUD_PLATFORM_CRYPTO_REGION_LAYOUT_H
#define ZUCLOUD_PLATFORM_CRYPTO_REGION_LAYOUT_H

#include <cstddef>
#include <cstdint>

namespace zu {

constexpr size_t kRegionPlainBytes = 4 * 1024 * 1024;
constexpr size_t kRegionNonceBytes = 12;
constexpr size_t kRegionTagBytes = 16;
// What each region adds to its plaintext.
constexpr size_t kRegionOverheadBytes = kRegionNonceBytes + kRegionTagBytes;
// The stored length of a whole region.
constexpr size_t kRegionStoredBytes = kRegionPlainBytes + kRegionOverheadBytes;

// The number of regions `plainLength` bytes make (0 for none).
constexpr uint64_t RegionCount(uint64_t plainLength) {
  return plainLength / kRegionPlainBytes + (plainLength % kRegionPlainBytes != 0 ? 1 : 0);
}

// The stored length of `plainLength` bytes of plaintext: of a whole file,
// or of a block of whole regions (or the file's last block).
constexpr uint64_t StoredLength(uint64_t plainLength) {
  return plainLength + RegionCount(plainLength) * kRegionOverheadBytes;
}

// The offset, in a slot, of the plaintext of the slot's region `region`
// (counted from 0): where the reader puts it before sealing.
constexpr uint64_t PlainOffsetInSlot(uint64_t region) {
  return region * kRegionStoredBytes + kRegionNonceBytes;
}

// Whether a block of `plainLength` bytes holds whole regions only, as every
// block of a file but its last must.
constexpr bool HoldsWholeRegions(uint64_t plainLength) {
  return plainLength % kRegionPlainBytes == 0;
}

}  // namespace zu

#endif  // ZUCLOUD_PLATFORM_CRYPTO_REGION_LAYOUT_H
