/* Kernel updater: writes a kernel image, in the signed container, into the
 * system slot that is not running. Running system A: system B's kernel
 * partition is written directly. Running system B, or neither: the image is
 * staged in /pending as sysa_kersig and installed into system A by
 * mfg_write_pending, which only ever writes system A.
 * Usage: kernel_update IMAGE */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <mfg.h>

static unsigned char *read_image(const char *name, unsigned *len) {
    FILE *f = fopen(name, "rb");
    unsigned char *data = NULL;
    long size = -1;
    if (f && fseek(f, 0, SEEK_END) == 0) size = ftell(f);
    if (size >= 0 && fseek(f, 0, SEEK_SET) == 0) data = malloc(size > 0 ? (size_t)size : 1);
    if (data && fread(data, 1, (size_t)size, f) != (size_t)size) {
        free(data);
        data = NULL;
    }
    if (f) fclose(f);
    *len = (unsigned)size;
    return data;
}

/* mfg_write_pending takes its files from the working directory. chdir()
 * changes it for the whole process: this program has a single thread. */
static int install_into_a(const unsigned char *image, unsigned len) {
    char staged[MFG_PENDING_PATH_MAX];
    const int r = mfg_create_pending_file("sysa_kersig", image, len, staged);
    if (r != 0) {
        fprintf(stderr, "cannot stage the image in /pending: %s\n", strerror(-r));
        return 1;
    }
    if (rename(staged, "/pending/sysa_kersig") != 0 || chdir("/pending") != 0) {
        perror("kernel_update: /pending/sysa_kersig");
        unlink(staged);
        return 1;
    }
    return mfg_write_pending() == 0 ? 0 : 1;
}

int main(int argc, char **argv) {
    const int in_a = in_sysa(), in_b = in_sysb();
    unsigned len = 0;
    unsigned char *image;
    int r;

    if (argc != 2) {
        fprintf(stderr, "usage: kernel_update IMAGE\n");
        return 2;
    }
    if (in_a && in_b) {
        fprintf(stderr, "both slot markers exist: the running system is unknown\n");
        return 2;
    }
    image = read_image(argv[1], &len);
    if (!image) {
        perror(argv[1]);
        return 1;
    }
    if (len == 0) { /* mfg_write_pending skips an empty update without a word */
        fprintf(stderr, "%s: empty image\n", argv[1]);
        free(image);
        return 1;
    }
    if (in_a) {
        /* (flags & ~1) != MFG_KERNEL_SYSA: system B, in the signed container. */
        r = mfg_write_kernelimage(image, len, MFG_KERNEL_SIGNED);
        if (r == -1)
            fprintf(stderr, "writing system B failed; its kernel may be erased\n");
        else if (r < 0)
            fprintf(stderr, "nothing written: %s\n", strerror(-r));
        else
            printf("system B kernel written, %u bytes\n", len);
    } else {
        r = install_into_a(image, len);
        if (r == 0) printf("system A kernel written, %u bytes\n", len);
    }
    free(image);
    return r == 0 ? 0 : 1;
}
