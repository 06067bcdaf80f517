/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* uca-record's threads, locks and conditions: thin wrappers over the system's own, with no GLib.
 * One implementation per system: sync-posix.c (POSIX threads) and sync-win32.c (SRWLOCK,
 * CONDITION_VARIABLE, _beginthreadex).
 *
 * The system's rather than GLib's, because ThreadSanitizer sees pthread calls but not the futexes
 * behind GMutex. And not MinGW-w64's winpthreads on Windows: it refuses the monotonic clock for
 * conditions (EINVAL), and a timed wait on a monotonic deadline there ends at once. */
#ifndef UCA_RECORD_SYNC_H
#define UCA_RECORD_SYNC_H

#include <stdint.h>

#ifdef _WIN32
/* SRWLOCK and CONDITION_VARIABLE are one pointer each, and a lock needs no clearing: the
 * implementation checks the sizes, so that this header needs no <windows.h>. */
typedef struct {
    void *srw;
} RecordLock;

typedef struct {
    void *variable;
} RecordCondition;

typedef struct {
    void *handle;
    void *(*run) (void *);
    void *data;
} RecordThread;
#else
#include <pthread.h>

typedef struct {
    pthread_mutex_t mutex;
} RecordLock;

typedef struct {
    pthread_cond_t cond; /* times out on the monotonic clock */
} RecordCondition;

typedef struct {
    pthread_t thread;
} RecordThread;
#endif

void record_lock_init (RecordLock *lock);
void record_lock_clear (RecordLock *lock);
void record_lock (RecordLock *lock);
void record_unlock (RecordLock *lock);
/* Takes the lock only if it is free at once: non-zero when taken. */
int record_trylock (RecordLock *lock);

void record_condition_init (RecordCondition *condition);
void record_condition_clear (RecordCondition *condition);
void record_condition_wait (RecordCondition *condition, RecordLock *lock);
/* Waits at most until `deadline_ns` on record_monotonic_ns ()'s clock. */
void record_condition_wait_until (RecordCondition *condition, RecordLock *lock, int64_t deadline_ns);
void record_condition_broadcast (RecordCondition *condition);

/* Returns 0 on success, else an errno value. */
int record_thread_start (RecordThread *thread, void *(*run) (void *), void *data);
void record_thread_join (RecordThread *thread);

int64_t record_monotonic_ns (void);

#endif
