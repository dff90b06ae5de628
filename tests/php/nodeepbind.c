/* Preloaded before the sanitizer's runtime when a sanitized trel.so runs inside
 * Debian's PHP: PHP opens every extension with RTLD_DEEPBIND, which the runtime
 * refuses, and preloading the runtime is the only way to sanitize the whole process.
 * Opens what PHP opens without that flag. Built by tests/php/harness.py. */
#define _GNU_SOURCE
#include <dlfcn.h>

void* dlopen(const char* file, int mode) {
    static void* (*next)(const char*, int);
    if (!next)
        next = (void* (*)(const char*, int))dlsym(RTLD_NEXT, "dlopen");
    return next(file, mode & ~RTLD_DEEPBIND);
}
