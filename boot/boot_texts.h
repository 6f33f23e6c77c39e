// Built-in texts of the boot options record.
//
// Each text goes into its field together with its terminating NUL, so the
// byte count copied is sizeof the array. The boot loader parses these lines
// as they stand: the carriage returns separate its commands, and the blanks
// (including the doubled ones) are part of what it has always been given.
#pragma once

namespace mfg::boot {

// flash_cmd: boot with the root file system on flash.
inline constexpr char kBootcmdFlashTtyS1[] =
    "exec -b 0x200002c -l 0x200000 -c \"console=ttyS1,115200 root=/dev/mtdblock7\" \r";
inline constexpr char kBootcmdFlashTtyS0[] =
    "exec -b 0x200002c -l 0x200000 -c \"console=ttyS0,115200 root=/dev/mtdblock7\" \r";

// ram_cmd: load kernel and RAM disk from NAND, boot from the RAM disk.
// The ttyS1 line has two blanks after its second carriage return, the ttyS0
// line one.
inline constexpr char kBootcmdRamTtyS1[] =
    "nand -t 15 -p 0xe80 -b 0x1000000 -n 0x600000 \r"
    " nand -t 15 -p 0xe00 -b 0x2000000 -n 0x200000 \r"
    "  exec -b 0x2000000  -l 0x200000 -r 0x1000000 -s 0x600000  -c \"console=ttyS1,115200 "
    "root=/dev/ram0 \"  \r";
inline constexpr char kBootcmdRamTtyS0[] =
    "nand -t 15 -p 0xe80 -b 0x1000000 -n 0x600000 \r"
    " nand -t 15 -p 0xe00 -b 0x2000000 -n 0x200000 \r"
    " exec -b 0x2000000  -l 0x200000 -r 0x1000000 -s 0x600000  -c \"console=ttyS0,115200 "
    "root=/dev/ram0 \"  \r";

inline constexpr char kBootoptsDefaultVersion[] = "1.92.27";

static_assert(sizeof kBootcmdFlashTtyS1 == 78);
static_assert(sizeof kBootcmdFlashTtyS0 == 78);
static_assert(sizeof kBootcmdRamTtyS1 == 197);
static_assert(sizeof kBootcmdRamTtyS0 == 196);
static_assert(sizeof kBootoptsDefaultVersion == 8);

}  // namespace mfg::boot
