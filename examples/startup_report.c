/* A daemon's start-up read of the unit's factory data and boot options: each
 * record is read once and reported as present, absent or unreadable.
 * Exit status 0 when every record is present, 1 when one is not. */
#include <stdio.h>
#include <string.h>

#include <mfg.h>

#if !MFG_VERSION_AT_LEAST(1, 0, 0)
#error "libmfg 1.0.0 or later is needed"
#endif

enum state { PRESENT, ABSENT, UNREADABLE };

static int all_present = 1;

static void report(const char *record, enum state s, const char *value) {
    static const char *const names[] = {"present", "absent", "unreadable"};
    if (s != PRESENT) all_present = 0;
    if (*value)
        printf("%-11s %-10s %s\n", record, names[s], value);
    else
        printf("%-11s %s\n", record, names[s]);
}

/* Store results: -3 is a wrong magic, which is what a record never written
 * gives (a damaged header gives it too); -1 no store, -2/-4/-5 damage. */
static enum state store_state(int result) {
    if (result == 0) return PRESENT;
    return result == -3 ? ABSENT : UNREADABLE;
}

static void read_serial(void) {
    char serial[100];
    const int r = mfg_read_serial(serial, sizeof serial);
    if (r == 0 && strcmp(serial, MFG_DEFAULT_SERIAL) == 0)
        report("serial", ABSENT, "(\"UNKNOWN\" stored)");
    else if (r == 0)
        report("serial", PRESENT, mfg_valid_serial(serial) ? serial : "(check digits wrong)");
    else
        report("serial", store_state(r), "");
}

/* The OEM serial has no header: a blank one is told by its first two bytes. */
static void read_oem_serial(void) {
    unsigned char oem[100];
    (void)mfg_read_oem_serial((char *)oem, sizeof oem);
    if (oem[0] == 0xFF)
        report("oem-serial", ABSENT, "(erased)");
    else if (oem[0] == 0 && oem[1] == 0)
        report("oem-serial", UNREADABLE, "");
    else if (oem[0] == 0)
        report("oem-serial", PRESENT, "(empty)");
    else if (memchr(oem, 0, sizeof oem) == NULL)
        report("oem-serial", UNREADABLE, "(not a text)");
    else
        report("oem-serial", PRESENT, (const char *)oem);
}

static void read_model(void) {
    char model[32];
    const int r = mfg_read_model(model, sizeof model);
    report("model", store_state(r), model); /* the default model when r != 0 */
}

static void read_macs(void) {
    unsigned char macs[MFG_MACS_SIZE];
    char first[18];
    const int r = mfg_read_macs(macs);
    if (r == 0)
        sprintf(first, "%02x:%02x:%02x:%02x:%02x:%02x", macs[0], macs[1], macs[2], macs[3], macs[4],
                macs[5]);
    report("macs", store_state(r), r == 0 ? first : "");
}

/* An invalid record and an erased partition both give -1: the raw bytes tell. */
static void read_bootopts(void) {
    mfg_bootopts opts;
    if (mfg_get_bootopts(&opts) == 0) {
        const unsigned char *version = opts.bytes + MFG_BOOTOPTS_OFF_VERSION;
        printf("%-11s %-10s version %.*s, flag %u\n", "bootopts", "present",
               MFG_BOOTOPTS_VERSION_SIZE - 1, (const char *)version,
               opts.bytes[MFG_BOOTOPTS_OFF_FLAG + 3]);
        return;
    }
    unsigned char head[4] = {0};
    (void)mfg_read_flashpart("/dev/tqrd.rbootcfg", head, sizeof head);
    if (memcmp(head, "\xff\xff\xff\xff", sizeof head) == 0)
        report("bootopts", ABSENT, "(erased)");
    else
        report("bootopts", UNREADABLE, "(unreadable or damaged)");
}

int main(void) {
    printf("libmfg %s\n", MFG_VERSION_STRING);
    read_serial();
    read_oem_serial();
    read_model();
    read_macs();
    read_bootopts();
    return all_present ? 0 : 1;
}
