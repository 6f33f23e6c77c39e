// Pending update files. mfg_create_pending_file leaves a caller's buffer in
// the pending directory under a unique name; mfg_write_pending installs the
// code, kernel and signed kernel updates found in the working directory into
// system A, removing each one once it has been tried.
#include "images/pending.h"

#include "mfg.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/appliance.h"
#include "common/log.h"
#include "common/unique_fd.h"
#include "flash/image_writer.h"
#include "images/created_file.h"
#include "images/kernel.h"

namespace mfg::images {
namespace {

// A pending file mapped read-only; unmapped, then closed, when the owner goes.
class PendingMapping {
public:
    explicit PendingMapping(const char *path) noexcept : fd_(map_pending(path, &map_, &size_)) {}
    ~PendingMapping() {
        if (map_ != nullptr) ::munmap(const_cast<void *>(map_), static_cast<size_t>(size_));
    }
    PendingMapping(const PendingMapping &) = delete;
    PendingMapping &operator=(const PendingMapping &) = delete;

    [[nodiscard]] bool mapped() const noexcept { return map_ != nullptr; }
    [[nodiscard]] const unsigned char *data() const noexcept {
        return static_cast<const unsigned char *>(map_);
    }
    [[nodiscard]] unsigned size() const noexcept { return static_cast<unsigned>(size_); }

private:
    const void *map_ = nullptr;
    off_t size_ = -1;
    UniqueFd fd_;  // declared last: closed after the unmap
};

// The code update: recognised by its existence alone.
[[nodiscard]] int install_code_update() noexcept {
    const char *file = kPendingCodeFile;
    struct stat st;
    if (::stat(file, &st) != 0) return 0;
    report_progress("Pending sysa_code update found, installing\n");
    const bool written = flash::write_image(kSysaCodeDevice, file).ok();
    (void)::unlink(file);
    if (written) return 0;
    report_progress("mfg_write_image failed on sysa_code!\n");
    return -1;
}

// A kernel update: installed only when it maps (it exists and is not empty).
[[nodiscard]] int install_kernel_update(const char *file, int flags, const char *found,
                                        const char *failed) noexcept {
    int written = 0;
    {
        PendingMapping image(file);
        if (!image.mapped()) return 0;
        report_progress(found);
        written = write_kernel_image(image.data(), image.size(), flags);
    }
    (void)::unlink(file);
    if (written == 0) return 0;
    report_progress(failed);
    return -1;
}

}  // namespace

int map_pending(const char *path, const void **map, off_t *size) noexcept {
    *map = nullptr;
    *size = -1;
    UniqueFd fd(::open(path, O_RDONLY));
    if (!fd) return -1;
    *size = ::lseek(fd.get(), 0, SEEK_END);
    if (*size <= 0) return -1;
    void *addr = ::mmap(nullptr, static_cast<size_t>(*size), PROT_READ, MAP_SHARED, fd.get(), 0);
    if (addr == MAP_FAILED) return -1;
    *map = addr;
    return fd.release();
}

}  // namespace mfg::images

using namespace mfg;
using namespace mfg::images;

extern "C" int mfg_create_pending_file(const char *name, const void *data, unsigned len,
                                       char *path) noexcept {
    if (name == nullptr || (data == nullptr && len != 0)) return -EINVAL;
    // A name too long for the buffer is cut; mkstemp then refuses the template.
    char full[MFG_PENDING_PATH_MAX];
    (void)std::snprintf(full, sizeof full, "%s/%s.XXXXXX", kPendingDir, name);
    CreatedFile file(full);
    if (!file.valid()) {
        const int err = errno;
        log_errno(err, "**Error: Unable to open %s for writing, %m (%d)", full, err);
        return -err;
    }
    int result = 0;
    if (const int err = write_fully(file.fd(), data, len)) {
        log_errno(err, "**Error: Unable to complete writing of %s, %m (%d)", full, err);
        result = -err;
    } else {
        file.keep();
    }
    file.close();
    if (result == 0) log_info("File installed to %s", full);
    if (path != nullptr) std::memcpy(path, full, std::strlen(full) + 1);
    return result;
}

extern "C" int mfg_write_pending(void) noexcept {
    // Each step runs only while everything before it succeeded.
    int result = install_code_update();
    if (result == 0)
        result = install_kernel_update(kPendingKernelFile, MFG_KERNEL_SYSA,
                                       "Pending sysa_kernel update found, installing\n",
                                       "mfg_write_kernelimage failed on sysa_kernel!\n");
    if (result == 0)
        result =
            install_kernel_update(kPendingSignedKernelFile, MFG_KERNEL_SYSA | MFG_KERNEL_SIGNED,
                                  "Pending sysa_kersig update found, installing\n",
                                  "mfg_write_kernelimage failed on sysa_kersig!\n");
    ::sync();
    ::sync();
    ::sync();
    return result;
}
