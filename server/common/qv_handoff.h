// Hand-offs through GLib thread pools and queues. GLib is not built with ThreadSanitizer, so the
// locks inside g_thread_pool_push and the pool's pop are invisible to it and every record passed
// that way looks raced. The producer announces the record before the push and the consumer takes
// it over first thing; in a build without the sanitizer both are nothing.
#pragma once

#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_acquire(void *pvAddr);
extern "C" void __tsan_release(void *pvAddr);

inline void QV_HandOff(void *pvRecord)
{
    __tsan_release(pvRecord);
}
inline void QV_TakeOver(void *pvRecord)
{
    __tsan_acquire(pvRecord);
}
#else
inline void QV_HandOff(void *) {}
inline void QV_TakeOver(void *) {}
#endif
