/* uca-record's threads, locks and conditions: thin wrappers over POSIX threads.
 *
 * POSIX rather than GLib, because ThreadSanitizer sees pthread calls but not the futexes behind
 * GMutex. Nothing here uses GLib, so the module has a direct Windows counterpart: MinGW-w64's
 * winpthreads as it stands, or SRWLOCK, CONDITION_VARIABLE (SleepConditionVariableSRW with a
 * millisecond timeout) and _beginthreadex for a native build. */
#ifndef UCA_RECORD_SYNC_H
#define UCA_RECORD_SYNC_H

#include <pthread.h>
#include <stdint.h>

typedef struct {
    pthread_mutex_t mutex;
} RecordLock;

typedef struct {
    pthread_cond_t cond; /* times out on the monotonic clock */
} RecordCondition;

typedef struct {
    pthread_t thread;
} RecordThread;

void record_lock_init (RecordLock *lock);
void record_lock_clear (RecordLock *lock);
void record_lock (RecordLock *lock);
void record_unlock (RecordLock *lock);

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
