/* A strict C99 caller of libmfg.so on the simulated board. */
/* A feature-test macro: reserved by design. */
/* NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp) */
#define _POSIX_C_SOURCE 200809L
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "mfg.h"
#include "mfgsim.h"

/* The record type is exactly the record on flash. */
typedef char bootopts_size_check[(sizeof(mfg_bootopts) == MFG_BOOTOPTS_SIZE) ? 1 : -1];

int main(void) {
    char dir[] = "/tmp/mfgabi.XXXXXX";
    unsigned char data[5000], back[5000] = {0};
    mfg_bootopts opts;
    int ok;

    if (!mkdtemp(dir) || mfgsim_create(dir, NULL) != 0) return 2;
    memset(data, 0x5A, sizeof data);
    ok = mfg_write_flashpart("/dev/tqrd.rcfg0", data, (int)sizeof data) == 0 &&
         mfg_read_flashpart("/dev/tqrd.cfg0", back, sizeof back) == 0 &&
         memcmp(data, back, sizeof data) == 0 && mfg_set_bootopts(MFG_BOOT_SET_FLAG, NULL) == 0 &&
         mfg_get_bootopts(&opts) == 0 && opts.bytes[MFG_BOOTOPTS_OFF_FLAG + 3] == 1 &&
         mfg_valid_debugarea() == 0 && mfgsim_total_violations() == 0;
    (void)printf("c_consumer: %s\n", ok ? "passed" : "FAILED");
    return ok ? 0 : 1;
}
