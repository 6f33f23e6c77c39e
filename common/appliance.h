// The appliance's fixed names and sizes: every device node, file and record
// size the library touches, in one place. Nothing here is configurable at run
// time; the boot loader, the boot scripts and the kernel partitions rely on
// these exact values.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mfg {

// Every MTD device node of the appliance begins with this prefix; raw
// partitions, written by erase-and-write, continue with "r". The
// configuration device is where store sections are read.
inline constexpr const char *kDevicePrefix = "/dev/tqrd.";
inline constexpr const char *kConfigDevice = "/dev/tqrd.cfg0";
inline constexpr const char *kConfigRawDevice = "/dev/tqrd.rcfg0";
inline constexpr const char *kOemSerialDevice = "/dev/tqrd.rmfg";
inline constexpr const char *kBootcfgDevice = "/dev/tqrd.rbootcfg";
inline constexpr const char *kSysaKernelDevice = "/dev/tqrd.rsysa_kernel";
inline constexpr const char *kSysbKernelDevice = "/dev/tqrd.rsysb_kernel";
inline constexpr const char *kSysaCodeDevice = "/dev/tqrd.rsysa_code";

// Page granule of the last NAND write (not the driver's writesize).
inline constexpr std::uint32_t kNandPageSize = 2048;

// Serial-number override, read in place of store section 0 when it opens.
inline constexpr const char *kSerialOverridePath = "/etc/tq/serial";
// Marker files the boot scripts leave in the running slot.
inline constexpr const char *kSysaMarker = "/etc/sysa";
inline constexpr const char *kSysbMarker = "/etc/sysb";

// Where kernel images wait for the image writer and callers leave update files.
inline constexpr const char *kPendingDir = "/pending";
// Update files, looked up in the caller's working directory.
inline constexpr const char *kPendingCodeFile = "sysa_code";
inline constexpr const char *kPendingKernelFile = "sysa_kitb";
inline constexpr const char *kPendingSignedKernelFile = "sysa_kersig";

// Record sizes.
inline constexpr std::uint32_t kStoreSize = 30840;     // configuration store image
inline constexpr std::size_t kReaderBufferSize = 100;  // the library's serial-number buffers

}  // namespace mfg
