/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* See platform.h: Linux and other POSIX systems. */

#define _GNU_SOURCE /* MAP_ANONYMOUS, MAP_NORESERVE, madvise, renameat2 */

#include "platform.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/un.h>
#include <unistd.h>

/* ---- Files ------------------------------------------------------------------------------ */

int
record_file_create_new (const char *path)
{
    /* O_EXCL: a planted file or link at this name makes the call fail, never followed. */
    return open (path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
}

int
record_file_close (int fd)
{
    return close (fd);
}

FILE *
record_file_stream (int fd)
{
    return fdopen (fd, "wb");
}

int64_t
record_file_read (int fd, void *buffer, size_t size)
{
    return read (fd, buffer, size);
}

int64_t
record_file_write (int fd, const void *buffer, size_t size)
{
    return write (fd, buffer, size);
}

int64_t
record_file_seek (int fd, int64_t offset, int whence)
{
    return lseek (fd, (off_t) offset, whence);
}

int64_t
record_file_size (int fd)
{
    struct stat info;

    return fstat (fd, &info) == 0 ? (int64_t) info.st_size : -1;
}

int
record_file_read_at (int fd, void *buffer, size_t size, uint64_t offset)
{
    ssize_t done;

    errno = 0;
    done = pread (fd, buffer, size, (off_t) offset);
    return done == (ssize_t) size ? 0 : -1;
}

int
record_file_write_at (int fd, const void *buffer, size_t size, uint64_t offset)
{
    ssize_t done;

    errno = 0;
    done = pwrite (fd, buffer, size, (off_t) offset);
    return done == (ssize_t) size ? 0 : -1;
}

int
record_file_truncate (int fd, uint64_t length)
{
    return ftruncate (fd, (off_t) length);
}

int
record_file_reserve (int fd, uint64_t length)
{
    int error_number = posix_fallocate (fd, 0, (off_t) length);

    errno = error_number;
    return error_number == 0 ? 0 : -1;
}

int
record_file_rename_new (const char *from, const char *to)
{
    struct stat info;

#ifdef RENAME_NOREPLACE
    if (renameat2 (AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0)
        return 0;

    if (errno != EINVAL && errno != ENOSYS)
        return -1;
#endif

    /* A file system that cannot rename without replacing: looked at first. */
    if (lstat (to, &info) == 0) {
        errno = EEXIST;
        return -1;
    }

    return errno == ENOENT ? rename (from, to) : -1;
}

int
record_file_flush_to_disk (const char *path)
{
    int fd = open (path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    int synced, error_number;

    if (fd < 0)
        return -1;

    synced = fsync (fd);
    error_number = errno;
    close (fd);
    errno = error_number;
    return synced;
}

int
record_disk_free_bytes (const char *dir, uint64_t *bytes)
{
    struct statvfs disk;

    if (statvfs (dir, &disk) != 0)
        return -1;

    *bytes = (uint64_t) disk.f_bavail * disk.f_frsize;
    return 0;
}

/* ---- Folder lock ------------------------------------------------------------------------ */

enum {
    LOCK_ATTEMPTS = 100
};

static void
read_line (int fd, char *line, size_t size)
{
    ssize_t length = pread (fd, line, size - 1, 0);

    length = length > 0 ? length : 0;

    while (length > 0 && (line[length - 1] == '\n' || line[length - 1] == '\0'))
        length--;

    line[length] = '\0';
}

static int
same_file (int fd, const char *path)
{
    struct stat held, named;

    return fstat (fd, &held) == 0 && stat (path, &named) == 0 && held.st_dev == named.st_dev &&
           held.st_ino == named.st_ino;
}

/* flock, not fcntl's locks: those go when the process closes any descriptor of the file. */
int
record_lock_take (const char *path, const char *owner, char *found, size_t found_size)
{
    const size_t length = strlen (owner);

    found[0] = '\0';

    for (int attempt = 0; attempt < LOCK_ATTEMPTS; attempt++) {
        int fd = open (path, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
        int error_number;

        if (fd < 0)
            return -1;

        if (flock (fd, LOCK_EX | LOCK_NB) != 0) {
            error_number = errno;
            read_line (fd, found, found_size);
            close (fd);
            errno = error_number;
            return -1;
        }

        /* The holder before may have removed the file between the open and the lock: then the
         * lock is on a file nobody finds, and the name is tried again. */
        if (same_file (fd, path)) {
            read_line (fd, found, found_size);

            if (ftruncate (fd, 0) == 0 && pwrite (fd, owner, length, 0) == (ssize_t) length)
                return fd;

            error_number = errno;
            close (fd);
            errno = error_number;
            return -1;
        }

        close (fd);
    }

    errno = EWOULDBLOCK;
    return -1;
}

void
record_lock_release (int lock, const char *path)
{
    /* Removed while still held, so that whoever opened it meanwhile finds it gone. */
    unlink (path);
    close (lock);
}

/* ---- Memory ----------------------------------------------------------------------------- */

size_t
record_memory_granule (void)
{
    return (size_t) sysconf (_SC_PAGESIZE);
}

/* Inaccessible until prepared, as on Windows, so that touching too early fails here too. */
void *
record_memory_reserve (size_t size)
{
    void *reservation = mmap (NULL, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);

    return reservation != MAP_FAILED ? reservation : NULL;
}

int
record_memory_prepare (void *reservation, size_t offset, size_t length)
{
    char *start = (char *) reservation + offset;

    if (mprotect (start, length, PROT_READ | PROT_WRITE) != 0)
        return -1;

#ifdef MADV_POPULATE_WRITE
    /* One call maps every page, and says ENOMEM where a touch would summon the OOM killer. */
    if (madvise (start, length, MADV_POPULATE_WRITE) == 0)
        return 0;

    if (errno != EINVAL) /* EINVAL: a kernel older than 5.14 */
        return -1;
#endif

    for (size_t at = 0; at < length; at += record_memory_granule ())
        ((volatile char *) start)[at] = 0;

    return 0;
}

void
record_memory_release (void *reservation, size_t size)
{
    munmap (reservation, size);
}

/* ---- Sockets ---------------------------------------------------------------------------- */

int
record_local_socket_path (const char *path)
{
    struct sockaddr_un address = { .sun_family = AF_UNIX };
    struct stat info;
    int fd, refused;

    if (lstat (path, &info) != 0)
        return errno == ENOENT ? RECORD_SOCKET_PATH_FREE : -1;

    if (!S_ISSOCK (info.st_mode))
        return RECORD_SOCKET_PATH_OTHER;

    /* Too long a path for an address: ZeroMQ refuses to bind there. */
    if (strlen (path) >= sizeof address.sun_path)
        return RECORD_SOCKET_PATH_STALE;

    strcpy (address.sun_path, path);
    /* Not blocking: a listener whose backlog is full would hold a blocking connect until it
     * accepts. */
    fd = socket (AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);

    if (fd < 0)
        return -1;

    refused = connect (fd, (const struct sockaddr *) &address, sizeof address) != 0 ? errno : 0;
    close (fd);

    /* Only a refusal says nobody holds the socket; a socket of another type (EPROTOTYPE) or a
     * full backlog (EAGAIN) is a live process's. */
    if (refused == ENOENT)
        return RECORD_SOCKET_PATH_FREE;

    return refused == ECONNREFUSED ? RECORD_SOCKET_PATH_STALE : RECORD_SOCKET_PATH_LISTENING;
}

char *
record_real_path (const char *path)
{
    return realpath (path, NULL);
}

/* ---- Console and process ---------------------------------------------------------------- */

int
record_process_id (void)
{
    return (int) getpid ();
}

int
record_stderr_is_terminal (void)
{
    return isatty (STDERR_FILENO);
}

void
record_write_stderr (const char *text, size_t length)
{
    ssize_t ignored = write (STDERR_FILENO, text, length);

    (void) ignored; /* nothing better to do where this is used */
}

FILE *
record_divert_stdout (void)
{
    int copy;
    FILE *report;

    fflush (stdout);
    copy = dup (STDOUT_FILENO);

    if (copy < 0)
        return NULL;

    report = fdopen (copy, "w");

    if (report == NULL) {
        close (copy);
        return NULL;
    }

    dup2 (STDERR_FILENO, STDOUT_FILENO);
    return report;
}

void
record_restore_stdout (FILE *report)
{
    fflush (stdout);
    fflush (report);
    dup2 (fileno (report), STDOUT_FILENO);
    fclose (report);
}

static void (*stop_callback) (int signal_number) = NULL;
static void (*quit_callback) (int signal_number) = NULL;
static unsigned quit_bound = 0;

/* Counted over all stop signals: a SIGTERM after a SIGINT is a second request too. */
static volatile sig_atomic_t stop_requests = 0;
static volatile sig_atomic_t first_signal = 0;

/* Ends the process as `signum`'s default action does, once the handler running returns (at once
 * when `signum` is not blocked in it). */
static void
end_with (int signum)
{
    signal (signum, SIG_DFL);
    raise (signum);
}

static void
on_signal (int signum)
{
    const sig_atomic_t request = ++stop_requests;

    if (request == 1) {
        first_signal = signum;
        stop_callback (signum);
    }
    else if (request == 2) {
        quit_callback (signum);
        alarm (quit_bound);
    }
    else {
        end_with (signum);
    }
}

/* The quit's time is up. */
static void
on_alarm (int signum)
{
    (void) signum;
    end_with (first_signal);
    /* Should this thread block that signal. */
    _exit (128 + first_signal);
}

void
record_catch_stop (void (*on_stop) (int signal_number), void (*on_quit) (int signal_number), unsigned quit_seconds)
{
    static const int stopping[] = { SIGINT, SIGTERM, SIGHUP };
    struct sigaction alarm_action;
    sigset_t unblock;

    stop_callback = on_stop;
    quit_callback = on_quit;
    quit_bound = quit_seconds;
    memset (&alarm_action, 0, sizeof alarm_action);
    alarm_action.sa_handler = on_alarm;
    sigemptyset (&alarm_action.sa_mask);
    sigaction (SIGALRM, &alarm_action, NULL);
    sigemptyset (&unblock);
    sigaddset (&unblock, SIGALRM);

    for (size_t i = 0; i < sizeof stopping / sizeof stopping[0]; i++) {
        struct sigaction action;

        memset (&action, 0, sizeof action);
        action.sa_handler = on_signal;
        /* One request at a time, whichever signal brings it. */
        sigemptyset (&action.sa_mask);
        sigaddset (&action.sa_mask, SIGINT);
        sigaddset (&action.sa_mask, SIGTERM);
        sigaddset (&action.sa_mask, SIGHUP);
        sigaction (stopping[i], &action, NULL);
        sigaddset (&unblock, stopping[i]);
    }

    /* A recorder that Ctrl-C cannot stop would be worse than one that ignores who blocked it. */
    pthread_sigmask (SIG_UNBLOCK, &unblock, NULL);

    signal (SIGXFSZ, SIG_IGN);
}
