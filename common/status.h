// Outcome of an internal operation: what failed and the errno of the system
// call that failed. Allocation-free and noexcept, so it can cross every layer
// down to the C entry points, which turn it into their documented int.
#pragma once

#include <cstdint>

namespace mfg {

enum class Error : std::uint8_t {
    kNone,
    kInvalidArgument,  // a caller's argument that cannot be used
    kOpen,             // a file or device did not open
    kGeometry,         // MEMGETINFO failed or described an unusable partition
    kBadBlockQuery,    // MEMGETBADBLOCK failed for a reason other than no support
    kErase,            // MEMERASE failed
    kTooLarge,         // data longer than where it has to go
    kWrite,            // a write stored less than it was given
    kNoSpace,          // bad blocks left no room for the data
    kSeek,             // lseek failed
    kRead,             // a read failed or delivered less than needed
    kIncomplete,       // a whole image was needed and only part of it arrived
    kNoMemory,         // an allocation failed
    kCrypto,           // a digest or cipher could not be computed (not a data fault)
    kBadMagic,         // a record's magic number is wrong
    kBadLength,        // a record's length field is impossible, or its data short
    kBadDigest,        // a record's digest does not match its data
};

// A fixed English description of the error, for diagnostics.
[[nodiscard]] const char *describe(Error error) noexcept;

class [[nodiscard]] Status {
public:
    constexpr Status() noexcept = default;
    constexpr explicit Status(Error error, int sys_errno = 0) noexcept
        : error_(error), errno_(sys_errno) {}

    [[nodiscard]] constexpr bool ok() const noexcept { return error_ == Error::kNone; }
    [[nodiscard]] constexpr Error error() const noexcept { return error_; }
    // errno of the failing call; 0 when no system call failed.
    [[nodiscard]] constexpr int sys_errno() const noexcept { return errno_; }
    [[nodiscard]] const char *what() const noexcept { return describe(error_); }
    // The library could not do its work (no memory, no digest or cipher):
    // reported like a handle that could not be had, never as bad data.
    [[nodiscard]] constexpr bool resource_failure() const noexcept {
        return error_ == Error::kNoMemory || error_ == Error::kCrypto;
    }

private:
    Error error_ = Error::kNone;
    int errno_ = 0;
};

// A value together with the status that produced it. The value is
// meaningful when the status is ok, and also wherever a function documents
// it for a failure (a count of bytes delivered before a read failed).
template <class T>
class [[nodiscard]] Result {
public:
    // Implicit, so a function returns its value or a failed Status alike.
    constexpr Result(T value) noexcept : value_(value) {}
    constexpr Result(Status status, T value = T{}) noexcept : value_(value), status_(status) {}

    [[nodiscard]] constexpr bool ok() const noexcept { return status_.ok(); }
    [[nodiscard]] constexpr const Status &status() const noexcept { return status_; }
    [[nodiscard]] constexpr const T &value() const noexcept { return value_; }

private:
    T value_;
    Status status_;
};

}  // namespace mfg
