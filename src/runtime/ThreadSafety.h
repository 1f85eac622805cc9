// Clang thread-safety annotations for QrMutex, AutoMutexLock and the fields they guard.
// Under clang with -Wthread-safety they let the compiler check lock discipline; under
// every other compiler they expand to nothing. Header only; no state.
#ifndef RUNTIME_THREADSAFETY_H
#define RUNTIME_THREADSAFETY_H

#if defined(__clang__)
#define QR_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define QR_THREAD_ANNOTATION(x)
#endif

#define QR_CAPABILITY(x) QR_THREAD_ANNOTATION(capability(x))
#define QR_SCOPED_CAPABILITY QR_THREAD_ANNOTATION(scoped_lockable)
#define QR_GUARDED_BY(x) QR_THREAD_ANNOTATION(guarded_by(x))
#define QR_PT_GUARDED_BY(x) QR_THREAD_ANNOTATION(pt_guarded_by(x))
#define QR_ACQUIRE(...) QR_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define QR_RELEASE(...) QR_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define QR_TRY_ACQUIRE(...) QR_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define QR_REQUIRES(...) QR_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define QR_EXCLUDES(...) QR_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define QR_NO_THREAD_SAFETY_ANALYSIS QR_THREAD_ANNOTATION(no_thread_safety_analysis)

#endif  // RUNTIME_THREADSAFETY_H
