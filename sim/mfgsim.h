/*
 * Simulated appliance board.
 *
 * libmfgsim.so interposes the libc calls that reach the appliance's fixed paths
 * (open, ioctl, read, write, pwrite, lseek, fstat, stat, mkstemp, unlink, fopen,
 * close, syslog, opendir, chdir, getcwd, mkdir, rmdir, rename, ...). Loaded with
 * LD_PRELOAD (mfgsim-run BOARD -- PROGRAM), or linked into a test program
 * (pkg-config mfgsim, CMake target mfg::sim), it
 * makes an unmodified libmfg.so work on a board directory instead of hardware:
 *
 *   /dev/tqrd.<alias>  ->  BOARD/dev/<partition>.bin   (MTD partition)
 *   /etc/tq/serial     ->  BOARD/etc/tq/serial
 *   /etc/sysa, /etc/sysb -> BOARD/etc/sysa, BOARD/etc/sysb
 *   /pending[/...]     ->  BOARD/pending[/...]
 *
 * Every other path passes through untouched; a null path goes to the C library
 * (EFAULT). After chdir("/pending") the working directory is BOARD/pending, so
 * relative names land in the board (as mfg_write_pending's update files do);
 * getcwd shows it as "/pending". Device nodes are not directories (opendir,
 * chdir, rmdir: ENOTDIR; mkdir: EEXIST) and cannot be renamed (EPERM).
 *
 * The board directory comes from the environment variable MFG_SIM_BOARD, read
 * once when the simulator is loaded, or from mfgsim_select(). Without either,
 * nothing is redirected (a program preloaded without MFG_SIM_BOARD is warned
 * once on stderr). A board that is asked for and cannot be used is never
 * replaced by the host's paths: when MFG_SIM_BOARD names no board or one whose
 * board.conf does not parse, the program is stopped at start-up with a message
 * on stderr and exit status MFGSIM_NO_BOARD_STATUS; when mfgsim_select or
 * mfgsim_create fails while no board is active, the program is stopped so at
 * its first call on an appliance path. Boards are made only by mfgsim_create()
 * (mfgsim-board create).
 *
 * Board description (BOARD/board.conf, written by mfgsim_create()).
 * One directive per line, '#' starts a comment, sizes take K and M suffixes:
 *
 *   part NAME TYPE size=N erase=N [alias=A,B,...] [bad=I,J,...] [nobbt]
 *        TYPE: nand (MTD type 4), nor (3), ram (1) or a number.
 *        size need not be a multiple of erase: the last block is then partial
 *        (no MEMERASE can cover it: EINVAL); NAND sizes are whole pages.
 *        alias: names after "/dev/tqrd."; default "r" + NAME.
 *        bad: indices of bad erase blocks. nobbt: MEMGETBADBLOCK fails with
 *        EOPNOTSUPP (driver without bad-block information).
 *   pending_limit N          bytes the pending directory may hold (a full file system)
 *   fault OP PATH [nth=N] [count=N] [errno=E] [partial=N]
 *        OP: open MEMGETINFO MEMERASE MEMGETBADBLOCK read write pwrite fstat mkstemp,
 *        and also pread lseek stat unlink flock sync. "open" covers open/openat and fopen,
 *        "stat" covers stat, lstat and access; sync is only recorded (it cannot fail).
 *        PATH: fnmatch pattern on the path the program used ("/dev/tqrd.rcfg0",
 *        "/pending/KERNEL_IMAGE.*", "image.bin"); for mkstemp the template.
 *        The nth matching call (1-based, default 1) and count-1 after it
 *        (default 1; 0 means every later call) fail with errno E (a number or a
 *        name like EIO, default EIO), or with partial=N write/read only N bytes
 *        (read, pread, write, pwrite; on NAND N should be whole pages, else the
 *        shortened write is refused with EINVAL as an unaligned one would be).
 *        Descriptors of any path opened while a board is active are matched,
 *        so a fault on "read" of "image.gz" makes zlib's reads of it fail.
 *
 * Default board: page 2048 bytes;
 *   cfg      nand 512K erase 128K  alias cfg0,rcfg0
 *   mfg      nand 128K erase 128K
 *   bootcfg  nor  256K erase 64K
 *   sysa_kernel, sysb_kernel  nand 4M erase 128K
 *   sysa_code nand 16M erase 128K
 * Fresh partitions are erased (all 0xFF).
 *
 * NAND rules enforced on write/pwrite to a NAND partition: offset and length
 * must be multiples of 2048 (else EINVAL, as the kernel refuses them); a write
 * past the end is cut, at the end it fails with ENOSPC; programming only clears
 * bits; programming a page not erased since it was last programmed, or any page
 * of a bad block, is a violation (counted, logged to BOARD/violations.log; a bad
 * block write fails with EIO after programming the pages before the bad block).
 * Each offending write call counts one violation, however many pages it hit.
 * MEMERASE needs erase-block alignment (EINVAL) and fails with EIO at a bad
 * block (blocks before it stay erased). NOR programming clears bits at any
 * length; RAM simply stores.
 *
 * As with the kernel's MTD character device: write/pwrite on a descriptor
 * opened O_RDONLY fail with EBADF, read on O_WRONLY with EBADF, MEMERASE on
 * O_RDONLY with EPERM; lseek stays within [0, size] (else EINVAL); fstat and
 * stat show a character device (major 90) of size 0; MEMGETBADBLOCK answers
 * EINVAL outside the partition and 0 on types other than NAND; other ioctls
 * give ENOTTY. A device node cannot be unlinked (EPERM).
 *
 * pending_limit: a write that would make the files in BOARD/pending larger
 * than the limit writes what fits and returns that count, or fails with ENOSPC
 * when nothing fits.
 *
 * sync does nothing while a board is active (the host's disks are left alone).
 *
 * syslog, vsyslog (and their _chk forms) are captured while a board is active:
 * each line goes to BOARD/syslog as "<priority> <text>\n" with %m expanded
 * (a trailing newline of the text is dropped, as the system logger does);
 * openlog and closelog then do nothing.
 *
 * Partition state (data, erase counters, programmed pages) lives in files under
 * BOARD/dev and is shared by every process using the board, also between a
 * native and an emulated PowerPC process (the state file has a fixed byte
 * order). The files of a partition are made on its first use.
 */
#ifndef MFGSIM_H
#define MFGSIM_H

#ifdef __cplusplus
extern "C" {
#endif

struct mfgsim_stats {
    unsigned long long erases;           /* MEMERASE'd blocks, all blocks together */
    unsigned long long pages_programmed; /* NAND pages (2048 bytes) programmed */
    unsigned long long bytes_written;    /* bytes accepted by write/pwrite */
    unsigned long long write_calls;      /* write/pwrite calls on the device */
    unsigned long long read_calls;       /* read calls on the device */
    unsigned long long violations;       /* NAND rule violations */
};

/* Makes dir, a board laid out by mfgsim_create, the active board and loads its
 * board.conf (partition files are made on first use). A directory without
 * board.conf is refused (ENOENT) and not touched. Fault counters start from
 * zero. 0, or -1 with errno and a message on stderr. */
int mfgsim_select(const char *dir);

/* Lays out a new board in dir described by conf_text (null or empty: the
 * default board), then selects it. dir may be missing, an empty directory or
 * an earlier board, which is wiped; anything else is left untouched and
 * refused (ENOTEMPTY, or EEXIST for a file). 0, or -1 with errno. */
int mfgsim_create(const char *dir, const char *conf_text);

/* The active board directory, or null. */
const char *mfgsim_board(void);

/* Adds a fault rule as the "fault" directive does. err may be 0 with partial >= 0.
 * partial < 0: fail with err. 0, or -1 for an unknown op. */
int mfgsim_add_fault(const char *op, const char *path_glob, unsigned nth, unsigned count, int err,
                     long partial);
void mfgsim_clear_faults(void);

/* Starts (on != 0; earlier records are dropped) or stops recording every call
 * that a fault rule could match, whether or not one does. */
void mfgsim_record_calls(int on);
/* The i-th recorded call: its operation as fault rules name it and the path
 * it is matched on. 0, or -1 past the last. Valid until recording restarts. */
int mfgsim_recorded_call(unsigned i, const char **op, const char **path);

/* Exit status of a process stopped because the board it asked for (with
 * MFG_SIM_BOARD, mfgsim_select or mfgsim_create) could not be used. */
#define MFGSIM_NO_BOARD_STATUS 87

/* Exit status of a process whose power was cut. */
#define MFGSIM_POWER_CUT_STATUS 86
/* Cuts this process's power after n more erased blocks or programmed pages
 * (2048 bytes, on every partition type): the process ends at once with
 * _exit(MFGSIM_POWER_CUT_STATUS); what was erased or programmed stays, a
 * write cut short has programmed its first pages only. 0: no cut. */
void mfgsim_power_cut_after(unsigned long long n);

/* Size limit of the pending directory in bytes; negative: no limit. */
void mfgsim_set_pending_limit(long long bytes);

/* Counters of a partition (by name, e.g. "cfg"). 0, or -1 if no such partition. */
int mfgsim_get_stats(const char *part, struct mfgsim_stats *out);
/* Sum of violations over all partitions. */
unsigned long long mfgsim_total_violations(void);
/* Erase count of one block; -1 if no such partition or block. */
long mfgsim_block_erases(const char *part, unsigned block);
/* 1 if the page was programmed since its block's last erase, 0 if not, -1 bad index. */
int mfgsim_page_programmed(const char *part, unsigned page);
/* Resets the counters and block erase counts (not the data, nor the pages'
 * programmed flags) of every partition. */
void mfgsim_reset_stats(void);

/* Path of the file that holds a partition's bytes (BOARD/dev/NAME.bin). Tests
 * read it to see the flash and write it to plant contents, bypassing the NAND
 * rules. The pointer stays valid until the next mfgsim_select/mfgsim_create. */
const char *mfgsim_part_file(const char *part);
/* Size, erase size and MTD type of a partition; 0, or -1 if unknown. */
int mfgsim_part_geometry(const char *part, unsigned *size, unsigned *erasesize, int *type);

/* Name of the partition with the given index in board.conf order, or null
 * past the last one. Valid until the next mfgsim_select/mfgsim_create. */
const char *mfgsim_part_name(unsigned index);

/* Path of the captured syslog (BOARD/syslog). */
const char *mfgsim_syslog_file(void);

#ifdef __cplusplus
}
#endif

#endif /* MFGSIM_H */
