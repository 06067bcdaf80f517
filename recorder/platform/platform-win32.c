/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* See platform.h: 64-bit Windows, over the C runtime's descriptors and their
 * handles. Win32 failures become errno values through errno_from (). */

#include "platform.h"

#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

/* ---- Errors and paths ------------------------------------------------------------------- */

static int
errno_from (DWORD error)
{
    switch (error) {
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            return ENOSPC;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS:
            return EEXIST;
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_DRIVE:
            return ENOENT;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_WRITE_PROTECT:
            return EACCES;
        case ERROR_HANDLE_EOF:
            return 0;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
        case ERROR_COMMITMENT_LIMIT:
            return ENOMEM;
        default:
            return EIO;
    }
}

static int
fail_with_last_error (void)
{
    errno = errno_from (GetLastError ());
    return -1;
}

/* The UTF-16 form of a UTF-8 path, to free with free (); NULL with errno on failure. */
static wchar_t *
wide_path (const char *path)
{
    int length = MultiByteToWideChar (CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, NULL, 0);
    wchar_t *wide = length > 0 ? malloc ((size_t) length * sizeof *wide) : NULL;

    if (length <= 0) {
        errno = EINVAL;
        return NULL;
    }

    if (wide == NULL) {
        errno = ENOMEM;
        return NULL;
    }

    MultiByteToWideChar (CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, wide, length);
    return wide;
}

/* ---- Files ------------------------------------------------------------------------------ */

/* Shared as a POSIX file is: others may read, write, rename or remove it meanwhile. A link at
 * `path` is opened itself, never followed. */
static HANDLE
open_shared (const wchar_t *path, DWORD access, DWORD disposition)
{
    return CreateFileW (path, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL, disposition,
                        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
}

/* The UTF-8 `path` opened for reading and writing; INVALID_HANDLE_VALUE with errno on failure.
 * `wide`, unless NULL, then receives the path in UTF-16, to free with free (). */
static HANDLE
open_for_writing (const char *path, DWORD disposition, wchar_t **wide)
{
    wchar_t *name = wide_path (path);
    HANDLE handle = name != NULL ? open_shared (name, GENERIC_READ | GENERIC_WRITE, disposition) : INVALID_HANDLE_VALUE;

    if (name != NULL && handle == INVALID_HANDLE_VALUE)
        fail_with_last_error ();

    if (wide != NULL && handle != INVALID_HANDLE_VALUE)
        *wide = name;
    else
        free (name);

    return handle;
}

/* CREATE_NEW fails on any existing name, a link included. The permissions are the folder's. */
int
record_file_create_new (const char *path)
{
    wchar_t *wide = NULL;
    HANDLE handle = open_for_writing (path, CREATE_NEW, &wide);
    int fd;

    if (handle == INVALID_HANDLE_VALUE)
        return -1;

    fd = _open_osfhandle ((intptr_t) handle, _O_BINARY);

    if (fd < 0) {
        /* The CRT has no descriptor left: the new file goes again, so nothing is left behind. */
        CloseHandle (handle);
        DeleteFileW (wide);
        errno = EMFILE;
    }

    free (wide);
    return fd;
}

int
record_file_close (int fd)
{
    return _close (fd);
}

FILE *
record_file_stream (int fd)
{
    return _fdopen (fd, "wb");
}

/* The CRT counts in unsigned int: larger requests are partial, as read and write may be. */
static unsigned int
crt_count (size_t size)
{
    return size > INT_MAX ? INT_MAX : (unsigned int) size;
}

int64_t
record_file_read (int fd, void *buffer, size_t size)
{
    return _read (fd, buffer, crt_count (size));
}

int64_t
record_file_write (int fd, const void *buffer, size_t size)
{
    return _write (fd, buffer, crt_count (size));
}

int64_t
record_file_seek (int fd, int64_t offset, int whence)
{
    return _lseeki64 (fd, offset, whence);
}

int64_t
record_file_size (int fd)
{
    return _filelengthi64 (fd);
}

static OVERLAPPED
overlapped_at (uint64_t offset)
{
    OVERLAPPED place = { 0 };

    place.Offset = (DWORD) offset;
    place.OffsetHigh = (DWORD) (offset >> 32);
    return place;
}

int
record_file_read_at (int fd, void *buffer, size_t size, uint64_t offset)
{
    HANDLE handle = (HANDLE) _get_osfhandle (fd);
    OVERLAPPED place = overlapped_at (offset);
    DWORD done = 0;

    if (size > MAXDWORD) {
        errno = EINVAL;
        return -1;
    }

    if (!ReadFile (handle, buffer, (DWORD) size, &done, &place))
        return fail_with_last_error ();

    errno = 0;
    return done == size ? 0 : -1;
}

int
record_file_write_at (int fd, const void *buffer, size_t size, uint64_t offset)
{
    HANDLE handle = (HANDLE) _get_osfhandle (fd);
    OVERLAPPED place = overlapped_at (offset);
    DWORD done = 0;

    if (size > MAXDWORD) {
        errno = EINVAL;
        return -1;
    }

    if (!WriteFile (handle, buffer, (DWORD) size, &done, &place))
        return fail_with_last_error ();

    errno = 0;
    return done == size ? 0 : -1;
}

int
record_file_truncate (int fd, uint64_t length)
{
    errno_t error_number = length > INT64_MAX ? EINVAL : _chsize_s (fd, (__int64) length);

    errno = error_number;
    return error_number == 0 ? 0 : -1;
}

/* _chsize_s writes the zeros, so the clusters are the file's, as after posix_fallocate. */
int
record_file_reserve (int fd, uint64_t length)
{
    return record_file_truncate (fd, length);
}

int
record_file_rename_new (const char *from, const char *to)
{
    wchar_t *wide_from = wide_path (from), *wide_to = wide_from != NULL ? wide_path (to) : NULL;
    int renamed;

    if (wide_to == NULL) {
        free (wide_from);
        return -1;
    }

    /* Without MOVEFILE_REPLACE_EXISTING, an existing `to` makes the move fail. */
    renamed = MoveFileExW (wide_from, wide_to, 0) ? 0 : fail_with_last_error ();
    free (wide_to);
    free (wide_from);
    return renamed;
}

int
record_file_flush_to_disk (const char *path)
{
    /* FlushFileBuffers needs a handle that may write. */
    HANDLE handle = open_for_writing (path, OPEN_EXISTING, NULL);
    int flushed;

    if (handle == INVALID_HANDLE_VALUE)
        return -1;

    /* errno is set before closing, which may change the last error. */
    flushed = FlushFileBuffers (handle) ? 0 : fail_with_last_error ();
    CloseHandle (handle);
    return flushed;
}

int
record_disk_free_bytes (const char *dir, uint64_t *bytes)
{
    wchar_t *wide = wide_path (dir);
    ULARGE_INTEGER available;
    BOOL success;

    if (wide == NULL)
        return -1;

    success = GetDiskFreeSpaceExW (wide, &available, NULL, NULL);
    free (wide);

    if (!success)
        return fail_with_last_error ();

    *bytes = available.QuadPart;
    return 0;
}

/* ---- Folder lock ------------------------------------------------------------------------ */

/* Windows locks are mandatory: the lock covers one byte far beyond the owner's line, so that
 * others can still read the line. Locks may lie beyond the end of a file. */
enum {
    LOCK_ATTEMPTS = 100,
    LOCK_OFFSET_HIGH = 0x40000000
};

static void
read_line (HANDLE handle, char *line, size_t size)
{
    OVERLAPPED place = overlapped_at (0);
    DWORD length = 0;

    if (!ReadFile (handle, line, (DWORD) (size - 1), &length, &place))
        length = 0;

    while (length > 0 && (line[length - 1] == '\n' || line[length - 1] == '\r' || line[length - 1] == '\0'))
        length--;

    line[length] = '\0';
}

/* Whether `path` still names the file of `handle`: a holder that released the lock removed it. */
static int
same_file (HANDLE handle, const wchar_t *path)
{
    HANDLE named = open_shared (path, FILE_READ_ATTRIBUTES, OPEN_EXISTING);
    BY_HANDLE_FILE_INFORMATION held, found;
    int same;

    if (named == INVALID_HANDLE_VALUE)
        return 0;

    same = GetFileInformationByHandle (handle, &held) && GetFileInformationByHandle (named, &found) &&
           held.dwVolumeSerialNumber == found.dwVolumeSerialNumber && held.nFileIndexHigh == found.nFileIndexHigh &&
           held.nFileIndexLow == found.nFileIndexLow;
    CloseHandle (named);
    return same;
}

static int
write_line (HANDLE handle, const char *owner)
{
    OVERLAPPED place = overlapped_at (0);
    DWORD written = 0;
    FILE_END_OF_FILE_INFO end = { 0 };

    if (!SetFileInformationByHandle (handle, FileEndOfFileInfo, &end, sizeof end) ||
        !WriteFile (handle, owner, (DWORD) strlen (owner), &written, &place))
        return fail_with_last_error ();

    return 0;
}

/* The lock on an open handle, or -1 with errno. */
static int
lock_handle (HANDLE handle, const char *owner, char *found, size_t found_size)
{
    OVERLAPPED place = { 0 };
    int fd;

    place.OffsetHigh = LOCK_OFFSET_HIGH;

    if (!LockFileEx (handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &place)) {
        const DWORD error = GetLastError ();

        read_line (handle, found, found_size);
        errno = error == ERROR_LOCK_VIOLATION ? EWOULDBLOCK : errno_from (error);
        return -1;
    }

    read_line (handle, found, found_size);

    if (write_line (handle, owner) != 0)
        return -1;

    fd = _open_osfhandle ((intptr_t) handle, _O_BINARY);

    if (fd < 0)
        errno = EMFILE;

    return fd;
}

int
record_lock_take (const char *path, const char *owner, char *found, size_t found_size)
{
    wchar_t *wide = wide_path (path);
    int fd = -1;

    found[0] = '\0';

    for (int attempt = 0; wide != NULL && attempt < LOCK_ATTEMPTS; attempt++) {
        HANDLE handle = open_shared (wide, GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS);

        /* A file being removed refuses to open until its last holder closes it. */
        if (handle == INVALID_HANDLE_VALUE && GetLastError () == ERROR_ACCESS_DENIED) {
            errno = EACCES; /* unless it opens before the attempts run out */
            Sleep (1);
            continue;
        }

        if (handle == INVALID_HANDLE_VALUE) {
            fail_with_last_error ();
            break;
        }

        /* The holder before may have removed the file between the open and the lock. */
        fd = lock_handle (handle, owner, found, found_size);

        if (fd >= 0 && same_file (handle, wide))
            break;

        if (fd < 0) {
            CloseHandle (handle);
            break;
        }

        _close (fd); /* and with it the handle */
        fd = -1;
        errno = EWOULDBLOCK; /* unless a later attempt finds the file in place */
    }

    free (wide);
    return fd;
}

void
record_lock_release (int lock, const char *path)
{
    wchar_t *wide = wide_path (path);

    /* Removed while still held, so that whoever opens it meanwhile finds it gone; the name goes
     * once the last holder closes it. Closing lets go of the lock. */
    if (wide != NULL)
        DeleteFileW (wide);

    free (wide);
    _close (lock);
}

/* ---- Memory ----------------------------------------------------------------------------- */

size_t
record_memory_granule (void)
{
    SYSTEM_INFO info;

    GetSystemInfo (&info);
    return info.dwPageSize;
}

void *
record_memory_reserve (size_t size)
{
    void *reservation = VirtualAlloc (NULL, size, MEM_RESERVE, PAGE_NOACCESS);

    if (reservation == NULL)
        fail_with_last_error ();

    return reservation;
}

/* Committing charges the memory to the process; touching each page makes it resident. */
int
record_memory_prepare (void *reservation, size_t offset, size_t length)
{
    char *start = (char *) reservation + offset;

    if (VirtualAlloc (start, length, MEM_COMMIT, PAGE_READWRITE) == NULL)
        return fail_with_last_error ();

    for (size_t at = 0; at < length; at += record_memory_granule ())
        ((volatile char *) start)[at] = 0;

    return 0;
}

void
record_memory_release (void *reservation, size_t size)
{
    (void) size; /* a release frees the whole reservation */
    VirtualFree (reservation, 0, MEM_RELEASE);
}

/* ---- Sockets ---------------------------------------------------------------------------- */

#ifndef IO_REPARSE_TAG_AF_UNIX
#define IO_REPARSE_TAG_AF_UNIX 0x80000023
#endif

/* Whether a socket is listened on is not checked: ZeroMQ's ipc transport on Windows exists only
 * in builds with AF_UNIX support. */
int
record_local_socket_path (const char *path)
{
    wchar_t *wide = wide_path (path);
    WIN32_FIND_DATAW found;
    HANDLE search;
    int kind;

    if (wide == NULL)
        return -1;

    search = FindFirstFileW (wide, &found);
    free (wide);

    if (search == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError ();

        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            return RECORD_SOCKET_PATH_FREE;

        errno = errno_from (error);
        return -1;
    }

    kind = (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && found.dwReserved0 == IO_REPARSE_TAG_AF_UNIX
               ? RECORD_SOCKET_PATH_STALE
               : RECORD_SOCKET_PATH_OTHER;
    FindClose (search);
    return kind;
}

/* Links are not followed: the path is made absolute only. */
char *
record_real_path (const char *path)
{
    return _fullpath (NULL, path, 0);
}

/* ---- Console and process ---------------------------------------------------------------- */

int
record_process_id (void)
{
    return (int) GetCurrentProcessId ();
}

int
record_stderr_is_terminal (void)
{
    DWORD mode;

    /* Not _isatty, which also holds for the NUL device. */
    return GetConsoleMode (GetStdHandle (STD_ERROR_HANDLE), &mode) != 0;
}

void
record_write_stderr (const char *text, size_t length)
{
    DWORD written;

    WriteFile (GetStdHandle (STD_ERROR_HANDLE), text, (DWORD) crt_count (length), &written, NULL);
}

/* The CRT's descriptor 1 and the system's standard output handle are two things: a logger that
 * asks GetStdHandle must see the diversion too. */
static void
sync_stdout_handle (void)
{
    SetStdHandle (STD_OUTPUT_HANDLE, (HANDLE) _get_osfhandle (1));
}

FILE *
record_divert_stdout (void)
{
    int copy;
    FILE *report;

    fflush (stdout);
    copy = _dup (1);

    if (copy < 0)
        return NULL;

    report = _fdopen (copy, "w");

    if (report == NULL) {
        _close (copy);
        return NULL;
    }

    _dup2 (2, 1);
    sync_stdout_handle ();
    return report;
}

void
record_restore_stdout (FILE *report)
{
    fflush (stdout);
    fflush (report);
    _dup2 (_fileno (report), 1);
    sync_stdout_handle ();
    fclose (report);
}

static void (*stop_callback) (int signal_number) = NULL;
static void (*quit_callback) (int signal_number) = NULL;
static DWORD quit_bound_ms = 0;

static BOOL WINAPI
on_console_event (DWORD event)
{
    static volatile LONG requests = 0;
    static volatile LONG first_signal = 0;
    const int closing = event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT;
    const int signal_number = closing ? SIGTERM : SIGINT;
    const LONG request = InterlockedIncrement (&requests);

    /* FALSE passes a third request on to the default handler, which ends the process. */
    if (request > 2)
        return FALSE;

    if (request == 1) {
        InterlockedExchange (&first_signal, signal_number);
        stop_callback (signal_number);

        /* The system ends the process as soon as this returns after a close: wait here, and the
         * recording finishes unless the system's timeout comes first. Leaving main ends this
         * thread. */
        if (closing)
            Sleep (INFINITE);

        return TRUE;
    }

    /* Each event has a thread of its own: this one is the quit's bound. */
    quit_callback (signal_number);
    Sleep (quit_bound_ms);
    ExitProcess (128 + (UINT) first_signal);
    return TRUE;
}

void
record_catch_stop (void (*on_stop) (int signal_number), void (*on_quit) (int signal_number), unsigned quit_seconds)
{
    stop_callback = on_stop;
    quit_callback = on_quit;
    quit_bound_ms = quit_seconds * 1000;
    SetConsoleCtrlHandler (on_console_event, TRUE);
}
