/* A thin loader for host programs: the library's functions through one table, filled either by the
 * linker (the library linked at load time) or at run time (TARVIX_HOST_LOAD_AT_RUN_TIME: dlopen here,
 * LoadLibrary on Windows), plus the few OS services a host needs (threads, sleep, a clock).  Plain C,
 * header only, so that every host is one source built once per way of loading. */
#ifndef TARVIX_LOADER_H
#define TARVIX_LOADER_H

#include <stdio.h>
#include <stdlib.h>

#include "tarvix.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <pthread.h>
#include <time.h>
#include <unistd.h>
#endif

/* Every library function a host calls; a new one is one more line. */
#define TARVIX_LOADER_FUNCTIONS(X) \
    X(AdPortAndRateAndMode)        \
    X(ComRelease)                  \
    X(GetHcFileInfo)               \
    X(SendFileToHc)                \
    X(GetHcFile)                   \
    X(thrdGetHcNum)                \
    X(thrdSendFileToHc)            \
    X(thrdGetHcFile)               \
    X(thrdQueryStatus)             \
    X(thrdQueryStatusEx)           \
    X(thrdQueryPercent)            \
    X(thrdStop)                    \
    X(GetLastErrCode)

typedef struct tarvix_api {
#define TARVIX_LOADER_MEMBER(name) __typeof__(&name) name;
    TARVIX_LOADER_FUNCTIONS(TARVIX_LOADER_MEMBER)
#undef TARVIX_LOADER_MEMBER
} tarvix_api;

static tarvix_api tv;

#ifdef TARVIX_HOST_LOAD_AT_RUN_TIME
#ifdef _WIN32
static HMODULE tarvix_loader_module;
#define TARVIX_LOADER_DEFAULT_NAME "tarvix.dll"
#else
static void* tarvix_loader_module;
#define TARVIX_LOADER_DEFAULT_NAME "libtarvix.so"
#endif
#endif

/* 1 when the functions were run-time loaded (so tarvix_unload really unloads). */
static inline int tarvix_loaded_at_run_time(void) {
#ifdef TARVIX_HOST_LOAD_AT_RUN_TIME
    return 1;
#else
    return 0;
#endif
}

/* Fills the table.  path: the library file (NULL: TARVIX_LIBRARY, else the platform's usual name).
 * 0 on success; a failure is printed. */
static inline int tarvix_load(const char* path) {
#ifdef TARVIX_HOST_LOAD_AT_RUN_TIME
    if (path == NULL) path = getenv("TARVIX_LIBRARY");
    if (path == NULL) path = TARVIX_LOADER_DEFAULT_NAME;
#ifdef _WIN32
    tarvix_loader_module = LoadLibraryA(path);
    if (tarvix_loader_module == NULL) {
        fprintf(stderr, "LoadLibrary %s failed: %lu\n", path, (unsigned long)GetLastError());
        return 1;
    }
#define TARVIX_LOADER_RESOLVE(name) \
    tv.name = (__typeof__(&name))(void (*)(void))GetProcAddress(tarvix_loader_module, #name);
#else
    tarvix_loader_module = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (tarvix_loader_module == NULL) {
        fprintf(stderr, "dlopen %s failed: %s\n", path, dlerror());
        return 1;
    }
#define TARVIX_LOADER_RESOLVE(name) *(void**)(&tv.name) = dlsym(tarvix_loader_module, #name);
#endif
    TARVIX_LOADER_FUNCTIONS(TARVIX_LOADER_RESOLVE)
#undef TARVIX_LOADER_RESOLVE
#define TARVIX_LOADER_CHECK(name)                             \
    if (tv.name == NULL) {                                    \
        fprintf(stderr, "%s: no function %s\n", path, #name); \
        return 1;                                             \
    }
    TARVIX_LOADER_FUNCTIONS(TARVIX_LOADER_CHECK)
#undef TARVIX_LOADER_CHECK
#else
    (void)path;
#define TARVIX_LOADER_BIND(name) tv.name = &name;
    TARVIX_LOADER_FUNCTIONS(TARVIX_LOADER_BIND)
#undef TARVIX_LOADER_BIND
#endif
    return 0;
}

/* Unloads a run-time loaded library (dlclose / FreeLibrary); 0 on success.  Linked at load time: 0,
 * nothing done. */
static inline int tarvix_unload(void) {
#ifdef TARVIX_HOST_LOAD_AT_RUN_TIME
#ifdef _WIN32
    int failed = FreeLibrary(tarvix_loader_module) ? 0 : 1;
#else
    int failed = dlclose(tarvix_loader_module) == 0 ? 0 : 1;
#endif
    tarvix_loader_module = NULL;
    return failed;
#else
    return 0;
#endif
}

/* ---- OS services of the hosts */

static inline void host_sleep_ms(unsigned ms) {
#ifdef _WIN32
    Sleep(ms);
#else
    usleep(ms * 1000u);
#endif
}

/* Milliseconds of a monotonic clock. */
static inline double host_now_ms(void) {
#ifdef _WIN32
    return (double)GetTickCount64();
#else
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000.0 + ts.tv_nsec / 1e6;
#endif
}

typedef void (*host_thread_fn)(void* arg);

typedef struct host_thread_start {
    host_thread_fn fn;
    void* arg;
} host_thread_start;

#ifdef _WIN32
static inline DWORD WINAPI host_thread_entry(LPVOID p) {
    host_thread_start start = *(host_thread_start*)p;
    free(p);
    start.fn(start.arg);
    return 0;
}
#else
static inline void* host_thread_entry(void* p) {
    host_thread_start start = *(host_thread_start*)p;
    free(p);
    start.fn(start.arg);
    return NULL;
}
#endif

typedef struct host_thread {
#ifdef _WIN32
    HANDLE handle;
#else
    pthread_t id;
#endif
} host_thread;

/* Starts fn(arg) on a new thread; 0 on success. */
static inline int host_thread_create(host_thread* thread, host_thread_fn fn, void* arg) {
    host_thread_start* start = (host_thread_start*)malloc(sizeof *start);
    if (start == NULL) return 1;
    start->fn = fn;
    start->arg = arg;
#ifdef _WIN32
    thread->handle = CreateThread(NULL, 0, host_thread_entry, start, 0, NULL);
    if (thread->handle == NULL) {
        free(start);
        return 1;
    }
#else
    if (pthread_create(&thread->id, NULL, host_thread_entry, start) != 0) {
        free(start);
        return 1;
    }
#endif
    return 0;
}

static inline void host_thread_join(host_thread* thread) {
#ifdef _WIN32
    WaitForSingleObject(thread->handle, INFINITE);
    CloseHandle(thread->handle);
#else
    pthread_join(thread->id, NULL);
#endif
}

#endif /* TARVIX_LOADER_H */
