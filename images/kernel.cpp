// Kernel images for the kernel partitions of system A and B, from a file or
// from a buffer. A buffer goes to the image writer through a temporary file in
// the pending directory, plain or wrapped in the signed-kernel container.
#include "images/kernel.h"

#include "mfg.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/appliance.h"
#include "common/be.h"
#include "common/log.h"
#include "common/md5.h"
#include "flash/image_writer.h"
#include "images/created_file.h"

namespace mfg::images {

static_assert(sizeof kImageTagName == 12, "the tag name field is 12 bytes");

const char *kernel_device(int flags) noexcept {
    return (flags & ~MFG_KERNEL_SIGNED) == MFG_KERNEL_SYSA ? kSysaKernelDevice : kSysbKernelDevice;
}

void encode_image_tag(unsigned char tag[kImageTagSize], std::uint32_t image_len) noexcept {
    std::memcpy(tag, kImageTagName, sizeof kImageTagName);
    put_be32(tag + 12, 0);
    put_be32(tag + 16, image_len);
}

void encode_container_header(unsigned char header[kContainerHeaderSize],
                             const unsigned char md5[16], std::uint32_t image_len) noexcept {
    store::SectionHeader h{};
    std::memcpy(h.md5, md5, sizeof h.md5);
    h.length = image_len + kImageTagSize;
    h.magic = store::kSectionMagic;
    store::section_header_encode(header, h);
}

namespace {

// Header and tag of the container; the digest covers the tag and the image.
// false when no digest context could be had.
[[nodiscard]] bool build_container_head(unsigned char head[kContainerHeadSize],
                                        const unsigned char *image, std::uint32_t len) noexcept {
    unsigned char *tag = head + kContainerHeaderSize;
    encode_image_tag(tag, len);
    unsigned char digest[16];
    Md5 md5;
    if (!md5.update(tag, kImageTagSize) || !md5.update(image, len) || !md5.final(digest))
        return false;
    encode_container_header(head, digest, len);
    return true;
}

// The temporary file's contents: the container's head when signed, then the
// image. 0, or the errno of what failed.
[[nodiscard]] int fill_temporary(int fd, const unsigned char *data, unsigned len,
                                 bool signed_container) noexcept {
    if (signed_container) {
        unsigned char head[kContainerHeadSize];
        if (!build_container_head(head, data, len)) return ENOMEM;
        if (const int err = write_fully(fd, head, sizeof head)) return err;
    }
    return write_fully(fd, data, len);
}

}  // namespace

int write_kernel_image(const unsigned char *data, unsigned len, int flags) noexcept {
    if (data == nullptr && len != 0) return -EINVAL;
    const char *device = kernel_device(flags);

    char name[MFG_PENDING_PATH_MAX];
    (void)std::snprintf(name, sizeof name, "%s/KERNEL_IMAGE.XXXXXX", kPendingDir);
    CreatedFile temporary(name);  // removed on every path once created
    if (!temporary.valid()) {
        const int err = errno;
        log_errno(err, "**Error: Could not open %s, %m (%d)", device, err);
        return -err;
    }
    // An image that did not reach the temporary file in full never reaches the
    // flash: the partition is left as it was.
    if (const int err = fill_temporary(temporary.fd(), data, len, flags & MFG_KERNEL_SIGNED)) {
        log_errno(err, "**Error: Unable to complete writing of %s, %m (%d)", name, err);
        return -err;
    }
    temporary.close();
    return flash::write_image(device, name).ok() ? 0 : -1;
}

}  // namespace mfg::images

extern "C" int mfg_write_kernel(const char *file, int flags) noexcept {
    return mfg::flash::image_code(mfg::flash::write_image(mfg::images::kernel_device(flags), file));
}

extern "C" int mfg_write_kernelimage(const unsigned char *data, unsigned len, int flags) noexcept {
    return mfg::images::write_kernel_image(data, len, flags);
}
