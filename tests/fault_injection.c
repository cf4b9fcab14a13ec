/* Test-only LD_PRELOAD library: makes the calls through which zreveal reaches
 * the system fail on demand, and records what it asked of them.
 *
 * Environment (each fault is off when its variable is unset or empty):
 *   ZFAULT_WRITE_BUDGET=N     write/writev to descriptors >= 3 carry N bytes in
 *                             all; the call that crosses N writes only up to it
 *                             (a short write), later ones fail with ENOSPC.
 *   ZFAULT_CLOSE_FAIL=N|all   the Nth fclose (counted from 1) of a stream on a
 *                             descriptor >= 3, or every one, closes it and then
 *                             reports EIO.
 *   ZFAULT_DESCRIPTOR_CLOSE_FAIL=PATH
 *                             close of a descriptor on the file that PATH
 *                             names closes it and then reports EIO.
 *   ZFAULT_OPEN_FAIL=PATH     open of the file that PATH names fails with
 *                             EACCES, however the program spells its path.
 *   ZFAULT_WRITE_OPEN_FAIL=1  fopen64 with a mode that writes fails with EACCES.
 *   ZFAULT_TRUNCATE_FAIL=1    truncate fails with EIO.
 *   ZFAULT_RENAME_FAIL=1      rename fails with EACCES.
 *   ZFAULT_FSYNC_FAIL=N       the Nth fsync (counted from 1) fails, with
 *   ZFAULT_FSYNC_ERRNO=E      error number E (default EIO).
 *   ZFAULT_WRITEBACK_FAIL=1   sync_file_range fails with EIO.
 *   ZFAULT_ALLOCATION_FAIL=N  the Nth call (counted from 1) of malloc, calloc
 *                             and realloc together returns NULL with ENOMEM.
 *   ZFAULT_ALLOCATION_COUNT=PATH
 *                             at exit, the number of those calls is written
 *                             to PATH in decimal.
 *   ZFAULT_SODIUM_INIT_FAIL=1 sodium_init reports failure (-1).
 *   ZFAULT_RAISE_IN_READ=S:N  signal S is raised inside the first read of
 *                             exactly N bytes from a descriptor >= 3, before
 *                             anything is read.
 *   ZFAULT_RAISE_IN_WRITE=S[:N]
 *                             signal S is raised inside the Nth write
 *                             (counted from 1; the first without N) to a
 *                             descriptor >= 3, before anything is written.
 *   ZFAULT_BLOCKED=PATH       at the first write to a descriptor >= 3, the
 *                             numbers of the signals blocked then are written
 *                             to PATH, in rising order, each followed by a
 *                             space.
 *   ZFAULT_READS=PATH         each read from a descriptor >= 3 appends
 *                             "FILE REQUESTED DELIVERED" to PATH.
 *   ZFAULT_TRACE=PATH         each open and fopen64 that succeeds, the first
 *                             write to each descriptor >= 3 since it was
 *                             opened, and each fsync, sync_file_range,
 *                             truncate and rename append a line to PATH:
 *                             "open FD FILE", "write FD FILE", "fsync FD FILE",
 *                             "writeback FD FILE OFFSET LENGTH",
 *                             "truncate FILE" or "rename FROM TO".
 * FD is the descriptor's number (the stream's, for fopen64), FILE the path
 * that /proc gives for it; the paths that truncate and rename take are given
 * as passed. A fault's PATH is taken from the program's working directory
 * and matches its file by device and inode: "." is the working directory
 * whether the program opens it as ".", "./" or by its absolute path.
 *
 * Only the symbols that the program calls here are wrapped: std::fstream
 * opens with fopen64, reads with read, writes with write and writev and
 * closes with fclose; std::filesystem::resize_file calls truncate and
 * std::filesystem::rename calls rename; the program itself calls open,
 * close, fsync and sync_file_range. Descriptors 0 to 2 are left alone so
 * that the program's messages always get out. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <limits.h>
#include <signal.h>
#include <stdarg.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/syscall.h>
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
static const char *descriptor_close_fail_path;
static const char *open_fail_path;
static int write_open_fail;
static int truncate_fail;
static int rename_fail;
static unsigned long fsync_fail_ordinal;
static unsigned long fsyncs_seen;
static int fsync_errno;
static int writeback_fail;
static unsigned long long allocation_fail_ordinal;
static unsigned long long allocations_seen;
static const char *allocation_count_path;
static int sodium_init_fail;
static int raise_in_read_signal;
static unsigned long raise_in_read_bytes;
static int raise_in_write_signal;
static unsigned long raise_in_write_ordinal;
static const char *blocked_path;
static unsigned long writes_seen;
static const char *reads_path;
static const char *trace_path;
/* Descriptors written to since their open, for the trace's first writes. */
static unsigned char written_since_open[4096];

static int flag_set(const char *name) {
    const char *value = getenv(name);
    return value != NULL && value[0] != '\0';
}

static unsigned long long number_or_zero(const char *name) {
    const char *value = getenv(name);
    return value == NULL ? 0 : strtoull(value, NULL, 10);
}

/* A signal setting "S:N", or "S" alone, which leaves N as given. */
static int signal_and_number(const char *name, unsigned long *number) {
    const char *value = getenv(name);
    if (value == NULL || value[0] == '\0') {
        return 0;
    }
    char *rest = NULL;
    const int signal = (int)strtol(value, &rest, 10);
    if (*rest == ':') {
        *number = strtoul(rest + 1, NULL, 10);
    }
    return signal;
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
    descriptor_close_fail_path = getenv("ZFAULT_DESCRIPTOR_CLOSE_FAIL");
    open_fail_path = getenv("ZFAULT_OPEN_FAIL");
    write_open_fail = flag_set("ZFAULT_WRITE_OPEN_FAIL");
    truncate_fail = flag_set("ZFAULT_TRUNCATE_FAIL");
    rename_fail = flag_set("ZFAULT_RENAME_FAIL");
    fsync_fail_ordinal = (unsigned long)number_or_zero("ZFAULT_FSYNC_FAIL");
    fsync_errno = flag_set("ZFAULT_FSYNC_ERRNO") ? (int)number_or_zero("ZFAULT_FSYNC_ERRNO") : EIO;
    writeback_fail = flag_set("ZFAULT_WRITEBACK_FAIL");
    allocation_fail_ordinal = number_or_zero("ZFAULT_ALLOCATION_FAIL");
    allocation_count_path = getenv("ZFAULT_ALLOCATION_COUNT");
    sodium_init_fail = flag_set("ZFAULT_SODIUM_INIT_FAIL");
    raise_in_read_signal = signal_and_number("ZFAULT_RAISE_IN_READ", &raise_in_read_bytes);
    raise_in_write_ordinal = 1;
    raise_in_write_signal = signal_and_number("ZFAULT_RAISE_IN_WRITE", &raise_in_write_ordinal);
    blocked_path = getenv("ZFAULT_BLOCKED");
    reads_path = getenv("ZFAULT_READS");
    trace_path = getenv("ZFAULT_TRACE");
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

/* Writes the text to PATH, when one is set, with system calls alone: nothing
 * of ours may allocate inside the program under test, nor pass through the
 * wrappers below, whose counts and faults are the program's own. A test that
 * asked for the file finds what could not be written missing from it. */
static void write_text(const char *path, int flags, const char *text, size_t length) {
    if (path == NULL || path[0] == '\0') {
        return;
    }
    const int fd = (int)syscall(SYS_openat, AT_FDCWD, path, O_WRONLY | O_CREAT | O_CLOEXEC | flags, 0600);
    if (fd < 0) {
        return;
    }
    if (syscall(SYS_write, fd, text, length) < 0) {
        /* Nothing to report it on. */
    }
    syscall(SYS_close, fd);
}

/* Appends the formatted line to PATH. */
static void append_line(const char *path, const char *format, ...) {
    if (path == NULL || path[0] == '\0') {
        return;
    }
    char line[3 * PATH_MAX];
    va_list arguments;
    va_start(arguments, format);
    const int length = vsnprintf(line, sizeof line, format, arguments);
    va_end(arguments);
    if (length > 0) {
        write_text(path, O_APPEND, line, (size_t)length < sizeof line ? (size_t)length : sizeof line - 1);
    }
}

/* The file that /proc names for the descriptor, or "" when it names none. */
static void file_of(int fd, char file[PATH_MAX]) {
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t length = readlink(link, file, PATH_MAX - 1);
    file[length < 0 ? 0 : length] = '\0';
}

/* Whether PATH names the file that `file` describes. stat and fstat
 * allocate nothing and are not wrapped here. */
static int is_file(const char *path, const struct stat *file) {
    struct stat named;
    return path != NULL && path[0] != '\0' && stat(path, &named) == 0 && named.st_dev == file->st_dev &&
           named.st_ino == file->st_ino;
}

/* Appends "EVENT FD FILE" and the tail to the trace. */
static void trace_descriptor(const char *event, int fd, const char *tail) {
    if (trace_path == NULL || trace_path[0] == '\0') {
        return;
    }
    char file[PATH_MAX];
    file_of(fd, file);
    append_line(trace_path, "%s %d %s%s\n", event, fd, file, tail);
}

/* Starts the life of a descriptor that an open returned, when it did. */
static void note_open(int fd) {
    if (fd < 0) {
        return;
    }
    if ((size_t)fd < sizeof written_since_open) {
        written_since_open[fd] = 0;
    }
    trace_descriptor("open", fd, "");
}

__attribute__((destructor)) static void write_allocation_count(void) {
    char digits[24];
    const int length = snprintf(digits, sizeof digits, "%llu", allocations_seen);
    write_text(allocation_count_path, O_TRUNC, digits, (size_t)length);
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

/* Writes the numbers of the signals blocked now to the file asked for. */
static void note_blocked_signals(void) {
    uint64_t blocked = 0;
    syscall(SYS_rt_sigprocmask, SIG_BLOCK, NULL, &blocked, sizeof blocked);
    char numbers[64 * 3 + 1] = "";
    size_t length = 0;
    for (int number = 1; number <= 64; ++number) {
        if (blocked >> (number - 1) & 1) {
            length += (size_t)snprintf(numbers + length, sizeof numbers - length, "%d ", number);
        }
    }
    write_text(blocked_path, O_TRUNC, numbers, length);
}

/* What happens inside a write to a file, before anything is written: the
 * first since the descriptor's open is traced, the first of all notes the
 * blocked signals, and the chosen one raises its signal. */
static void before_write(int fd) {
    if (fd < 3) {
        return;
    }
    if ((size_t)fd < sizeof written_since_open && !written_since_open[fd]) {
        written_since_open[fd] = 1;
        trace_descriptor("write", fd, "");
    }
    if (++writes_seen == 1) {
        note_blocked_signals();
    }
    if (raise_in_write_signal != 0 && writes_seen == raise_in_write_ordinal) {
        raise(raise_in_write_signal);
    }
}

ssize_t write(int fd, const void *buffer, size_t count) {
    NEXT(write);
    before_write(fd);
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
    before_write(fd);
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

ssize_t read(int fd, void *buffer, size_t count) {
    NEXT(read);
    if (fd < 3) {
        return next_read(fd, buffer, count);
    }
    if (raise_in_read_signal != 0 && count == raise_in_read_bytes) {
        const int signal = raise_in_read_signal;
        raise_in_read_signal = 0;
        raise(signal);
    }
    const ssize_t delivered = next_read(fd, buffer, count);
    if (reads_path != NULL) {
        char file[PATH_MAX];
        file_of(fd, file);
        append_line(reads_path, "%s %zu %zd\n", file, count, delivered);
    }
    return delivered;
}

int open(const char *path, int flags, ...) {
    NEXT(open);
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) {
        va_list arguments;
        va_start(arguments, flags);
        mode = va_arg(arguments, mode_t);
        va_end(arguments);
    }
    struct stat opened;
    if (open_fail_path != NULL && stat(path, &opened) == 0 && is_file(open_fail_path, &opened)) {
        errno = EACCES;
        return -1;
    }
    const int fd = next_open(path, flags, mode);
    note_open(fd);
    return fd;
}

int close(int fd) {
    NEXT(close);
    struct stat closed;
    const int fails = descriptor_close_fail_path != NULL && fstat(fd, &closed) == 0 &&
                      is_file(descriptor_close_fail_path, &closed);
    const int result = next_close(fd);
    if (fails) {
        errno = EIO;
        return -1;
    }
    return result;
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
    trace_descriptor("fsync", fd, "");
    if (++fsyncs_seen == fsync_fail_ordinal) {
        errno = fsync_errno;
        return -1;
    }
    return next_fsync(fd);
}

int sync_file_range(int fd, off64_t offset, off64_t length, unsigned int flags) {
    NEXT(sync_file_range);
    char stretch[48];
    snprintf(stretch, sizeof stretch, " %lld %lld", (long long)offset, (long long)length);
    trace_descriptor("writeback", fd, stretch);
    if (writeback_fail) {
        errno = EIO;
        return -1;
    }
    return next_sync_file_range(fd, offset, length, flags);
}

int truncate(const char *path, off_t length) {
    NEXT(truncate);
    append_line(trace_path, "truncate %s\n", path);
    if (truncate_fail) {
        errno = EIO;
        return -1;
    }
    return next_truncate(path, length);
}

int rename(const char *from, const char *to) {
    NEXT(rename);
    append_line(trace_path, "rename %s %s\n", from, to);
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
    FILE *stream = next_fopen64(path, mode);
    if (stream != NULL) {
        note_open(fileno(stream));
    }
    return stream;
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
