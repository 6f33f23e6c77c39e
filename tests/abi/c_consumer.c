/* A C99 caller of libmfg.so on the simulated board. */
/* A feature-test macro: reserved by design. */
/* NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp) */
#define _POSIX_C_SOURCE 200809L
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "check.h"
#include "mfg.h"
#include "mfgsim.h"

/* The record type is exactly the record on flash. */
typedef char bootopts_size_check[(sizeof(mfg_bootopts) == MFG_BOOTOPTS_SIZE) ? 1 : -1];

int main(void) {
    char dir[] = "/tmp/mfgabi.XXXXXX";
    unsigned char data[5000], back[5000];
    unsigned i;

    if (!mkdtemp(dir) || mfgsim_create(dir, NULL) != 0) {
        perror("board");
        return 1;
    }
    for (i = 0; i < sizeof data; ++i) data[i] = (unsigned char)(i * 7 + 1);

    CHECK(mfg_write_flashpart("/dev/tqrd.rcfg0", data, (int)sizeof data) == 0);
    memset(back, 0, sizeof back);
    CHECK(mfg_read_flashpart("/dev/tqrd.cfg0", back, sizeof back) == 0);
    CHECK(memcmp(data, back, sizeof data) == 0);
    CHECK(mfg_init_flashpart("/dev/tqrd.rcfg0") == 0);
    CHECK(mfg_read_flashpart("/dev/tqrd.cfg0", back, 1) == 0 && back[0] == 0xFF);
    CHECK(mfg_valid_debugarea() == 0);
    CHECK(mfgsim_total_violations() == 0);

    (void)printf("c_consumer: %d failed\n", failures);
    return failures ? 1 : 0;
}
