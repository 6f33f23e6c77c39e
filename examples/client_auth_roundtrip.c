/* Client-authentication key round trip: stores a key encrypted under this
 * unit's serial numbers, reads it back and compares.
 * Usage: client_auth_roundtrip [KEY_BYTES]   (0 to 6143, default 256) */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <mfg.h>

int main(int argc, char **argv) {
    static unsigned char key[MFG_CLIENT_AUTH_MAX], back[MFG_CLIENT_AUTH_MAX];
    const long n = argc > 1 ? strtol(argv[1], NULL, 10) : 256;
    char serial[100];
    int length = MFG_CLIENT_AUTH_MAX;
    int r;
    long i;

    /* PKCS#7 padding adds 1 to 16 bytes, and the record holds 6144. */
    if (argc > 2 || n < 0 || n >= MFG_CLIENT_AUTH_MAX) {
        fprintf(stderr, "usage: client_auth_roundtrip [KEY_BYTES: 0 to %d]\n",
                MFG_CLIENT_AUTH_MAX - 1);
        return 2;
    }
    for (i = 0; i < n; ++i) key[i] = (unsigned char)(i * 131 + 7);

    /* The key is encrypted under the serial number and the OEM serial: both
     * must be written first, and changing either loses the key. */
    if (mfg_read_serial(serial, sizeof serial) != 0) {
        fprintf(stderr, "no serial number stored: write the serial numbers first\n");
        return 1;
    }
    if (mfg_write_client_authdata_key(key, (int)n) != 0) {
        fprintf(stderr, "the key was not stored\n");
        return 1;
    }
    /* 0 does not prove the store reached flash: read back with the full
     * capacity (a smaller one can hand back a shortened key with 0). */
    r = mfg_read_client_authdata_key(back, &length);
    if (r != 0 || length != n || memcmp(key, back, (size_t)n) != 0) {
        fprintf(stderr, "the key read back differs (result %d, %d bytes)\n", r, length);
        return 1;
    }
    if (mfg_have_client_authdata_key() != 0) {
        fprintf(stderr, "the key record does not verify\n");
        return 1;
    }
    printf("key round trip: %ld bytes stored encrypted and read back the same\n", n);
    return 0;
}
