/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* See sync.h: POSIX threads. */

#define _POSIX_C_SOURCE 200809L

#include "sync.h"

#include <time.h>

void
record_lock_init (RecordLock *lock)
{
    pthread_mutex_init (&lock->mutex, NULL);
}

void
record_lock_clear (RecordLock *lock)
{
    pthread_mutex_destroy (&lock->mutex);
}

void
record_lock (RecordLock *lock)
{
    pthread_mutex_lock (&lock->mutex);
}

void
record_unlock (RecordLock *lock)
{
    pthread_mutex_unlock (&lock->mutex);
}

int
record_trylock (RecordLock *lock)
{
    return pthread_mutex_trylock (&lock->mutex) == 0;
}

void
record_condition_init (RecordCondition *condition)
{
    pthread_condattr_t attributes;

    pthread_condattr_init (&attributes);
    pthread_condattr_setclock (&attributes, CLOCK_MONOTONIC);
    pthread_cond_init (&condition->cond, &attributes);
    pthread_condattr_destroy (&attributes);
}

void
record_condition_clear (RecordCondition *condition)
{
    pthread_cond_destroy (&condition->cond);
}

void
record_condition_wait (RecordCondition *condition, RecordLock *lock)
{
    pthread_cond_wait (&condition->cond, &lock->mutex);
}

void
record_condition_wait_until (RecordCondition *condition, RecordLock *lock, int64_t deadline_ns)
{
    struct timespec until = {
        .tv_sec = (time_t) (deadline_ns / 1000000000),
        .tv_nsec = (long) (deadline_ns % 1000000000),
    };

    pthread_cond_timedwait (&condition->cond, &lock->mutex, &until);
}

void
record_condition_broadcast (RecordCondition *condition)
{
    pthread_cond_broadcast (&condition->cond);
}

int
record_thread_start (RecordThread *thread, void *(*run) (void *), void *data)
{
    return pthread_create (&thread->thread, NULL, run, data);
}

void
record_thread_join (RecordThread *thread)
{
    pthread_join (thread->thread, NULL);
}

int64_t
record_monotonic_ns (void)
{
    struct timespec now;

    clock_gettime (CLOCK_MONOTONIC, &now);
    return (int64_t) now.tv_sec * 1000000000 + now.tv_nsec;
}
