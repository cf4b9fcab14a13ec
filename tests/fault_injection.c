/* Test-only LD_PRELOAD library: makes the calls through which zreveal's
 * std::fstream and std::filesystem reach the system fail on demand.
 *
 * Environment (each fault is off when its variable is unset or empty):
 *   ZFAULT_WRITE_BUDGET=N     write/writev to descriptors >= 3 carry N bytes in
 *                             all; the call that crosses N writes only up to it
 *                             (a short write), later ones fail with ENOSPC.
 *   ZFAULT_CLOSE_FAIL=N|all   the Nth fclose (counted from 1) of a stream on a
 *                             descriptor >= 3, or every one, closes it and then
 *                             reports EIO.
 *   ZFAULT_TRUNCATE_FAIL=1    truncate fails with EIO.
 *   ZFAULT_RENAME_FAIL=1      rename fails with EACCES.
 *   ZFAULT_WRITE_OPEN_FAIL=1  fopen64 with a mode that writes fails with EACCES.
 *   ZFAULT_FSYNC_FAIL=1       fsync fails with EIO.
 *   ZFAULT_ALLOCATION_FAIL=N  the Nth call (counted from 1) of malloc, calloc
 *                             and realloc together returns NULL with ENOMEM.
 *   ZFAULT_ALLOCATION_COUNT=PATH
 *                             at exit, the number of those calls is written
 *                             to PATH in decimal.
 *   ZFAULT_SODIUM_INIT_FAIL=1 sodium_init reports failure (-1).
 *   ZFAULT_TRACE=PATH         each fsync, truncate and rename appends a line
 *                             to PATH: "fsync FILE", "truncate FILE" or
 *                             "rename FROM TO", FILE of fsync as /proc names
 *                             the descriptor's file, the others as passed.
 *
 * Only the symbols that libstdc++ calls here are wrapped: std::fstream opens
 * with fopen64, writes with write and writev and closes with fclose;
 * std::filesystem::resize_file calls truncate and std::filesystem::rename
 * calls rename. Descriptors 0 to 2 are left alone so that the program's
 * messages always get out. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

extern void *__libc_malloc(size_t size);
extern void *__libc_calloc(size_t count, size_t size);
extern void *__libc_realloc(void *block, size_t size);
int sodium_init(void);

static int faults_read;
static int write_budget_set;
static uint64_t write_budget_left;
static int close_fail_all;
static unsigned long close_fail_ordinal;
static unsigned long closes_seen;
static int truncate_fail;
static int rename_fail;
static int write_open_fail;
static int fsync_fail;
static unsigned long long allocation_fail_ordinal;
static unsigned long long allocations_seen;
static const char *allocation_count_path;
static const char *trace_path;
static int sodium_init_fail;

static int flag_set(const char *name) {
    const char *value = getenv(name);
    return value != NULL && value[0] != '\0';
}

static unsigned long long number_or_zero(const char *name) {
    const char *value = getenv(name);
    return value == NULL ? 0 : strtoull(value, NULL, 10);
}

/* Read on first use, since another library's constructor may allocate
 * before ours runs. getenv and strtoull do not allocate, so this is safe to
 * run from inside the wrapped malloc. */
static void read_faults(void) {
    if (faults_read) {
        return;
    }
    faults_read = 1;
    write_budget_set = flag_set("ZFAULT_WRITE_BUDGET");
    write_budget_left = number_or_zero("ZFAULT_WRITE_BUDGET");
    const char *close_fail = getenv("ZFAULT_CLOSE_FAIL");
    close_fail_all = close_fail != NULL && strcmp(close_fail, "all") == 0;
    close_fail_ordinal = (unsigned long)number_or_zero("ZFAULT_CLOSE_FAIL");
    truncate_fail = flag_set("ZFAULT_TRUNCATE_FAIL");
    rename_fail = flag_set("ZFAULT_RENAME_FAIL");
    write_open_fail = flag_set("ZFAULT_WRITE_OPEN_FAIL");
    fsync_fail = flag_set("ZFAULT_FSYNC_FAIL");
    allocation_fail_ordinal = number_or_zero("ZFAULT_ALLOCATION_FAIL");
    allocation_count_path = getenv("ZFAULT_ALLOCATION_COUNT");
    trace_path = getenv("ZFAULT_TRACE");
    sodium_init_fail = flag_set("ZFAULT_SODIUM_INIT_FAIL");
}

/* Writes the text to PATH, when one is set, with system calls alone: nothing
 * of ours may allocate inside the program under test. A test that asked for
 * the file finds what could not be written missing from it. */
static void write_text(const char *path, int flags, const char *text, size_t length) {
    if (path == NULL || path[0] == '\0') {
        return;
    }
    const int fd = open(path, O_WRONLY | O_CREAT | O_CLOEXEC | flags, 0600);
    if (fd < 0) {
        return;
    }
    if (write(fd, text, length) < 0) {
        /* Nothing to report it on. */
    }
    close(fd);
}

/* Appends "WORD FIRST[ SECOND]" and a line end to the trace. */
static void trace(const char *word, const char *first, const char *second) {
    char line[3 * 4096 + 4];
    const size_t length = (size_t)snprintf(line, sizeof line, "%s %s%s%s\n", word, first,
                                           second == NULL ? "" : " ", second == NULL ? "" : second);
    write_text(trace_path, O_APPEND, line, length < sizeof line ? length : sizeof line - 1);
}

__attribute__((destructor)) static void write_allocation_count(void) {
    char digits[24];
    size_t start = sizeof digits;
    unsigned long long left = allocations_seen;
    do {
        digits[--start] = (char)('0' + left % 10);
        left /= 10;
    } while (left != 0);
    write_text(allocation_count_path, O_TRUNC, digits + start, sizeof digits - start);
}

/* The faults, and the next definition of a wrapped function, looked up on
 * first use: another library's constructor may call it before ours has run. */
#define NEXT(function)                                             \
    read_faults();                                                 \
    static __typeof__(function) *next_##function;                  \
    if (next_##function == NULL) {                                 \
        void *symbol = dlsym(RTLD_NEXT, #function);                \
        memcpy(&next_##function, &symbol, sizeof symbol);          \
    }

/* How many of the requested bytes the budget still lets through. */
static size_t allowed_bytes(int fd, size_t requested) {
    if (fd < 3 || !write_budget_set || requested <= write_budget_left) {
        return requested;
    }
    return (size_t)write_budget_left;
}

static void spend_budget(int fd, ssize_t written) {
    if (fd >= 3 && write_budget_set && written > 0) {
        write_budget_left -= (uint64_t)written;
    }
}

ssize_t write(int fd, const void *buffer, size_t count) {
    NEXT(write);
    const size_t allowed = allowed_bytes(fd, count);
    if (allowed == 0 && count > 0) {
        errno = ENOSPC;
        return -1;
    }
    const ssize_t written = next_write(fd, buffer, allowed);
    spend_budget(fd, written);
    return written;
}

ssize_t writev(int fd, const struct iovec *iov, int iovcnt) {
    NEXT(writev);
    size_t requested = 0;
    for (int i = 0; i < iovcnt; ++i) {
        requested += iov[i].iov_len;
    }
    const size_t allowed = allowed_bytes(fd, requested);
    if (allowed == requested) {
        const ssize_t written = next_writev(fd, iov, iovcnt);
        spend_budget(fd, written);
        return written;
    }
    if (allowed == 0) {
        errno = ENOSPC;
        return -1;
    }
    /* A short write: the leading vectors that fit, the one that crosses the
     * budget cut at it. */
    int kept = 0;
    size_t left = allowed;
    while (left > iov[kept].iov_len) {
        left -= iov[kept].iov_len;
        ++kept;
    }
    struct iovec head[kept + 1];
    memcpy(head, iov, sizeof head);
    head[kept].iov_len = left;
    const ssize_t written = next_writev(fd, head, kept + 1);
    spend_budget(fd, written);
    return written;
}

int fclose(FILE *stream) {
    NEXT(fclose);
    const int fd = fileno(stream);
    const int result = next_fclose(stream);
    if (fd >= 3) {
        ++closes_seen;
        if (close_fail_all || closes_seen == close_fail_ordinal) {
            errno = EIO;
            return EOF;
        }
    }
    return result;
}

int fsync(int fd) {
    NEXT(fsync);
    char link[64];
    char file[4096] = "";
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t length = readlink(link, file, sizeof file - 1);
    file[length < 0 ? 0 : length] = '\0';
    trace("fsync", file, NULL);
    if (fsync_fail) {
        errno = EIO;
        return -1;
    }
    return next_fsync(fd);
}

int truncate(const char *path, off_t length) {
    NEXT(truncate);
    trace("truncate", path, NULL);
    if (truncate_fail) {
        errno = EIO;
        return -1;
    }
    return next_truncate(path, length);
}

int rename(const char *from, const char *to) {
    NEXT(rename);
    trace("rename", from, to);
    if (rename_fail) {
        errno = EACCES;
        return -1;
    }
    return next_rename(from, to);
}

FILE *fopen64(const char *path, const char *mode) {
    NEXT(fopen64);
    if (write_open_fail && strpbrk(mode, "wa+") != NULL) {
        errno = EACCES;
        return NULL;
    }
    return next_fopen64(path, mode);
}

/* Counts one allocation; true when it is the one that must fail. */
static int allocation_fails(void) {
    read_faults();
    ++allocations_seen;
    if (allocations_seen == allocation_fail_ordinal) {
        errno = ENOMEM;
        return 1;
    }
    return 0;
}

void *malloc(size_t size) { return allocation_fails() ? NULL : __libc_malloc(size); }

void *calloc(size_t count, size_t size) { return allocation_fails() ? NULL : __libc_calloc(count, size); }

void *realloc(void *block, size_t size) { return allocation_fails() ? NULL : __libc_realloc(block, size); }

int sodium_init(void) {
    NEXT(sodium_init);
    return sodium_init_fail ? -1 : next_sodium_init();
}
