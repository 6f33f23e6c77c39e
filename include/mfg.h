/*
 * libmfg: factory data, boot options and system images on the appliance's flash.
 *
 * Conventions of every function below:
 *
 *  - Each returns a small int status. 0 is success unless the function says
 *    otherwise; the failure values differ by family and are listed with each
 *    function. No function throws, keeps state between calls, needs
 *    initialisation or creates threads; every descriptor, buffer, mapping and
 *    temporary file is released before the call returns.
 *  - Failures are logged with syslog(LOG_ERR), most texts beginning "**Error: "
 *    and, where a system call failed, ending in "<strerror> (<errno>)".
 *    errno is left as the failed system call set it unless a function says it
 *    sets errno itself. Only mfg_write_flashpart and mfg_write_pending also
 *    write to stderr.
 *  - Every write of a partition erases the whole partition first and only then
 *    checks the data's size or writes it: a refused or failed write leaves the
 *    partition erased or partly written, and the old contents are gone.
 *  - On NAND partitions (MTD type 4) bad erase blocks are skipped: data meant
 *    for a bad block goes into the next good one, so with bad blocks the data
 *    no longer lies at its linear offset, and a write that reaches the end of
 *    the partition exactly with data left over is cut short and still
 *    reported as success.
 *  - Device paths, sizes and texts are compiled in. Strings are NUL-terminated.
 *    All multi-byte integers in flash records are big-endian on every host.
 */
#ifndef MFG_H
#define MFG_H

#ifdef __cplusplus
extern "C" {
#define MFG_NOEXCEPT noexcept
#else
#define MFG_NOEXCEPT
#endif

#if defined(__GNUC__)
#define MFG_API __attribute__((visibility("default")))
#else
#define MFG_API
#endif

/* ---- Partition primitives ------------------------------------------------
 * A partition is named by its MTD character device, e.g. "/dev/tqrd.rcfg0".
 * NAND partitions are erased and written block by block, skipping bad blocks;
 * every other type is erased with one MEMERASE and written with one write. */

/* Erases every good block of path (opened O_RDWR).
 * Returns 0 when erased, and ALSO 0 when the device does not open: nothing is
 * erased and nothing is logged in that case. -1 when MEMGETINFO fails, when a
 * bad-block query fails (other than EOPNOTSUPP, which means the driver keeps
 * no bad-block table: every block from there on counts as good), or when an
 * erase fails; the blocks erased before a failing one stay erased.
 * Logs its failures to syslog only. */
MFG_API int mfg_init_flashpart(const char *path) MFG_NOEXCEPT;
/* Erases path with mfg_init_flashpart, then writes len bytes of buf from
 * offset 0. A len above the partition's size (compared unsigned, so any
 * negative len too) is refused AFTER the erase. On NAND the last piece is
 * written only up to its last page holding a byte other than 0xFF.
 * Returns 0 written; -1 when the erase failed, the device does not open,
 * MEMGETINFO fails, len is too large, a non-NAND write is short, a bad-block
 * query fails, or bad blocks pushed the data past the end. The partition is
 * then erased or partly written.
 * Surprises: failed NAND page writes (pwrite) are not detected, so 0 does not
 * prove the data is on flash; data cut off by bad blocks at the very end is
 * dropped silently with result 0.
 * Each message goes to syslog AND to stderr, the same text without a trailing
 * newline: a caller printing to stderr afterwards should start a new line. */
MFG_API int mfg_write_flashpart(const char *path, const void *buf, int len) MFG_NOEXCEPT;
/* Reads up to len bytes from offset 0 of path (opened O_RDONLY) into buf,
 * which must hold len bytes, with one read. Always returns 0 and never logs:
 * a device that does not open leaves buf untouched, and a short read leaves
 * the rest of buf unchanged. Prefill buf (or read twice with different fills)
 * to tell what was read. Bad blocks are not skipped. */
MFG_API int mfg_read_flashpart(const char *path, void *buf, unsigned len) MFG_NOEXCEPT;

/* ---- Image writer ----------------------------------------------------------
 * Erases dev FIRST, then copies the image file into it from offset 0 (file is
 * relative to the working directory unless absolute). A file starting with a
 * gzip header (1f 8b 08) is decompressed and must fill the whole partition
 * (every good block on NAND); its compressed size is what is compared with
 * the partition's size. A plain file larger than the partition is refused
 * after the erase. On NAND every block is written whole, the tail of the last
 * one filled with 0xFF.
 * Returns 0 written; -1 when the erase fails, the file does not open or stat,
 * the device does not open, MEMGETINFO fails, the file is too large, the block
 * buffer or zlib's inflate buffers cannot be allocated (logged as "unable to
 * allocate", never as a file that runs short), a bad-block query fails, the
 * file runs short, a non-NAND write is short, or bad blocks pushed the data
 * past the end. The partition is then erased or partly written: the erase is
 * never undone. As with mfg_write_flashpart, failed NAND page writes go
 * undetected and data left over when the last good block is full is dropped
 * with result 0.
 * Logs to syslog only. */
MFG_API int mfg_write_image(const char *dev, const char *file) MFG_NOEXCEPT;

/* ---- MAC address block ----------------------------------------------------
 * Section 1 of the configuration store (/dev/tqrd.cfg0, 30840 bytes on the raw
 * partition /dev/tqrd.rcfg0): a 220-byte block with length, magic and MD5.
 * Every store entry point (MACs, serial number, client authentication) reports
 * running out of memory, or an MD5 that OpenSSL cannot compute, as a store
 * that cannot be opened (-1, or 1 for the client-authentication calls): no
 * record is written without its digest, and no record is called corrupt.
 * While a write erases and rewrites the store, the signals that would end or
 * stop the process (SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP, SIGPIPE,
 * SIGALRM, SIGUSR1/2, ...) are blocked in the calling thread; one that
 * arrives is delivered once the store is whole again. */
#define MFG_MACS_SIZE 220
/* Reads the block into buf, which must hold MFG_MACS_SIZE bytes.
 * Returns 0; -1 when buf is null or the store cannot be opened or loaded;
 * otherwise a section read error: -2 MD5 mismatch, -3 wrong magic (erased,
 * cleared or never written), -4 the section's data could not be read in full,
 * -5 the seek or the header read failed. On an error buf[0] is 0 and the rest
 * of buf is not defined. A stored block longer than 220 bytes delivers its
 * first 220. Errors are logged. Never writes flash. */
MFG_API int mfg_read_macs(unsigned char *buf) MFG_NOEXCEPT;
/* Stores MFG_MACS_SIZE bytes from buf as section 1 and writes the whole store
 * image back (erase, then write of /dev/tqrd.rcfg0); the other sections are
 * carried along unchanged.
 * Returns 0; -1 when buf is null or the store cannot be opened or loaded.
 * SURPRISE: the write-back happens after the status is decided: a failed
 * erase or write of the store still returns 0 (it is visible only in the
 * messages of mfg_write_flashpart, on syslog and stderr). Read the block back
 * with mfg_read_macs to know it stuck. A failed write-back can leave the whole
 * store, with every other section, erased. */
MFG_API int mfg_write_macs(const unsigned char *buf) MFG_NOEXCEPT;

/* ---- Serial numbers -------------------------------------------------------
 * 13 or 14 characters; the last four are the CRC-16/ARC (poly 0xA001, init 0)
 * of the first nine in hexadecimal, either case. Stored as section 0. */
#define MFG_DEFAULT_SERIAL "0000000000000"
/* 1 when serial (not null, no separators) is a valid serial number, else 0.
 * Logs nothing. */
MFG_API int mfg_valid_serial(const char *serial) MFG_NOEXCEPT;
/* Zero-fills buf (length bytes) and writes the serial number into it; a text
 * of length bytes or more is cut and left without NUL, so give 100 bytes.
 * Source: the override file /etc/tq/serial when it opens, as it stands
 * (trailing control characters trimmed, not validated or upper-cased);
 * otherwise section 0 of the store, upper-cased.
 * Returns 0, also for the override file; -1 when buf is null or length < 1
 * (buf untouched), when the override file is empty or the store cannot be
 * opened; a section read error (-2 MD5, -3 magic: none stored, -4 short data,
 * -5 seek or header). On every failure except a bad argument buf holds
 * MFG_DEFAULT_SERIAL, also when the stored text is "UNKNOWN" (result 0), and
 * "Using default serial number" is logged. */
MFG_API int mfg_read_serial(char *buf, int length) MFG_NOEXCEPT;
/* Keeps the letters and digits of serial (isalnum, in the caller's locale),
 * validates the result with mfg_valid_serial and stores it as section 0,
 * writing the whole store back.
 * Returns 0; -1 serial is null (errno EINVAL); -2 not valid after filtering
 * (errno EINVAL, nothing logged, nothing written); -1 when the store cannot
 * be opened or loaded (errno from the failed call).
 * SURPRISE: as with mfg_write_macs, a failed erase or write-back of the store
 * still returns 0; read the serial back to know it stuck. */
MFG_API int mfg_write_serial(const char *serial) MFG_NOEXCEPT;

/* ---- OEM serial and model -------------------------------------------------
 * The OEM serial number lives at the start of its own partition, /dev/tqrd.rmfg,
 * as text with its NUL. */
#define MFG_DEFAULT_MODEL "ZRK-100"
/* Zero-fills buf (length bytes) and reads the partition's first length bytes
 * into it, exactly as stored (not trimmed, filtered or terminated: use a
 * buffer of 100 bytes or more and a text shorter than that).
 * Returns -1 when buf is null or length < 1; otherwise 0, ALSO when the
 * partition cannot be read (buf then holds an empty text). An erased partition
 * reads as 0xFF bytes. Logs nothing. */
MFG_API int mfg_read_oem_serial(char *buf, int length) MFG_NOEXCEPT;
/* Keeps the letters and digits of serial (no validation, no case change) and
 * writes them with their NUL to /dev/tqrd.rmfg through mfg_write_flashpart
 * (erase, then write). Keep it below 100 characters: the library reads it
 * back into 100-byte buffers, also to derive the client-auth key.
 * Returns 0; -1 serial is null (errno EINVAL, nothing written); -1 the write
 * failed (the old OEM serial is then gone; messages of mfg_write_flashpart on
 * syslog and stderr). */
MFG_API int mfg_write_oem_serial(const char *serial) MFG_NOEXCEPT;
/* Writes the model name for the serial number's 3rd and 4th characters into
 * out (length bytes, strncpy rules: no NUL when the name fills it), or
 * MFG_DEFAULT_MODEL (snprintf rules) when no model matches or the serial
 * number cannot be read.
 * Returns 0 when a model matched or the serial was read; otherwise the
 * failure of mfg_read_serial (negative), with the default model in out. */
MFG_API int mfg_read_model(char *out, int length) MFG_NOEXCEPT;

/* ---- Client authentication ------------------------------------------------
 * Section 2 holds the data, section 3 the key, each at most 6144 bytes as
 * stored. The key is stored AES-128-CBC encrypted (PKCS padding, so at most
 * 6128 bytes of key fit) under a key derived from the first 13 bytes of the
 * serial number and of the OEM serial number: write the serial numbers first,
 * and a key record no longer decrypts once either of them changes.
 * Writes and reads return 0 or a POSITIVE failure count; the underlying
 * causes are only logged. The presence tests return 0 when the record is
 * present and verifies, 1 when not. */
#define MFG_CLIENT_AUTH_MAX 6144
/* Stores length bytes of data as section 2 and writes the store back.
 * 0; 1 when the store cannot be opened or loaded or length is above 6144
 * (nothing changed). As with mfg_write_macs, a failed write-back still
 * returns 0: read the record back. */
MFG_API int mfg_write_client_authdata(const void *data, int length) MFG_NOEXCEPT;
/* Reads section 2 into buf. *length is the capacity of buf on entry and the
 * number of bytes delivered on return. 0; 1 when the store cannot be opened
 * or the section does not verify (buf[0] and *length are then 0). */
MFG_API int mfg_read_client_authdata(void *buf, int *length) MFG_NOEXCEPT;
/* 0 when section 2 verifies, 1 when not (the failed check is logged). */
MFG_API int mfg_have_client_authdata(void) MFG_NOEXCEPT;
/* Encrypts length bytes of key under this unit's serial numbers and stores
 * the ciphertext as section 3, writing the store back.
 * 0; 1 on any failure (no store, serial number or OEM serial unreadable,
 * cipher failure, ciphertext above 6144 bytes). A failed write-back still
 * returns 0: read the key back. */
MFG_API int mfg_write_client_authdata_key(const void *key, int length) MFG_NOEXCEPT;
/* Reads and decrypts section 3 into out. *length is the capacity on entry
 * (also the most ciphertext read; give out room for 6144 bytes) and the
 * plaintext length on return. 0; 1 when the store cannot be opened or the
 * record does not decrypt (encrypted under other serial numbers); 2 when no
 * valid record is stored. On failure out may hold partial plaintext and
 * *length may still hold the capacity. A record of another unit can, rarely,
 * decrypt with valid padding: 0 with wrong plaintext. */
MFG_API int mfg_read_client_authdata_key(void *out, int *length) MFG_NOEXCEPT;
/* 0 when section 3 verifies (it is not decrypted), 1 when not. */
MFG_API int mfg_have_client_authdata_key(void) MFG_NOEXCEPT;

/* ---- Boot options record --------------------------------------------------
 * The boot loader's record at the start of /dev/tqrd.rbootcfg, exchanged
 * exactly as stored: use the offsets below, integers are big-endian. The
 * checksum is the 32-bit sum of the big-endian 16-bit words from offset 4 up
 * to the first word 0x0E0D after it (the low half of the magic at the latest). */
#define MFG_BOOTOPTS_SIZE 2316
#define MFG_BOOTOPTS_MAGIC 0x00000E0Du
#define MFG_BOOTOPTS_OFF_CHECKSUM 0   /* u32 */
#define MFG_BOOTOPTS_OFF_FLASH_CMD 4  /* 1024 bytes, NUL-terminated */
#define MFG_BOOTOPTS_OFF_RAM_CMD 1028 /* 1024 bytes, NUL-terminated */
#define MFG_BOOTOPTS_OFF_FLAG 2052    /* u32 */
#define MFG_BOOTOPTS_OFF_VERSION 2056 /* 256 bytes, NUL-terminated */
#define MFG_BOOTOPTS_OFF_MAGIC 2312   /* u32 */
#define MFG_BOOTOPTS_CMD_SIZE 1024
#define MFG_BOOTOPTS_VERSION_SIZE 256

typedef struct mfg_bootopts {
    unsigned char bytes[MFG_BOOTOPTS_SIZE];
} mfg_bootopts;

/* Option bits of mfg_set_bootopts. Other bits are ignored. Refused: TTYS0
 * with TTYS1, and KEEP_RAM_CMD with KEEP_FLASH_CMD. */
#define MFG_BOOT_CONSOLE_TTYS0 0x01u  /* command lines get the ttyS0 console */
#define MFG_BOOT_CONSOLE_TTYS1 0x02u  /* command lines get the ttyS1 console */
#define MFG_BOOT_APPEND_TEXT 0x04u    /* append extra to the command lines */
#define MFG_BOOT_SET_FLAG 0x10u       /* flag becomes 1 */
#define MFG_BOOT_KEEP_RAM_CMD 0x20u   /* ram_cmd may not change */
#define MFG_BOOT_KEEP_FLASH_CMD 0x40u /* flash_cmd may not change */

/* Reads the record into out (MFG_BOOTOPTS_SIZE bytes) when its magic and
 * checksum verify: 0. Otherwise -1 with out untouched: unreadable, erased,
 * wrong magic or checksum mismatch. Logs nothing. */
MFG_API int mfg_get_bootopts(mfg_bootopts *out) MFG_NOEXCEPT;
/* Rewrites the record: starts from the stored record, or from the defaults
 * (console ttyS1, flag 0, version "1.92.27") when none verifies, discarding
 * the invalid one; applies the console bits to each command line that may
 * change, sets the flag, then appends extra (read only with
 * MFG_BOOT_APPEND_TEXT, then a NUL-terminated string) behind the current text
 * of each command line that may change; sets magic and checksum and writes
 * the record with mfg_write_flashpart (erase, then write).
 * Returns 0 written; -1 for a refused combination (nothing written, nothing
 * logged); -1 when the write fails ("**Error: Unable to write boot parameters
 * to flash"; the partition may then hold no valid record, and the next call
 * starts from the defaults). No option sets the flag back to 0. Signals that
 * would end or stop the process wait, blocked in the calling thread, from the
 * erase until the record is written, as for the store. */
MFG_API int mfg_set_bootopts(unsigned flags, const char *extra) MFG_NOEXCEPT;

/* ---- Kernel images --------------------------------------------------------
 * flags & ~1 == MFG_KERNEL_SYSA (flags 2 or 3) selects system A
 * (/dev/tqrd.rsysa_kernel); every other value selects system B
 * (/dev/tqrd.rsysb_kernel). Both are written with mfg_write_image: the
 * partition is erased first. */
#define MFG_KERNEL_SIGNED 0x01 /* wrap the buffer in the signed-kernel container */
#define MFG_KERNEL_SYSA 2      /* flags 2 or 3: system A; anything else: system B */
/* Writes the image file (plain or gzip) to the chosen kernel partition; bit 0
 * is ignored. Returns mfg_write_image's result: 0 or -1. */
MFG_API int mfg_write_kernel(const char *file, int flags) MFG_NOEXCEPT;
/* Writes len bytes at data to the chosen kernel partition through a
 * temporary file /pending/KERNEL_IMAGE.XXXXXX (removed before return). With
 * MFG_KERNEL_SIGNED the partition gets the signed container: a 24-byte header
 * (MD5 of what follows, length len + 20, magic 0x12611920), a 20-byte tag
 * ("sysa_kersig" and NUL, a zero word, len), then the data.
 * Returns 0; -1 when the image writer failed (partition erased or partly
 * written); -errno when the temporary file cannot be made, e.g. -ENOENT
 * without /pending (the partition is then untouched). A temporary file that
 * cannot be written in full (a full /pending) is logged ("**Error: Unable to
 * complete writing of <temporary name>, ...") and gives -errno, e.g. -ENOSPC,
 * before anything is erased; so does a container whose MD5 cannot be
 * computed (-ENOMEM): none is written without its digest. */
MFG_API int mfg_write_kernelimage(const unsigned char *data, unsigned len, int flags) MFG_NOEXCEPT;

/* ---- Pending updates and system slots ------------------------------------- */
#define MFG_PENDING_PATH_MAX 128
MFG_API int in_sysa(void) MFG_NOEXCEPT;    /* 1 when /etc/sysa exists (any file type), else 0 */
MFG_API int in_sysb(void) MFG_NOEXCEPT;    /* 1 when /etc/sysb exists (any file type), else 0 */
MFG_API int in_pending(void) MFG_NOEXCEPT; /* 1 when neither marker exists, else 0 */
/* Creates a new file "/pending/<name>.XXXXXX" (mkstemp; the name is cut to
 * 127 characters, so a name longer than 111 leaves no XXXXXX and fails) and
 * writes len bytes of data into it with one write. The file stays in place.
 * When path is not null it receives the file's name (MFG_PENDING_PATH_MAX
 * bytes), also after a failed write, when the file no longer exists.
 * Returns 0 ("File installed to <name>" logged at LOG_INFO); -errno when the
 * file cannot be created (path untouched) or the write is incomplete (file
 * removed). */
MFG_API int mfg_create_pending_file(const char *name, const void *data, unsigned len,
                                    char *path) MFG_NOEXCEPT;
/* Installs the update files found in the WORKING DIRECTORY, in this order,
 * each removed after its attempt whatever the outcome:
 *   sysa_code   -> /dev/tqrd.rsysa_code with mfg_write_image;
 *   sysa_kitb   -> system A kernel, plain (mfg_write_kernelimage, flags 2);
 *   sysa_kersig -> system A kernel, signed container (flags 3), written last.
 * A kernel file that is missing, empty or unreadable is skipped. Progress and
 * failures go to stderr only (e.g. "Pending sysa_code update found,
 * installing\n"). Returns 0 when every update present was installed (or none
 * was present); -1 at the first failure, later updates not tried. Calls
 * sync() three times before returning. Does not check which system is
 * running: callers must not install into the running system A. */
MFG_API int mfg_write_pending(void) MFG_NOEXCEPT;

/* ---- Reserved entry points -------------------------------------------------
 * Each logs "<name>: Not Implemented Yet" (mfg_read_bootversion: "<name>: Not
 * implemented") and returns 0 WITHOUT doing anything: arguments are not read,
 * buffers are not written. mfg_sync_diskimage also calls sync(). */
MFG_API int mfg_read_bootversion(char *buf, int length) MFG_NOEXCEPT;
MFG_API int mfg_get_debugconsole(char *buf, int length) MFG_NOEXCEPT;
MFG_API int mfg_set_debugconsole(int console) MFG_NOEXCEPT;
MFG_API int mfg_valid_debugarea(void) MFG_NOEXCEPT;
MFG_API int mfg_write_diskimage(const char *dev, const char *file) MFG_NOEXCEPT;
MFG_API int mfg_sync_diskimage(void) MFG_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* MFG_H */
