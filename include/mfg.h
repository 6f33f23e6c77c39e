/*
 * libmfg: factory data, boot options and system images on the appliance's flash.
 * The manual is mfg(3), with one page per family below (man mfg_read_serial).
 *
 * Conventions of every function below:
 *
 *  - Each returns a small int status. 0 is success unless the function says
 *    otherwise; the failure values differ by family and are listed with each
 *    function. No function throws, keeps state between calls, needs
 *    initialisation or creates threads; every descriptor, buffer, mapping and
 *    temporary file is released before the call returns.
 *  - Most failures are logged with syslog(LOG_ERR), most texts beginning
 *    "**Error: " and, where a system call failed, ending in
 *    "<strerror> (<errno>)". Each function says which failures it does not
 *    log; notably a store, OEM or boot-options partition that does not open
 *    at all is often silent. Notices go to LOG_INFO. The library never calls
 *    openlog(): lines carry the program's own openlog() settings. errno is
 *    left as the failed system call set it unless a function says it sets
 *    errno itself.
 *  - Standard error (descriptor 2) gets, besides syslog, the messages of the
 *    partition writer: from mfg_write_flashpart and from every record write
 *    built on it (mfg_write_macs, mfg_write_serial, mfg_write_oem_serial,
 *    mfg_write_client_authdata, mfg_write_client_authdata_key,
 *    mfg_set_bootopts), also when such a call returns 0; each text without a
 *    trailing newline. mfg_write_pending prints its progress there. A daemon
 *    that closed descriptor 2 finds these texts in whatever file it opened
 *    next (a state file, a socket): keep descriptor 2 open, on /dev/null if
 *    need be.
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
 *  - Threads, processes and signals: see the section of that name below.
 */
#ifndef MFG_H
#define MFG_H

/* MFG_VERSION_MAJOR, MFG_VERSION_MINOR, MFG_VERSION_PATCH, MFG_VERSION_STRING
 * ("1.0.0"), MFG_VERSION_NUMBER (major * 10000 + minor * 100 + patch) and
 * MFG_VERSION_AT_LEAST(major, minor, patch): the version of this header,
 * installed with the library of the same version. The soname (libmfg.so.1)
 * carries the major version at run time. */
#include "mfg_version.h"

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

/* ---- Threads, processes and signals ---------------------------------------
 * Every function may be called from several threads and processes at once:
 * no library state is shared between calls, each call opens descriptors of
 * its own, and errno is per thread. What concurrent calls see:
 *
 * Locked records. The records that are read, changed and written back whole
 * are locked on their raw partition's device node (flock(2), and a fcntl(2)
 * lock for the turnstile below), through a descriptor of each call's own,
 * so threads exclude one another as processes do:
 *   - the configuration store, /dev/tqrd.rcfg0: every call on the serial
 *     number, MAC block and client-authentication records, mfg_read_model
 *     and the serial-number reads of the key calls included;
 *   - the boot options record, /dev/tqrd.rbootcfg: mfg_get_bootopts and
 *     mfg_set_bootopts;
 *   - the OEM serial partition, /dev/tqrd.rmfg: mfg_write_oem_serial,
 *     mfg_read_oem_serial, and the client-authentication key calls, which
 *     derive their key from it.
 * Writers have preference: a writer takes a turnstile exclusively, then the
 * record exclusively, from before it reads the record until its write-back
 * is done; a reader passes the turnstile shared, then holds the record
 * shared while it reads. So two writers never lose one another's changes
 * (each whole-store rewrite starts from the one before), a reader never sees
 * a record half rewritten, and a stream of readers cannot keep a writer
 * waiting. A holder that keeps a lock for about 5 seconds (a stopped or hung
 * process, or a program that locks these nodes itself) is given up on: the
 * call goes on without the lock and logs one LOG_WARNING line, "Lock on
 * <device> still held after 5000 ms; going on without it". Where the locks
 * are not supported the calls go on without them. No call fails because of
 * a lock.
 * Not locked: the partition primitives and the image writer, also on the
 * partitions above (mfg_write_flashpart on /dev/tqrd.rcfg0 bypasses the
 * store's lock); the kernel and code partitions (two writers of one slot at
 * once leave a mix of both images); the override file /etc/tq/serial and
 * the slot markers. Serialise those yourself. A child forked while another
 * thread is inside a call shares that call's locks until it execs or exits;
 * the call's other descriptors (device nodes, temporary files) are not
 * close-on-exec and stay open across exec.
 *
 * Signals. The write-backs of the store and of the boot options record
 * (mfg_write_macs, mfg_write_serial, mfg_write_client_authdata,
 * mfg_write_client_authdata_key, mfg_set_bootopts) run, from the erase
 * until the record is written, with the signals that would end or stop the
 * process blocked in the calling thread (SIGHUP, SIGINT, SIGQUIT, SIGPIPE,
 * SIGALRM, SIGTERM, SIGUSR1, SIGUSR2, SIGTSTP, SIGTTIN, SIGTTOU, SIGPROF,
 * SIGVTALRM, SIGXCPU, SIGXFSZ, SIGPOLL); one that arrives meanwhile is
 * delivered when the record is whole again. Only the calling thread is covered: a
 * signal sent to the process can be taken by another thread, and if it ends
 * the process the record is left erased or half written. A threaded program
 * blocks these signals in every thread and takes them in one (sigwait).
 * SIGKILL and power loss cannot be held off; nor are other writes
 * (partitions, images, kernels, the OEM serial) protected.
 *
 * Memory. A call that cannot allocate a buffer or compute a digest fails
 * with its family's nearest failure value: -1 for the store family (MAC
 * block, serial number), with nothing logged; 1 for the client-
 * authentication calls; mfg_write_kernelimage -ENOMEM (logged).
 *
 * Working directory. mfg_write_pending looks for its update files in the
 * process's working directory, and mfg_write_image and mfg_write_kernel
 * resolve a relative file name there. chdir() changes it for every thread at
 * once: in a threaded program, chdir() only while no other thread uses a
 * relative path, or install from a child process (fork, chdir,
 * mfg_write_pending, _exit). Two callers of mfg_write_pending in one
 * directory race for the same files.
 *
 * Shared process state. Letters and digits are told by isalnum() in the
 * calling thread's locale; messages go through syslog() and stdio's stderr,
 * whole per message, interleaved between threads. */

/* ---- Partition primitives ------------------------------------------------
 * A partition is named by its MTD character device, e.g. "/dev/tqrd.rcfg0".
 * NAND partitions are erased and written block by block, skipping bad blocks;
 * every other type is erased with one MEMERASE and written with one write.
 * None of them takes the record locks (see Threads, processes and signals). */

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
 * Messages: a failed erase logs its cause to syslog only, then
 * "**Error: Could not erase device <path>!" to syslog AND stderr; every other
 * message goes to both. The stderr copy has no trailing newline: a caller
 * printing to stderr afterwards should start a new line. */
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
 * buffer cannot be allocated, a bad-block query fails, the file runs short, a
 * non-NAND write is short, or bad blocks pushed the data past the end. The
 * partition is then erased or partly written: the erase is never undone.
 * A null dev or file: -1 with errno EINVAL, nothing erased, nothing logged.
 * As with mfg_write_flashpart, failed NAND page writes go undetected and data
 * left over when the last good block is full is dropped with result 0.
 * Logs to syslog only. */
MFG_API int mfg_write_image(const char *dev, const char *file) MFG_NOEXCEPT;

/* ---- MAC address block ----------------------------------------------------
 * Section 1 of the configuration store (/dev/tqrd.cfg0, 30840 bytes on the raw
 * partition /dev/tqrd.rcfg0): a 220-byte block with length, magic and MD5.
 * Store results, shared by the serial-number calls: -3 says only that the
 * section's magic is wrong. An erased, cleared or never-written store reads
 * as -3, and so does one whose header was damaged: -3 does not prove the
 * unit was never provisioned (an unwritten slot is all 0xFF on the raw
 * partition, a damaged one is not). */
#define MFG_MACS_SIZE 220
/* Reads the block into buf, which must hold MFG_MACS_SIZE bytes.
 * Returns 0; -1 when buf is null or the store device does not open (nothing
 * logged, buf untouched); otherwise a section read error, logged: -2 MD5
 * mismatch, -3 wrong magic (see above), -4 the section's data could not be
 * read in full or its stored length is impossible, -5 the seek or the header
 * read failed; buf[0] is then 0 and the rest of buf is not defined. A stored
 * block longer than 220 bytes delivers its first 220; a shorter one delivers
 * its bytes, leaves the rest of buf as it was, and does not say how many
 * came. Never writes flash. */
MFG_API int mfg_read_macs(unsigned char *buf) MFG_NOEXCEPT;
/* Stores MFG_MACS_SIZE bytes from buf as section 1 and writes the whole store
 * image back (erase, then write of /dev/tqrd.rcfg0); the other sections are
 * carried along unchanged.
 * Returns 0; -1 when buf is null or the store device does not open (nothing
 * logged), or the store image cannot be read in full (logged); nothing is
 * written then.
 * SURPRISE: the write-back happens after the status is decided: a failed
 * erase or write of the store still returns 0 (it is visible only in the
 * partition writer's messages, on syslog and stderr). Read the block back
 * with mfg_read_macs to know it stuck. A failed write-back can leave the whole
 * store, with every other section, erased. */
MFG_API int mfg_write_macs(const unsigned char *buf) MFG_NOEXCEPT;

/* ---- Serial numbers -------------------------------------------------------
 * 13 or 14 characters; the last four are the CRC-16/ARC (poly 0xA001, init 0)
 * of the first nine in hexadecimal, either case. Stored as section 0. */
#define MFG_DEFAULT_SERIAL "0000000000000"
/* 1 when serial (not null, no separators) is a valid serial number, else 0.
 * Logs nothing. MFG_DEFAULT_SERIAL is not valid. */
MFG_API int mfg_valid_serial(const char *serial) MFG_NOEXCEPT;
/* Zero-fills buf (length bytes) and writes the serial number into it; a text
 * of length bytes or more is cut and left without NUL, so give 100 bytes.
 * Source: the override file /etc/tq/serial when it opens, as it stands
 * (trailing control characters trimmed, not validated or upper-cased);
 * otherwise section 0 of the store, upper-cased. The text is not validated:
 * check it with mfg_valid_serial (lower-case letters among the first nine
 * characters, upper-cased on reading, make a stored serial invalid).
 * Returns 0, also for the override file; -1 when buf is null or length < 1
 * (buf untouched, nothing logged), when the override file is empty or the
 * store device does not open; a section read error (-2 MD5, -3 magic: none
 * stored or a damaged header, -4 short data, -5 seek or header, logged).
 * On every failure except a bad argument buf holds MFG_DEFAULT_SERIAL, and
 * "Using default serial number" is logged (LOG_INFO). The default with
 * result 0 means the text read was "UNKNOWN": compare buf with
 * MFG_DEFAULT_SERIAL to tell a real serial number from the default. */
MFG_API int mfg_read_serial(char *buf, int length) MFG_NOEXCEPT;
/* Keeps the letters and digits of serial (isalnum, in the caller's locale),
 * validates the result with mfg_valid_serial and stores it as section 0,
 * writing the whole store back.
 * Returns 0; -1 serial is null (errno EINVAL); -2 not valid after filtering
 * (errno EINVAL, nothing logged, nothing written); -1 when the store device
 * does not open (nothing logged) or its image cannot be read in full
 * (logged; errno from the failed call).
 * SURPRISE: as with mfg_write_macs, a failed erase or write-back of the store
 * still returns 0; read the serial back to know it stuck. Changing the serial
 * number makes a stored client-authentication key undecryptable. */
MFG_API int mfg_write_serial(const char *serial) MFG_NOEXCEPT;

/* ---- OEM serial and model -------------------------------------------------
 * The OEM serial number lives at the start of its own partition, /dev/tqrd.rmfg,
 * as text with its NUL, at most 99 characters; the rest of the partition is
 * erased (0xFF). */
#define MFG_DEFAULT_MODEL "ZRK-100"
/* Zero-fills buf (length bytes) and reads the partition's first length bytes
 * into it, exactly as stored (not trimmed, filtered or terminated): use a
 * buffer of 100 bytes.
 * Returns -1 when buf is null or length < 1; otherwise 0, ALSO when the
 * partition cannot be read. Logs nothing. A blank OEM serial has three
 * forms, told apart by the first two bytes:
 *   0xFF 0xFF  erased: no OEM serial was ever written;
 *   0x00 0xFF  an empty OEM serial was written (its NUL, then erased flash);
 *   0x00 0x00  the partition could not be opened or read (buf as zero-filled).
 * A written text is followed by its NUL and then 0xFF bytes, not zeros. */
MFG_API int mfg_read_oem_serial(char *buf, int length) MFG_NOEXCEPT;
/* Keeps the letters and digits of serial (no validation, no case change) and
 * writes them with their NUL to /dev/tqrd.rmfg through mfg_write_flashpart
 * (erase, then write).
 * Returns 0; -1 serial is null or keeps more than 99 characters (errno
 * EINVAL, nothing logged, nothing written: the old OEM serial stays); -1 the
 * write failed (the old OEM serial is then gone; the partition writer's
 * messages on syslog and stderr). Changing the OEM serial makes a stored
 * client-authentication key undecryptable: read the key first and write it
 * again afterwards. */
MFG_API int mfg_write_oem_serial(const char *serial) MFG_NOEXCEPT;
/* Writes the model name for the serial number's 3rd and 4th characters into
 * out (length bytes, strncpy rules: no NUL when the name fills it), or
 * MFG_DEFAULT_MODEL (snprintf rules) when no model matches or the serial
 * number cannot be read. The serial number is read afresh (mfg_read_serial,
 * and its log lines) at every call.
 * Returns 0 when a model matched or the serial was read; otherwise the
 * failure of mfg_read_serial (negative), with the default model in out;
 * -1 when out is null with a positive length. */
MFG_API int mfg_read_model(char *out, int length) MFG_NOEXCEPT;

/* ---- Client authentication ------------------------------------------------
 * Section 2 holds the data, section 3 the key, each at most 6144 bytes as
 * stored. The key is stored AES-128-CBC encrypted with PKCS#7 padding: a key
 * of n bytes takes n rounded up to the next multiple of 16, plus 16 when n is
 * one already, so keys of 0 to 6143 bytes fit. The cipher's key is derived
 * from the first 13 bytes of the serial number and of the OEM serial number
 * as their readers deliver them at the time of the call:
 *  - write both serial numbers first: with no serial number readable the key
 *    calls fail;
 *  - an OEM partition that cannot be read does NOT fail them: the key is then
 *    derived from the serial number alone, and a key written so no longer
 *    decrypts once the partition reads again (and the other way round);
 *  - a key record no longer decrypts once either serial number changes, also
 *    through the override file /etc/tq/serial.
 * Writes and reads return 0 or a POSITIVE failure count; the causes are only
 * logged, and a store device that does not open logs nothing. The presence
 * tests return 0 when the record is present and verifies, 1 when not. */
#define MFG_CLIENT_AUTH_MAX 6144
/* Stores length bytes of data as section 2 and writes the store back.
 * 0; 1, nothing changed, when length is negative or above 6144, data is null
 * with a length, or the store cannot be opened or loaded. As with
 * mfg_write_macs, a failed write-back still returns 0: read the record
 * back. */
MFG_API int mfg_write_client_authdata(const void *data, int length) MFG_NOEXCEPT;
/* Reads section 2 into buf. *length is the capacity of buf on entry (a
 * negative one counts as 0) and the number of bytes delivered on return.
 * A record longer than the capacity is CUT without notice: result 0 and
 * *length equal to the capacity. Give MFG_CLIENT_AUTH_MAX bytes, or take a
 * *length equal to a smaller capacity as "maybe more".
 * 0; 1 when buf or length is null or the store cannot be opened (buf
 * untouched), or the section does not verify (logged; buf[0] and *length
 * are then 0). */
MFG_API int mfg_read_client_authdata(void *buf, int *length) MFG_NOEXCEPT;
/* 0 when section 2 verifies; 1 when not: no store (nothing logged) or a
 * failed check (logged as a section read, e.g. "**Error: Invalid magic
 * number"). */
MFG_API int mfg_have_client_authdata(void) MFG_NOEXCEPT;
/* Encrypts length bytes of key under this unit's serial numbers and stores
 * the ciphertext as section 3, writing the store back.
 * 0; 1 on any failure, nothing changed: length negative or 6144 and above,
 * key null with a length, no store, no serial number readable (the serial
 * reader's log lines), cipher failure ("encrypt_keyblob: failed to encrypt
 * data-blob"). A failed write-back still returns 0: read the key back. */
MFG_API int mfg_write_client_authdata_key(const void *key, int length) MFG_NOEXCEPT;
/* Reads and decrypts section 3 into out. *length is the capacity on entry
 * and the plaintext length on return. The capacity also bounds the
 * ciphertext read: give out MFG_CLIENT_AUTH_MAX bytes and set *length to
 * MFG_CLIENT_AUTH_MAX. A smaller capacity cuts the record before it is
 * decrypted: usually result 1, but a cut at a multiple of 16 can decrypt
 * with valid padding and return 0 with a SHORTENED key (a 32-byte key whose
 * 16th byte is 1, read with capacity 16, gives 0 and 15 bytes).
 * 0; 1 when out or length is null, the store cannot be opened, or the record
 * does not decrypt ("failed to decrypt data-blob": encrypted under other
 * serial numbers, or cut); 2 when no valid record is stored (the section
 * error and the decryption failure are logged). On failure rely on the
 * result only: out and *length are not to be used. A record of another
 * unit can, rarely (about 1 in 256), decrypt with valid padding: 0 with
 * wrong plaintext. */
MFG_API int mfg_read_client_authdata_key(void *out, int *length) MFG_NOEXCEPT;
/* 0 when section 3 verifies, 1 when not (as mfg_have_client_authdata). The
 * record is not decrypted: one written under other serial numbers gives 0. */
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
 * checksum verify: 0. Otherwise -1 with out untouched: out null, unreadable,
 * erased, wrong magic or checksum mismatch. Logs nothing. -1 does not tell a
 * partition never written (all 0xFF, see mfg_read_flashpart) from a damaged
 * record. */
MFG_API int mfg_get_bootopts(mfg_bootopts *out) MFG_NOEXCEPT;
/* Rewrites the record: starts from the stored record, or from the defaults
 * (console ttyS1, flag 0, version "1.92.27") when none verifies, discarding
 * the invalid one without notice; applies the console bits to each command
 * line that may change, sets the flag, then appends extra (read only with
 * MFG_BOOT_APPEND_TEXT, then a NUL-terminated string) behind the current text
 * of each command line that may change; sets magic and checksum and writes
 * the record with mfg_write_flashpart (erase, then write).
 * Returns 0 written. -1 with nothing written for: a refused combination
 * (nothing logged); MFG_BOOT_APPEND_TEXT with a null extra ("**Error: No
 * text given to append to the boot command lines"); an extra that does not
 * fit, with its NUL, behind the text of every command line that may change
 * ("**Error: Text to append does not fit the boot command lines"; behind the
 * default texts at most 946 characters on flash_cmd, 827 on ram_cmd).
 * -1 when the write fails (the partition writer's messages on syslog and
 * stderr, then "**Error: Unable to write boot parameters to flash"; the
 * partition may then hold no valid record, and the next call starts from the
 * defaults). No option sets the flag back to 0. */
MFG_API int mfg_set_bootopts(unsigned flags, const char *extra) MFG_NOEXCEPT;

/* ---- Kernel images --------------------------------------------------------
 * (flags & ~1) == MFG_KERNEL_SYSA, that is flags 2 or 3, selects system A
 * (/dev/tqrd.rsysa_kernel); every other value, 0, 1 and 4 upwards included,
 * selects system B (/dev/tqrd.rsysb_kernel). Mind the parentheses:
 * flags & ~1 == MFG_KERNEL_SYSA in C tests flags & (~1 == 2), which is 0.
 * Both are written with mfg_write_image: the partition is erased first.
 * Choose the slot that is not running (in_sysa, in_sysb). */
#define MFG_KERNEL_SIGNED 0x01 /* wrap the buffer in the signed-kernel container */
#define MFG_KERNEL_SYSA 2      /* flags 2 or 3: system A; anything else: system B */
/* Writes the image file (plain or gzip) to the chosen kernel partition; bit 0
 * is ignored. Returns mfg_write_image's result: 0 or -1. */
MFG_API int mfg_write_kernel(const char *file, int flags) MFG_NOEXCEPT;
/* Writes len bytes at data to the chosen kernel partition through a
 * temporary file /pending/KERNEL_IMAGE.XXXXXX (removed before return). With
 * MFG_KERNEL_SIGNED the partition gets the signed container: a 24-byte header
 * (MD5 of what follows, length len + 20, magic 0x12611920), a 20-byte tag
 * ("sysa_kersig" and NUL, a zero word, len), then the data. A plain buffer
 * that begins with a gzip header is written as a gzip image.
 * Returns 0; -1 when the image writer failed (partition erased or partly
 * written); -EINVAL when data is null with a length (nothing logged);
 * -errno when the temporary file cannot be made, e.g. -ENOENT without
 * /pending ("**Error: Could not open <kernel device>, ..."), or cannot be
 * written in full, e.g. -ENOSPC for a full /pending ("**Error: Unable to
 * complete writing of <temporary name>, ..."); in these cases nothing is
 * erased. CAUTION: -EPERM is -1, so a temporary file refused with EPERM
 * reads like a failed image write although the partition is untouched:
 * take -1 as "the partition may be erased" and write it again. */
MFG_API int mfg_write_kernelimage(const unsigned char *data, unsigned len, int flags) MFG_NOEXCEPT;

/* ---- Pending updates and system slots -------------------------------------
 * The markers are tested one by one: when both exist, in_sysa and in_sysb
 * both return 1 (and in_pending 0), so a slot writer checks both before it
 * picks the slot that is not running. */
#define MFG_PENDING_PATH_MAX 128
MFG_API int in_sysa(void) MFG_NOEXCEPT;    /* 1 when /etc/sysa exists (any file type), else 0 */
MFG_API int in_sysb(void) MFG_NOEXCEPT;    /* 1 when /etc/sysb exists (any file type), else 0 */
MFG_API int in_pending(void) MFG_NOEXCEPT; /* 1 when neither marker exists, else 0 */
/* Creates a new file "/pending/<name>.XXXXXX" (mkstemp, mode 0600; the name
 * is cut to 127 characters, so a name longer than 111 leaves no XXXXXX and
 * fails with -EINVAL) and writes len bytes of data into it. The file stays in
 * place under its unique name, never one mfg_write_pending looks for: rename
 * it to install it. When path is not null it receives the file's name
 * (MFG_PENDING_PATH_MAX bytes), also after a failed write, when the file no
 * longer exists.
 * Returns 0 ("File installed to <name>" logged at LOG_INFO); -errno when the
 * file cannot be created (logged, path untouched) or the write is incomplete
 * (logged, file removed). The name is NOT confined to /pending: it is put
 * into the template as given, so "../etc/x" creates /etc/x.XXXXXX and a name
 * naming a missing subdirectory fails with -ENOENT. Pass a plain file name.
 * A null name, or null data with a length, gives -EINVAL without a log line. */
MFG_API int mfg_create_pending_file(const char *name, const void *data, unsigned len,
                                    char *path) MFG_NOEXCEPT;
/* Installs the update files found in the WORKING DIRECTORY (see Threads,
 * processes and signals on chdir), in this order, each removed after its
 * attempt whatever the outcome (keep a copy to retry):
 *   sysa_code   -> /dev/tqrd.rsysa_code with mfg_write_image;
 *   sysa_kitb   -> system A kernel, plain (mfg_write_kernelimage, flags 2);
 *   sysa_kersig -> system A kernel, signed container (flags 3), written last.
 * A kernel file that is missing, empty or unreadable is skipped. Progress and
 * failures go to stderr only (e.g. "Pending sysa_code update found,
 * installing\n"), besides the image writer's own syslog lines. Returns 0 when
 * every update present was installed (or none was present); -1 at the first
 * failure, later updates not tried. Calls sync() three times before
 * returning. Does not check which system is running: callers must not
 * install into the running system A (in_sysa). */
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
