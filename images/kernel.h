// Kernel partitions of the two system slots and the signed-kernel container.
#pragma once

#include <cstdint>

#include "store/section.h"

namespace mfg::images {

// flags 2 and 3 (bit 0 aside, MFG_KERNEL_SYSA) choose system A; every other
// value system B.
[[nodiscard]] const char *kernel_device(int flags) noexcept;

// Signed-kernel container: a section header (MD5, big-endian length and magic)
// whose data are a 20-byte tag followed by the image.
//   0  md5[16]       over the tag and the image
//   16 length        image length + 20
//   20 magic         0x12611920
//   24 name[12]      "sysa_kersig" and its NUL, whichever slot it goes to
//   36 reserved      0
//   40 image length
//   44 image
inline constexpr unsigned kContainerHeaderSize = store::kSectionHeaderSize;
inline constexpr unsigned kImageTagSize = 20;
inline constexpr unsigned kContainerHeadSize = kContainerHeaderSize + kImageTagSize;
inline constexpr char kImageTagName[] = "sysa_kersig";

// The 20 tag bytes for an image of image_len bytes.
void encode_image_tag(unsigned char tag[kImageTagSize], std::uint32_t image_len) noexcept;
// The 24 header bytes for a container holding image_len bytes of image.
void encode_container_header(unsigned char header[kContainerHeaderSize],
                             const unsigned char md5[16], std::uint32_t image_len) noexcept;

// Writes len bytes of image at data to the kernel partition that flags choose,
// through a temporary file in the pending directory, plain or wrapped in the
// container when flags has MFG_KERNEL_SIGNED. 0; the negated errno when the
// temporary file could not be made or filled (the partition is then left as it
// was); -1 when the image writer failed.
[[nodiscard]] int write_kernel_image(const unsigned char *data, unsigned len, int flags) noexcept;

}  // namespace mfg::images
