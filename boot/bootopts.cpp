// The boot loader's option record at the start of /dev/tqrd.rbootcfg: read and
// verified by mfg_get_bootopts, rewritten from option bits by mfg_set_bootopts.
#include <cstdint>
#include <cstring>

#include "boot/boot_texts.h"
#include "boot/bootopts_checksum.h"
#include "common/appliance.h"
#include "common/be.h"
#include "common/log.h"
#include "common/record_lock.h"
#include "common/signal_hold.h"
#include "common/unique_fd.h"
#include "flash/partition.h"
#include "mfg.h"

namespace mfg::boot {
namespace {

// Fills record from dev, the partition opened read-only and locked. True
// when its magic and checksum hold; record is then the stored record,
// otherwise its contents are unspecified.
[[nodiscard]] bool read_valid_record(mfg_bootopts &record, const UniqueFd &dev) noexcept {
    std::memset(record.bytes, 0, sizeof record.bytes);
    // Reports no failure: an unopenable device or a short read leaves zeros,
    // which fail the magic test below.
    if (dev) (void)flash::read_partition(dev.get(), record.bytes, MFG_BOOTOPTS_SIZE);

    if (get_be32(record.bytes + MFG_BOOTOPTS_OFF_MAGIC) != MFG_BOOTOPTS_MAGIC) return false;
    const std::uint32_t stored = get_be32(record.bytes + MFG_BOOTOPTS_OFF_CHECKSUM);
    return bootopts_checksum(&record) == stored;
}

// Copies a built-in text with its NUL into the field at offset; the bytes of
// the field behind it keep what they held.
template <std::size_t N>
void put_text(mfg_bootopts &record, std::size_t offset, const char (&text)[N]) noexcept {
    std::memcpy(record.bytes + offset, text, N);
}

// The record the boot loader gets when none is stored: ttyS1 console on both
// command lines, flag 0, every unused byte zero. Magic and checksum are set
// by the writer.
void build_default_record(mfg_bootopts &record) noexcept {
    std::memset(record.bytes, 0, sizeof record.bytes);
    put_text(record, MFG_BOOTOPTS_OFF_FLASH_CMD, kBootcmdFlashTtyS1);
    put_text(record, MFG_BOOTOPTS_OFF_RAM_CMD, kBootcmdRamTtyS1);
    put_text(record, MFG_BOOTOPTS_OFF_VERSION, kBootoptsDefaultVersion);
}

[[nodiscard]] bool has_all(unsigned flags, unsigned bits) noexcept {
    return (flags & bits) == bits;
}

// Length of the command text in the field at offset: up to its first NUL, or
// the whole field when it has none.
[[nodiscard]] std::size_t command_length(const mfg_bootopts &record, std::size_t offset) noexcept {
    const void *field = record.bytes + offset;
    const void *nul = std::memchr(field, '\0', MFG_BOOTOPTS_CMD_SIZE);
    return nul ? static_cast<std::size_t>(static_cast<const unsigned char *>(nul) -
                                          static_cast<const unsigned char *>(field))
               : MFG_BOOTOPTS_CMD_SIZE;
}

// True when the command text at offset, extra and one NUL fit in the field.
[[nodiscard]] bool append_fits(const mfg_bootopts &record, std::size_t offset,
                               std::size_t extra_length) noexcept {
    const std::size_t used = command_length(record, offset);
    return used < MFG_BOOTOPTS_CMD_SIZE && extra_length < MFG_BOOTOPTS_CMD_SIZE - used;
}

void append_text(mfg_bootopts &record, std::size_t offset, const char *extra,
                 std::size_t extra_length) noexcept {
    std::memcpy(record.bytes + offset + command_length(record, offset), extra, extra_length + 1);
}

// Appends extra to each command line that may change. Refuses (false, record
// unchanged) when extra is missing or does not fit every such field.
[[nodiscard]] bool append_to_commands(mfg_bootopts &record, bool flash_may_change,
                                      bool ram_may_change, const char *extra) noexcept {
    if (!extra) {
        log_error("**Error: No text given to append to the boot command lines");
        return false;
    }
    const std::size_t extra_length = std::strlen(extra);
    if ((flash_may_change && !append_fits(record, MFG_BOOTOPTS_OFF_FLASH_CMD, extra_length)) ||
        (ram_may_change && !append_fits(record, MFG_BOOTOPTS_OFF_RAM_CMD, extra_length))) {
        log_error("**Error: Text to append does not fit the boot command lines");
        return false;
    }
    if (flash_may_change) append_text(record, MFG_BOOTOPTS_OFF_FLASH_CMD, extra, extra_length);
    if (ram_may_change) append_text(record, MFG_BOOTOPTS_OFF_RAM_CMD, extra, extra_length);
    return true;
}

}  // namespace
}  // namespace mfg::boot

using namespace mfg;
using namespace mfg::boot;

extern "C" int mfg_get_bootopts(mfg_bootopts *out) noexcept {
    if (!out) return -1;
    mfg_bootopts record;
    if (!read_valid_record(record, mfg::open_locked(kBootcfgDevice, mfg::LockMode::shared)))
        return -1;
    std::memcpy(out->bytes, record.bytes, MFG_BOOTOPTS_SIZE);
    return 0;
}

extern "C" int mfg_set_bootopts(unsigned flags, const char *extra) noexcept {
    // Locked from the read to the end of the write, so no other writer's
    // change is lost. An invalid stored record is replaced, not reported.
    mfg::UniqueFd dev = mfg::open_locked(kBootcfgDevice, mfg::LockMode::exclusive);
    mfg_bootopts record;
    if (!read_valid_record(record, dev)) build_default_record(record);

    if (has_all(flags, MFG_BOOT_KEEP_RAM_CMD | MFG_BOOT_KEEP_FLASH_CMD) ||
        has_all(flags, MFG_BOOT_CONSOLE_TTYS0 | MFG_BOOT_CONSOLE_TTYS1))
        return -1;

    const bool flash_may_change = !(flags & MFG_BOOT_KEEP_FLASH_CMD);
    const bool ram_may_change = !(flags & MFG_BOOT_KEEP_RAM_CMD);

    if (flags & MFG_BOOT_CONSOLE_TTYS0) {
        if (flash_may_change) put_text(record, MFG_BOOTOPTS_OFF_FLASH_CMD, kBootcmdFlashTtyS0);
        if (ram_may_change) put_text(record, MFG_BOOTOPTS_OFF_RAM_CMD, kBootcmdRamTtyS0);
    }
    if (flags & MFG_BOOT_CONSOLE_TTYS1) {
        if (flash_may_change) put_text(record, MFG_BOOTOPTS_OFF_FLASH_CMD, kBootcmdFlashTtyS1);
        if (ram_may_change) put_text(record, MFG_BOOTOPTS_OFF_RAM_CMD, kBootcmdRamTtyS1);
    }
    if (flags & MFG_BOOT_SET_FLAG) put_be32(record.bytes + MFG_BOOTOPTS_OFF_FLAG, 1);
    if ((flags & MFG_BOOT_APPEND_TEXT) &&
        !append_to_commands(record, flash_may_change, ram_may_change, extra))
        return -1;

    // The magic ends the checksum scan, so it goes in first.
    put_be32(record.bytes + MFG_BOOTOPTS_OFF_MAGIC, MFG_BOOTOPTS_MAGIC);
    (void)bootopts_checksum(&record);

    // Signals that would end or stop the process wait until the record is
    // whole again and unlocked (a stopped writer must not keep readers waiting).
    const mfg::SignalHold hold;
    const Status written = flash::write_partition(kBootcfgDevice, record.bytes, MFG_BOOTOPTS_SIZE);
    dev.reset();
    if (!written.ok()) {
        log_error("**Error: Unable to write boot parameters to flash");
        return -1;
    }
    return 0;
}
