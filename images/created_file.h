// Files this subsystem creates in the pending directory.
#pragma once

#include <cstddef>

#include "common/unique_fd.h"

namespace mfg::images {

// A file made with mkstemp from a template whose six X characters become the
// unique suffix. The name buffer belongs to the caller and must outlive the
// owner. The file is removed when the owner goes away unless keep() was called.
class CreatedFile {
public:
    explicit CreatedFile(char *name_template) noexcept;
    ~CreatedFile();
    CreatedFile(const CreatedFile &) = delete;
    CreatedFile &operator=(const CreatedFile &) = delete;

    [[nodiscard]] bool valid() const noexcept { return fd_.valid(); }
    [[nodiscard]] int fd() const noexcept { return fd_.get(); }
    [[nodiscard]] const char *name() const noexcept { return name_; }
    void close() noexcept { fd_.reset(); }
    void keep() noexcept { remove_ = false; }

private:
    UniqueFd fd_;
    const char *name_;
    bool created_;
    bool remove_ = true;
};

// Writes all n bytes at data, going on after a write that stored only part of
// them. 0, or the errno of the failing write; EIO when a write stored nothing
// and gave no reason.
[[nodiscard]] int write_fully(int fd, const void *data, std::size_t n) noexcept;

}  // namespace mfg::images
