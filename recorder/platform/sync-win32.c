/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* See sync.h: Windows' slim reader/writer locks, condition variables and CRT threads,
 * on the performance counter's clock. */

#include "sync.h"

#include <errno.h>
#include <process.h>
#include <windows.h>

_Static_assert(sizeof (SRWLOCK) == sizeof (void *), "RecordLock holds an SRWLOCK");
_Static_assert(sizeof (CONDITION_VARIABLE) == sizeof (void *), "RecordCondition holds a CONDITION_VARIABLE");

static SRWLOCK *
srw_of (RecordLock *lock)
{
    return (SRWLOCK *) &lock->srw;
}

static CONDITION_VARIABLE *
variable_of (RecordCondition *condition)
{
    return (CONDITION_VARIABLE *) &condition->variable;
}

void
record_lock_init (RecordLock *lock)
{
    InitializeSRWLock (srw_of (lock));
}

void
record_lock_clear (RecordLock *lock)
{
    (void) lock; /* an SRWLOCK holds no resources */
}

void
record_lock (RecordLock *lock)
{
    AcquireSRWLockExclusive (srw_of (lock));
}

int
record_trylock (RecordLock *lock)
{
    return TryAcquireSRWLockExclusive (srw_of (lock)) != 0;
}

void
record_unlock (RecordLock *lock)
{
    ReleaseSRWLockExclusive (srw_of (lock));
}

void
record_condition_init (RecordCondition *condition)
{
    InitializeConditionVariable (variable_of (condition));
}

void
record_condition_clear (RecordCondition *condition)
{
    (void) condition; /* a CONDITION_VARIABLE holds no resources */
}

void
record_condition_wait (RecordCondition *condition, RecordLock *lock)
{
    SleepConditionVariableSRW (variable_of (condition), srw_of (lock), INFINITE, 0);
}

void
record_condition_wait_until (RecordCondition *condition, RecordLock *lock, int64_t deadline_ns)
{
    const int64_t left_ns = deadline_ns - record_monotonic_ns ();
    /* Rounded up, so that a wait never ends before its deadline; INFINITE is not a bound. */
    const int64_t left_ms = left_ns <= 0 ? 0 : (left_ns + 999999) / 1000000;
    const DWORD timeout_ms = left_ms >= INFINITE ? INFINITE - 1 : (DWORD) left_ms;

    SleepConditionVariableSRW (variable_of (condition), srw_of (lock), timeout_ms, 0);
}

void
record_condition_broadcast (RecordCondition *condition)
{
    WakeAllConditionVariable (variable_of (condition));
}

static unsigned __stdcall thread_main (void *data)
{
    RecordThread *thread = data;

    thread->run (thread->data);
    return 0;
}

int
record_thread_start (RecordThread *thread, void *(*run) (void *), void *data)
{
    uintptr_t handle;

    thread->run = run;
    thread->data = data;
    /* _beginthreadex rather than CreateThread: the thread uses the C runtime. */
    handle = _beginthreadex (NULL, 0, thread_main, thread, 0, NULL);

    if (handle == 0)
        return errno != 0 ? errno : EAGAIN;

    thread->handle = (void *) handle;
    return 0;
}

void
record_thread_join (RecordThread *thread)
{
    WaitForSingleObject (thread->handle, INFINITE);
    CloseHandle (thread->handle);
}

int64_t
record_monotonic_ns (void)
{
    LARGE_INTEGER frequency, now;

    QueryPerformanceFrequency (&frequency); /* fixed at boot, and cheap to ask */
    QueryPerformanceCounter (&now);
    /* In two parts, so that ticks * 1e9 cannot overflow on a long uptime. */
    return now.QuadPart / frequency.QuadPart * 1000000000 +
           now.QuadPart % frequency.QuadPart * 1000000000 / frequency.QuadPart;
}
