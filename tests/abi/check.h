/* A failure counter for the C programs of these tests. */
#ifndef ABI_CHECK_H
#define ABI_CHECK_H

#include <stdio.h>

static int failures;

#define CHECK(cond)                                                                        \
    do {                                                                                   \
        if (!(cond)) {                                                                     \
            (void)fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                                                    \
        }                                                                                  \
    } while (0)

#endif
