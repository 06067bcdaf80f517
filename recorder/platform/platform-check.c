/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Checks what platform.h and sync.h promise, against whichever
 * implementation is linked: the POSIX one in the plain build, the Windows one when cross-built
 * and run under Wine. Plain C without GLib, like those files. Run in a folder it may write to;
 * exits 0, or 1 after naming the first broken promise. */

#include "platform.h"
#include "sync.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#define CHECK(condition)                                                                                               \
    do {                                                                                                               \
        if (!(condition)) {                                                                                            \
            fprintf (stderr, "%s:%d: %s fails (errno %d)\n", __FILE__, __LINE__, #condition, errno);                   \
            return 1;                                                                                                  \
        }                                                                                                              \
    } while (0)

static int
check_files (void)
{
    static const char content[] = "0123456789\n\n\n\n\n"; /* newlines betray a text mode */
    const char path[] = "platform-check-file", missing[] = "no-such/file";
    const char other[] = "platform-check-other", renamed[] = "platform-check-renamed";
    uint64_t value = 0x1122334455667788u, read_back = 0, free_bytes = 0;
    char buffer[sizeof content];
    int fd;

    remove (path); /* from an earlier run that failed */
    fd = record_file_create_new (path);
    CHECK (fd >= 0);
    CHECK (record_file_create_new (path) == -1 && errno == EEXIST);
    CHECK (record_file_create_new (missing) == -1 && errno == ENOENT);

    CHECK (record_file_write (fd, content, sizeof content) == (int64_t) sizeof content);
    CHECK (record_file_size (fd) == (int64_t) sizeof content);
    CHECK (record_file_seek (fd, 0, SEEK_SET) == 0);
    CHECK (record_file_read (fd, buffer, sizeof buffer) == (int64_t) sizeof buffer &&
           memcmp (buffer, content, sizeof buffer) == 0);

    CHECK (record_file_write_at (fd, &value, sizeof value, 4) == 0);
    CHECK (record_file_read_at (fd, &read_back, sizeof read_back, 4) == 0 && read_back == value);
    CHECK (record_file_read_at (fd, &read_back, sizeof read_back, sizeof content - 4) == -1 && errno == 0);

    CHECK (record_file_truncate (fd, 6) == 0 && record_file_size (fd) == 6);
    CHECK (record_file_reserve (fd, 1 << 20) == 0 && record_file_size (fd) == 1 << 20);
    CHECK (record_disk_free_bytes (".", &free_bytes) == 0 && free_bytes > 0);
    CHECK (record_disk_free_bytes ("no-such", &free_bytes) == -1 && errno == ENOENT);
    CHECK (record_file_close (fd) == 0);

    /* A rename never replaces: what is at the new name stays, and so does the file. */
    remove (other);
    remove (renamed);
    fd = record_file_create_new (other);
    CHECK (fd >= 0 && record_file_close (fd) == 0);
    CHECK (record_file_rename_new (path, other) == -1 && errno == EEXIST);
    CHECK (record_file_rename_new (path, renamed) == 0);
    CHECK (record_local_socket_path (renamed) == RECORD_SOCKET_PATH_OTHER);
    CHECK (record_local_socket_path (missing) == RECORD_SOCKET_PATH_FREE);
    CHECK (remove (path) == -1 && remove (renamed) == 0 && remove (other) == 0);
    CHECK (record_local_socket_path (renamed) == RECORD_SOCKET_PATH_FREE);
    return 0;
}

static int
check_memory (void)
{
    const size_t granule = record_memory_granule ();
    const size_t size = 64 * granule;
    unsigned char *memory = record_memory_reserve (size);

    CHECK (granule > 0 && (granule & (granule - 1)) == 0 && memory != NULL);
    CHECK (record_memory_prepare (memory, 0, 2 * granule) == 0);
    memset (memory, 0xab, 2 * granule);
    /* Preparing the next part leaves the part in use alone. */
    CHECK (record_memory_prepare (memory, 2 * granule, size - 2 * granule) == 0);
    CHECK (memory[0] == 0xab && memory[2 * granule - 1] == 0xab && memory[2 * granule] == 0 && memory[size - 1] == 0);
    record_memory_release (memory, size);
    CHECK (record_memory_reserve ((size_t) 1 << 62) == NULL); /* more than any address space */
    return 0;
}

/* Two takes in one process conflict as two processes do: locks belong to the open file. */
static int
check_lock (void)
{
    const char path[] = "platform-check.lock";
    char found[64];
    FILE *stale;
    int lock;

    remove (path);
    lock = record_lock_take (path, "first holder", found, sizeof found);
    CHECK (lock >= 0 && found[0] == '\0');
    CHECK (record_lock_take (path, "second", found, sizeof found) == -1 && errno == EWOULDBLOCK &&
           strcmp (found, "first holder") == 0);
    record_lock_release (lock, path);
    CHECK (fopen (path, "rb") == NULL);

    /* What a holder that ended without releasing leaves: its line, and no lock. */
    stale = fopen (path, "wb");
    CHECK (stale != NULL && fputs ("gone\n", stale) >= 0 && fclose (stale) == 0);
    lock = record_lock_take (path, "third", found, sizeof found);
    CHECK (lock >= 0 && strcmp (found, "gone") == 0);
    record_lock_release (lock, path);
    return 0;
}

static RecordLock lock;
static RecordCondition condition;
static int started = 0; /* guarded by lock */

static void *
announce (void *data)
{
    (void) data;
    record_lock (&lock);
    started = 1;
    record_condition_broadcast (&condition);
    record_unlock (&lock);
    return NULL;
}

static int
check_sync (void)
{
    const int64_t wait_ns = 100000000;
    const int64_t start_ns = record_monotonic_ns ();
    int64_t waited_ns;
    RecordThread thread;

    record_lock_init (&lock);
    record_condition_init (&condition);

    /* Nobody broadcasts: the wait ends at its deadline, neither before nor never. */
    record_lock (&lock);
    record_condition_wait_until (&condition, &lock, start_ns + wait_ns);
    record_unlock (&lock);
    waited_ns = record_monotonic_ns () - start_ns;
    CHECK (waited_ns >= wait_ns && waited_ns < 60 * wait_ns);

    CHECK (record_thread_start (&thread, announce, NULL) == 0);
    record_lock (&lock);
    while (!started)
        record_condition_wait (&condition, &lock);
    record_unlock (&lock);
    record_thread_join (&thread);

    record_condition_clear (&condition);
    record_lock_clear (&lock);
    return 0;
}

int
main (void)
{
    return check_files () != 0 || check_lock () != 0 || check_memory () != 0 || check_sync () != 0;
}
