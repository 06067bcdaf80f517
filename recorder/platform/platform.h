/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* uca-record's calls into the operating system: everything else in the tool is plain C and
 * GLib. One implementation per system: platform-posix.c and platform-win32.c.
 *
 * Files are the C runtime's descriptors (the CRT's on Windows, opened in binary mode), so that
 * the rest of the tool can hand them to libtiff and stdio. Paths are UTF-8, as GLib's. Unless said
 * otherwise, a call returns 0 or a count on success and -1 with errno set on failure, also on
 * Windows, so that g_strerror (errno) names the reason ("No space left on device").
 *
 * No GLib here: a port starts from this header alone. */
#ifndef UCA_RECORD_PLATFORM_H
#define UCA_RECORD_PLATFORM_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

/* ---- Files ------------------------------------------------------------------------------ */

/* Creates and opens for reading and writing the new file `path`, exclusively: an existing file
 * or link at the name makes the call fail (EEXIST), never followed. Permissions as a plain new
 * file's (0666 less the umask; on Windows the folder's). Returns the descriptor. */
int record_file_create_new (const char *path);
int record_file_close (int fd);
/* A binary stdio stream writing to `fd`, which then belongs to the stream; NULL on failure. */
FILE *record_file_stream (int fd);

/* At the file position, like read and write; each may do less than `size`. */
int64_t record_file_read (int fd, void *buffer, size_t size);
int64_t record_file_write (int fd, const void *buffer, size_t size);
/* `whence` is SEEK_SET, SEEK_CUR or SEEK_END; returns the new position. */
int64_t record_file_seek (int fd, int64_t offset, int whence);
int64_t record_file_size (int fd);

/* Exactly `size` bytes at `offset`; 0, or -1 (errno 0 when the file ends first). The file
 * position afterwards is unspecified (Windows moves it), so use these only on a file nobody
 * reads or writes sequentially any more. */
int record_file_read_at (int fd, void *buffer, size_t size, uint64_t offset);
int record_file_write_at (int fd, const void *buffer, size_t size, uint64_t offset);

/* Cuts or extends the file to `length` bytes. */
int record_file_truncate (int fd, uint64_t length);
/* Makes sure the disk holds `length` bytes for the file, so that a later write into them cannot
 * fail for lack of space. */
int record_file_reserve (int fd, uint64_t length);

/* Renames `from` to `to` where nothing is at `to`: a file, folder or link there makes the call fail
 * (EEXIST) and stays as it was. */
int record_file_rename_new (const char *from, const char *to);

/* Writes what the system still holds of the closed file at `path` through to the disk, so that
 * a file renamed in place of another afterwards is whole there before the other goes. */
int record_file_flush_to_disk (const char *path);

/* Bytes the calling user may still write on the disk that holds `dir`. */
int record_disk_free_bytes (const char *dir, uint64_t *bytes);

/* ---- Folder lock ------------------------------------------------------------------------ */

/* Takes the lock file at `path` for this process, until record_lock_release or until the process
 * ends, however it ends: the system then lets go of it. Writes `owner`, a line naming this
 * process, into the file. `found` (`found_size` bytes, always terminated) receives the line the
 * file held before: while another process holds the lock, that process's; else one a process
 * left that ended without releasing it, or "" for a new file. Returns a descriptor, or -1 with
 * errno EWOULDBLOCK while another process holds the lock, or another errno. */
int record_lock_take (const char *path, const char *owner, char *found, size_t found_size);
/* Removes the lock file and lets go of it. */
void record_lock_release (int lock, const char *path);

/* ---- Memory ----------------------------------------------------------------------------- */

/* The unit in which memory is prepared: offsets and lengths given to record_memory_prepare are
 * multiples of it. */
size_t record_memory_granule (void);
/* Address space for `size` bytes (a multiple of the granule) that takes no memory yet; nothing
 * in it may be touched before record_memory_prepare has made it usable. NULL with errno on
 * failure. */
void *record_memory_reserve (size_t size);
/* Makes bytes [offset, offset + length) of a reservation usable and backs them with memory now,
 * so that whoever uses them later never waits for the system to map a page. Touches no byte
 * outside the range, so other threads may use the parts prepared before meanwhile. ENOMEM when
 * the system has no memory to give. */
int record_memory_prepare (void *reservation, size_t offset, size_t length);
void record_memory_release (void *reservation, size_t size);

/* ---- Sockets ---------------------------------------------------------------------------- */

/* What is at `path`, where a local (Unix domain) socket is to be bound; -1 with errno when the
 * system cannot say. */
enum {
    RECORD_SOCKET_PATH_FREE,      /* nothing */
    RECORD_SOCKET_PATH_LISTENING, /* a socket a process holds: listening (a full backlog too), or of another type */
    RECORD_SOCKET_PATH_STALE,     /* a socket nobody listens on, left by a process that ended */
    RECORD_SOCKET_PATH_OTHER,     /* anything else: a file, a folder, a link */
};
int record_local_socket_path (const char *path);
/* The absolute path of what exists at `path`, links followed, for free(); NULL with errno. */
char *record_real_path (const char *path);

/* ---- Console and process ---------------------------------------------------------------- */

/* The process's identifier, as the system lists it. */
int record_process_id (void);
/* Whether standard error shows on a terminal (where a progress bar that redraws itself fits). */
int record_stderr_is_terminal (void);
/* Writes to standard error without buffering; safe in a signal handler. */
void record_write_stderr (const char *text, size_t length);

/* From now on, the process's standard output goes to standard error, also for whatever writes
 * to the system's standard output directly (a camera's logger); returns a stream on the
 * original standard output, or NULL and nothing changed. */
FILE *record_divert_stdout (void);
/* Flushes and closes `report` and makes it the standard output again. */
void record_restore_stdout (FILE *report);

/* Calls `on_stop` for the first request to stop: SIGINT, SIGTERM or SIGHUP on POSIX; Ctrl-C,
 * Ctrl-Break (both as SIGINT) and closing the console, logging off or shutting down (as
 * SIGTERM) on Windows. Calls `on_quit` for the second: the process then ends within
 * `quit_seconds` whatever it is doing, as the first request's signal ends it (exit status 128 +
 * the signal), unless it has ended by itself before. A third request ends the process at once.
 * `on_stop` and `on_quit` run in a signal handler (POSIX) or on a thread of the system's
 * (Windows): they may only store to a lock-free atomic or a volatile sig_atomic_t and call
 * record_write_stderr. Closing a Windows console gives the process the system's timeout (5 s) to
 * finish. On POSIX the stop signals are unblocked, should whoever started the process have
 * blocked them, so that one already pending arrives at once; SIGALRM is the quit's bound. Also
 * makes exceeding a file-size limit a write error rather than the end of the process. */
void record_catch_stop (void (*on_stop) (int signal_number), void (*on_quit) (int signal_number),
                        unsigned quit_seconds);

#endif
