/*
 * libmfg: factory data, boot options and system images on the appliance's flash.
 *
 * Every function returns a small int status; 0 is success unless a function
 * says otherwise. Failures are logged to syslog (LOG_ERR). The library keeps
 * no state between calls, needs no initialisation and creates no threads.
 *
 * All multi-byte integers in flash records are big-endian on every host.
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
 * A partition is named by its MTD character device. NAND partitions skip bad
 * erase blocks; every other type is erased and written in one piece. */

/* Erases every good block. 0 also when the device does not open; -1 on failure. */
MFG_API int mfg_init_flashpart(const char *path) MFG_NOEXCEPT;
/* Erases, then writes len bytes from offset 0. 0 written, -1 on failure
 * (the partition is then erased or partly written). Messages also go to stderr. */
MFG_API int mfg_write_flashpart(const char *path, const void *buf, int len) MFG_NOEXCEPT;
/* Reads up to len bytes from offset 0 into buf. Always 0; a failed open or a
 * short read leaves the rest of buf unchanged. */
MFG_API int mfg_read_flashpart(const char *path, void *buf, unsigned len) MFG_NOEXCEPT;

/* ---- Image writer ----------------------------------------------------------
 * Erases dev, then copies a plain or gzip image file into it from offset 0.
 * A gzip file is a full-partition image. 0 written, -1 on failure. */
MFG_API int mfg_write_image(const char *dev, const char *file) MFG_NOEXCEPT;

/* ---- MAC address block ---------------------------------------------------- */
#define MFG_MACS_SIZE 220
/* buf holds MFG_MACS_SIZE bytes. 0, -1 (null buf or store unavailable), or a
 * section read error (-2 checksum, -3 magic, -4 short data, -5 seek/header). */
MFG_API int mfg_read_macs(unsigned char *buf) MFG_NOEXCEPT;
MFG_API int mfg_write_macs(const unsigned char *buf) MFG_NOEXCEPT;

/* ---- Serial numbers -------------------------------------------------------
 * 13 or 14 characters; the last four are the CRC-16/ARC of the first nine in
 * hexadecimal. */
#define MFG_DEFAULT_SERIAL "0000000000000"
/* 1 valid, 0 not. */
MFG_API int mfg_valid_serial(const char *serial) MFG_NOEXCEPT;
/* Serial from /etc/tq/serial if it opens, else from the store (upper-cased);
 * the default serial on failure or "UNKNOWN". 0 or a negative code. */
MFG_API int mfg_read_serial(char *buf, int length) MFG_NOEXCEPT;
/* Keeps letters and digits, validates, stores. 0; -1 null (errno EINVAL) or
 * store failure; -2 invalid (errno EINVAL). */
MFG_API int mfg_write_serial(const char *serial) MFG_NOEXCEPT;

/* ---- OEM serial and model ------------------------------------------------- */
#define MFG_DEFAULT_MODEL "ZRK-100"
MFG_API int mfg_read_oem_serial(char *buf, int length) MFG_NOEXCEPT;
MFG_API int mfg_write_oem_serial(const char *serial) MFG_NOEXCEPT;
/* Model name from the serial number's model code (3rd and 4th characters),
 * MFG_DEFAULT_MODEL when unknown. */
MFG_API int mfg_read_model(char *out, int length) MFG_NOEXCEPT;

/* ---- Client authentication ------------------------------------------------
 * Writes and reads return 0 or a positive failure count; the presence tests
 * return 0 when the record is present and valid, 1 when not. The key is stored
 * AES-128-CBC encrypted under a key derived from the unit's serial numbers. */
#define MFG_CLIENT_AUTH_MAX 6144
MFG_API int mfg_write_client_authdata(const void *data, int length) MFG_NOEXCEPT;
MFG_API int mfg_read_client_authdata(void *buf, int *length) MFG_NOEXCEPT;
MFG_API int mfg_have_client_authdata(void) MFG_NOEXCEPT;
MFG_API int mfg_write_client_authdata_key(const void *key, int length) MFG_NOEXCEPT;
MFG_API int mfg_read_client_authdata_key(void *out, int *length) MFG_NOEXCEPT;
MFG_API int mfg_have_client_authdata_key(void) MFG_NOEXCEPT;

/* ---- Boot options record --------------------------------------------------
 * The boot loader's record at the start of /dev/tqrd.rbootcfg, exchanged
 * exactly as stored: use the offsets below, integers are big-endian. */
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

/* Option bits of mfg_set_bootopts. */
#define MFG_BOOT_CONSOLE_TTYS0 0x01u  /* command lines get the ttyS0 console */
#define MFG_BOOT_CONSOLE_TTYS1 0x02u  /* command lines get the ttyS1 console */
#define MFG_BOOT_APPEND_TEXT 0x04u    /* append extra to the command lines */
#define MFG_BOOT_SET_FLAG 0x10u       /* flag becomes 1 */
#define MFG_BOOT_KEEP_RAM_CMD 0x20u   /* ram_cmd may not change */
#define MFG_BOOT_KEEP_FLASH_CMD 0x40u /* flash_cmd may not change */

/* 0 and the verified record in out; -1 (out untouched). */
MFG_API int mfg_get_bootopts(mfg_bootopts *out) MFG_NOEXCEPT;
/* 0 written; -1 refused combination or write failure. extra is read only with
 * MFG_BOOT_APPEND_TEXT. */
MFG_API int mfg_set_bootopts(unsigned flags, const char *extra) MFG_NOEXCEPT;

/* ---- Kernel images -------------------------------------------------------- */
#define MFG_KERNEL_SIGNED 0x01 /* wrap the buffer in the signed-kernel container */
#define MFG_KERNEL_SYSA 2      /* flags 2 or 3: system A; anything else: system B */
MFG_API int mfg_write_kernel(const char *file, int flags) MFG_NOEXCEPT;
/* 0; -1 image writer failure; -errno when the temporary file in /pending
 * cannot be made or written in full (the partition is then untouched);
 * -EINVAL for null data with a non-zero len. */
MFG_API int mfg_write_kernelimage(const unsigned char *data, unsigned len, int flags) MFG_NOEXCEPT;

/* ---- Pending updates and system slots ------------------------------------- */
#define MFG_PENDING_PATH_MAX 128
MFG_API int in_sysa(void) MFG_NOEXCEPT;    /* 1 when /etc/sysa exists */
MFG_API int in_sysb(void) MFG_NOEXCEPT;    /* 1 when /etc/sysb exists */
MFG_API int in_pending(void) MFG_NOEXCEPT; /* 1 when neither marker exists */
/* New file /pending/<name>.XXXXXX holding data; its name goes to path
 * (MFG_PENDING_PATH_MAX bytes) when path is not null. 0 or -errno. */
MFG_API int mfg_create_pending_file(const char *name, const void *data, unsigned len,
                                    char *path) MFG_NOEXCEPT;
/* Installs sysa_code, sysa_kitb and sysa_kersig from the working directory.
 * 0, or -1 at the first failure. */
MFG_API int mfg_write_pending(void) MFG_NOEXCEPT;

/* ---- Reserved: these log "not implemented" and return 0 ------------------- */
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
