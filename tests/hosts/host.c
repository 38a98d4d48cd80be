/* A host program that brings the library into one state and then leaves in one way:
 *
 *     host STATE WAY
 *
 * STATE (what the library holds when the host leaves):
 *   none           a detection that found nothing (nothing open)
 *   link           a detection that found the handheld and a file query over the link it left open
 *   upload-done    a background upload that ran to its end
 *   download-done  a background download that ran to its end
 *   upload-running a background upload still running (a large file on a paced line)
 *   asking         a background download whose worker waits in the host's overwrite question
 * WAY (how the host leaves):
 *   return         return from main
 *   exit           exit() from the main thread
 *   thread         exit() from another host thread while the main thread keeps polling the library
 *   prompt         exit() from the prompt function, on the worker's thread (STATE asking)
 *   unload         unload the library (dlclose), then return from main
 *
 * Files (environment): TARVIX_HOST_UPLOAD the PC file to upload, TARVIX_HOST_DOWNLOAD the PC file a
 * download writes; the handheld holds \DOWN.BIN.  The host prints "leaving" when it starts to leave
 * and exits 0 when every step went as expected, 3 when a step did not. */
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "tarvix_loader.h"

#ifdef _WIN32
#define HOST_EXPORT __declspec(dllexport)
#else
#define HOST_EXPORT __attribute__((visibility("default")))
#endif

#define UPLOAD_NAME "\\UP.BIN"
#define DOWNLOAD_NAME "\\DOWN.BIN"

static const char* way = "";
static atomic_int asked;

static void fail(const char* what, long value) {
    fprintf(stderr, "host: %s (%ld, last error %ld)\n", what, value, (long)tv.GetLastErrCode());
    fflush(stderr);
    exit(3);
}

static void leaving(void) {
    printf("leaving\n");
    fflush(stdout);
}

/* The library's message boxes.  A notice is acknowledged; the overwrite question either ends the
 * process from the worker's thread (WAY prompt) or is never answered, as a host whose dialog stays
 * open while it shuts down. */
HOST_EXPORT int32_t tarvix_host_prompt(const char* text, const char* caption, uint32_t style) {
    if ((style & TARVIX_MB_YESNO) == 0) {
        fprintf(stderr, "host: notice \"%s\" (%s)\n", text, caption);
        return TARVIX_ID_OK;
    }
    if (strcmp(way, "prompt") == 0) {
        leaving();
        exit(0);
    }
    atomic_store(&asked, 1);
    for (;;) host_sleep_ms(1000);
}

static const char* env_path(const char* name) {
    const char* value = getenv(name);
    if (value == NULL || value[0] == 0) fail(name, 0);
    return value;
}

/* Polls the background status until it leaves busy; fails after limit_ms. */
static int32_t wait_background(unsigned limit_ms) {
    const double end = host_now_ms() + limit_ms;
    int32_t status;
    while ((status = tv.thrdQueryStatus()) == TARVIX_STATUS_BUSY) {
        if (host_now_ms() > end) fail("background operation still busy", status);
        host_sleep_ms(10);
    }
    return status;
}

static void detect(void) {
    int32_t port = 1, rate = 115200;
    uint8_t mode = 0;
    const int32_t found = tv.AdPortAndRateAndMode(&port, &rate, &mode);
    if (found != 0) fail("no handheld found", found);
}

static void reach_state(const char* state) {
    if (strcmp(state, "none") == 0) {
        int32_t port = 1, rate = 115200;
        uint8_t mode = 0;
        const int32_t found = tv.AdPortAndRateAndMode(&port, &rate, &mode);
        if (found != 1) fail("a detection with nothing attached", found);
    } else if (strcmp(state, "link") == 0) {
        detect();
        HcFileEntry entry;
        const int32_t result = tv.GetHcFileInfo(0, 0, DOWNLOAD_NAME, &entry);
        if (result != 0) fail("file query", result);
    } else if (strcmp(state, "upload-done") == 0) {
        detect();
        const int32_t started = tv.thrdSendFileToHc(0, 0, UPLOAD_NAME, env_path("TARVIX_HOST_UPLOAD"), 0, 1);
        if (started != 0) fail("upload start", started);
        const int32_t status = wait_background(30000);
        if (status != TARVIX_STATUS_IDLE) fail("upload status", status);
    } else if (strcmp(state, "download-done") == 0) {
        detect();
        const int32_t started = tv.thrdGetHcFile(0, 0, DOWNLOAD_NAME, env_path("TARVIX_HOST_DOWNLOAD"), 1);
        if (started != 0) fail("download start", started);
        const int32_t status = wait_background(30000);
        if (status != TARVIX_STATUS_IDLE) fail("download status", status);
    } else if (strcmp(state, "upload-running") == 0) {
        detect();
        const int32_t started = tv.thrdSendFileToHc(0, 0, UPLOAD_NAME, env_path("TARVIX_HOST_UPLOAD"), 0, 1);
        if (started != 0) fail("upload start", started);
        /* Into the data phase: some percent sent, the transfer still running. */
        const double end = host_now_ms() + 15000;
        while (tv.thrdQueryPercent() < 1) {
            if (tv.thrdQueryStatus() != TARVIX_STATUS_BUSY) fail("upload ended early", tv.thrdQueryStatus());
            if (host_now_ms() > end) fail("upload made no progress", 0);
            host_sleep_ms(10);
        }
        if (tv.thrdQueryStatus() != TARVIX_STATUS_BUSY)
            fail("upload no longer running", tv.thrdQueryStatus());
    } else if (strcmp(state, "asking") == 0) {
        const char* target = env_path("TARVIX_HOST_DOWNLOAD");
        FILE* existing = fopen(target, "wb");
        if (existing == NULL) fail("cannot create the download target", 0);
        fputs("kept", existing);
        fclose(existing);
        detect();
        const int32_t started = tv.thrdGetHcFile(0, 0, DOWNLOAD_NAME, target, 2);
        if (started != 0) fail("download start", started);
        const double end = host_now_ms() + 15000;
        while (!atomic_load(&asked)) {
            /* WAY prompt leaves from the prompt function: arriving here means it was never asked. */
            if (tv.thrdQueryStatus() != TARVIX_STATUS_BUSY) fail("download ended without a question", 0);
            if (host_now_ms() > end) fail("no overwrite question", 0);
            host_sleep_ms(10);
        }
    } else {
        fail("unknown state", 0);
    }
}

static void exit_from_thread(void* arg) {
    (void)arg;
    host_sleep_ms(50);
    leaving();
    exit(0);
}

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: host STATE WAY\n");
        return 2;
    }
    way = argv[2];
    if (tarvix_load(NULL) != 0) return 3;
    reach_state(argv[1]);

    if (strcmp(way, "return") == 0) {
        leaving();
        return 0;
    }
    if (strcmp(way, "exit") == 0) {
        leaving();
        exit(0);
    }
    if (strcmp(way, "thread") == 0) {
        host_thread thread;
        if (host_thread_create(&thread, exit_from_thread, NULL) != 0) fail("thread start", 0);
        /* The main thread goes on using the library while the other thread ends the process. */
        for (;;) {
            tv.thrdQueryStatus();
            host_sleep_ms(5);
        }
    }
    if (strcmp(way, "unload") == 0) {
        leaving();
        if (tarvix_unload() != 0) fail("unload", 0);
        return 0;
    }
    if (strcmp(way, "prompt") == 0) fail("the prompt function was not called", 0);
    fail("unknown way", 0);
    return 3;
}
