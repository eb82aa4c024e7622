// Built only into the ThreadSanitizer build (TOVAMIX_SANITIZE=thread), linked into every
// program: tells ThreadSanitizer about the GLib mutexes and conditions that GStreamer takes,
// and about the reference counts that decide which thread frees a GStreamer object.
//
// GLib 2.74 builds GMutex and GCond on futexes, not on pthreads, and the system GLib and
// GStreamer are not built with ThreadSanitizer, so it sees none of the locking that orders
// GStreamer's threads: GST_OBJECT_LOCK, a queue's hand-over of a buffer or event from one
// streaming thread to the next, a task started or stopped under the task's lock, appsink's
// sample queue. Without it every object handed from one thread to another looks raced.
//
// GStreamer calls these functions through its procedure linkage table, so a definition in
// the program comes first: each one calls GLib's own and marks the mutex as released before
// the unlock and acquired after the lock, which gives ThreadSanitizer the same happens-before
// edges a pthread mutex would. GLib's calls to its own functions (GAsyncQueue, GThreadPool)
// are bound inside GLib and stay unseen. Lock order is not tracked (the edges only).
#include <dlfcn.h>

#include <cstdint>
#include <cstdlib>

extern "C" {
void __tsan_acquire(void* addr);
void __tsan_release(void* addr);
}

namespace {

template <typename F> F glibFunction(const char* name) {
    void* f = dlsym(RTLD_NEXT, name);
    if (!f) std::abort(); // only GLib and GStreamer call these, so they are loaded
    return reinterpret_cast<F>(f);
}

using MutexFn = void (*)(void*);
using TryLockFn = int (*)(void*);
using WaitFn = void (*)(void*, void*);
using WaitUntilFn = int (*)(void*, void*, int64_t);

} // namespace

extern "C" {

void g_mutex_lock(void* mutex) {
    static const auto real = glibFunction<MutexFn>("g_mutex_lock");
    real(mutex);
    __tsan_acquire(mutex);
}

int g_mutex_trylock(void* mutex) {
    static const auto real = glibFunction<TryLockFn>("g_mutex_trylock");
    const int locked = real(mutex);
    if (locked) __tsan_acquire(mutex);
    return locked;
}

void g_mutex_unlock(void* mutex) {
    static const auto real = glibFunction<MutexFn>("g_mutex_unlock");
    __tsan_release(mutex);
    real(mutex);
}

void g_cond_wait(void* cond, void* mutex) {
    static const auto real = glibFunction<WaitFn>("g_cond_wait");
    __tsan_release(mutex);
    real(cond, mutex);
    __tsan_acquire(mutex);
}

int g_cond_wait_until(void* cond, void* mutex, int64_t endTime) {
    static const auto real = glibFunction<WaitUntilFn>("g_cond_wait_until");
    __tsan_release(mutex);
    const int signalled = real(cond, mutex, endTime);
    __tsan_acquire(mutex);
    return signalled;
}

// The last reference dropped frees the object on whichever thread drops it; GLib and GStreamer
// count references with atomics ThreadSanitizer does not see, so the free looks raced with the
// other threads' last uses before their own unrefs. Each unref is a release of what this thread
// did with the object and an acquire of what the others did before theirs, as the atomic
// decrement is (GStreamer's own unrefs inside libgstreamer are bound inside it and stay unseen).
void gst_mini_object_unref(void* object) {
    static const auto real = glibFunction<MutexFn>("gst_mini_object_unref");
    __tsan_acquire(object);
    __tsan_release(object);
    real(object);
}

void gst_object_unref(void* object) {
    static const auto real = glibFunction<MutexFn>("gst_object_unref");
    __tsan_acquire(object);
    __tsan_release(object);
    real(object);
}

void g_object_unref(void* object) {
    static const auto real = glibFunction<MutexFn>("g_object_unref");
    __tsan_acquire(object);
    __tsan_release(object);
    real(object);
}

} // extern "C"
