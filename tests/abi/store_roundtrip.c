/* MAC block round trip through libmfg.so, as an application calls it. */
/* A feature-test macro: reserved by design. */
/* NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp) */
#define _POSIX_C_SOURCE 200809L
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "check.h"
#include "mfg.h"
#include "mfgsim.h"

#define IMAGE_SIZE 30840
#define MACS_SLOT 6168

static unsigned long be32(const unsigned char *p) {
    return ((unsigned long)p[0] << 24) | ((unsigned long)p[1] << 16) | ((unsigned long)p[2] << 8) |
           p[3];
}

/* Other sections' bytes survive a MAC write; a second write replaces the first. */
static void round_trip(unsigned char macs[MFG_MACS_SIZE]) {
    static unsigned char before[IMAGE_SIZE], after[IMAGE_SIZE];
    unsigned char back[MFG_MACS_SIZE];
    unsigned i;

    for (i = 0; i < sizeof before; ++i) before[i] = (unsigned char)(i * 31 + 7);
    CHECK(mfg_write_flashpart("/dev/tqrd.rcfg0", before, IMAGE_SIZE) == 0);
    CHECK(mfg_write_macs(macs) == 0);
    memset(back, 0, sizeof back);
    CHECK(mfg_read_macs(back) == 0);
    CHECK(memcmp(back, macs, MFG_MACS_SIZE) == 0);

    CHECK(mfg_read_flashpart("/dev/tqrd.rcfg0", after, IMAGE_SIZE) == 0);
    CHECK(memcmp(after, before, MACS_SLOT) == 0);
    CHECK(be32(after + MACS_SLOT + 16) == MFG_MACS_SIZE);
    CHECK(be32(after + MACS_SLOT + 20) == 0x12611920ul);
    CHECK(memcmp(after + MACS_SLOT + 24, macs, MFG_MACS_SIZE) == 0);
    i = MACS_SLOT + 24 + MFG_MACS_SIZE;
    CHECK(memcmp(after + i, before + i, IMAGE_SIZE - i) == 0);

    macs[0] ^= 0xFF;
    CHECK(mfg_write_macs(macs) == 0);
    CHECK(mfg_read_macs(back) == 0 && memcmp(back, macs, MFG_MACS_SIZE) == 0);
}

int main(void) {
    char dir[] = "/tmp/mfgstore.XXXXXX";
    unsigned char macs[MFG_MACS_SIZE], back[MFG_MACS_SIZE];
    unsigned i;

    if (!mkdtemp(dir) || mfgsim_create(dir, NULL) != 0) {
        perror("board");
        return 1;
    }
    for (i = 0; i < sizeof macs; ++i) macs[i] = (unsigned char)(i * 13 + 5);

    /* A fresh store has no MAC block. */
    memset(back, 0x55, sizeof back);
    CHECK(mfg_read_macs(back) == -3 && back[0] == 0);
    CHECK(mfg_read_macs(NULL) == -1 && mfg_write_macs(NULL) == -1);

    round_trip(macs);
    CHECK(mfgsim_total_violations() == 0);

    (void)printf("store_roundtrip: %d failed\n", failures);
    return failures ? 1 : 0;
}
