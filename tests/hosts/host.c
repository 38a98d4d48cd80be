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
 *   stop-early     a background upload stopped right after its start: it fails and stores nothing
 *   stop-data      a background upload stopped in its data: it ends at once, fails, stores nothing
 *   busy           while a background upload runs, a detecting export, a transfer and a second
 *                  start are refused (mode 3: 3; modes 1 and 2: 1 with error 512); the upload ends whole
 *   race           two host threads download at the same time, each a few times: every call either
 *                  brings the whole file or is refused as busy, never a broken transfer
 *   bad-table      GetHcFile of the handheld's malformed table \BAD.DBF to .\downa.dbf: the host
 *                  leaves while the library's ".DBF file format error" box is up (WAY box-*)
 *   bad-table-side the same through thrdGetHcFile, which fetches the handheld's \BAD.DBI with it
 *   replug         the link of a file query left open, then the handheld restarted on its port (the
 *                  host prints "replug" and waits for a line on its input): the first number query,
 *                  download and upload after it succeed
 * WAY (how the host leaves):
 *   return         return from main
 *   exit           exit() from the main thread
 *   thread         exit() from another host thread while the main thread keeps polling the library
 *   prompt         exit() from the prompt function, on the worker's thread (STATE asking)
 *   unload         unload the library (dlclose), then return from main
 *   box-exit       exit() from the prompt function while it shows a notice (STATE bad-table*)
 *   box-kill       the process killed (SIGKILL) from there, as a shutdown that runs nothing more
 *
 * Files (environment): TARVIX_HOST_UPLOAD the PC file to upload, TARVIX_HOST_DOWNLOAD the PC file a
 * download writes; the handheld holds \DOWN.BIN.  The host prints "leaving" when it starts to leave
 * and exits 0 when every step went as expected, 3 when a step did not. */
#include <signal.h>
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
static int byte_frame; /* the detection found a handheld of mode 1 or 2 */

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
        if (strncmp(way, "box-", 4) == 0) {
            if (strstr(text, ".DBF file format error") == NULL) fail("an unexpected notice", 0);
            leaving();
            if (strcmp(way, "box-exit") == 0) exit(0);
#ifdef _WIN32
            TerminateProcess(GetCurrentProcess(), 9);
#else
            raise(SIGKILL);
#endif
        }
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
    byte_frame = mode < 3;
}

/* The answer of a call refused because another operation holds the link. */
static int refused(int32_t result) {
    if (!byte_frame) return result == 3;
    return result == 1 && tv.GetLastErrCode() == 512;
}

/* Size of a handheld file: -1 when it does not exist.  A handheld still sending the answer that a
 * stop cut short keeps the link a moment: a failed query is tried again, bounded. */
static int32_t handheld_size(const char* name) {
    const double end = host_now_ms() + 10000;
    for (;;) {
        HcFileEntry entry;
        const int32_t result = tv.GetHcFileInfo(0, 0, name, &entry);
        if (result == 0) return entry.size;
        if (result == 2) return -1;
        if (host_now_ms() > end) fail("file query", result);
        host_sleep_ms(100);
    }
}

static long file_size(const char* path) {
    FILE* f = fopen(path, "rb");
    if (f == NULL) return -1;
    fseek(f, 0, SEEK_END);
    const long size = ftell(f);
    fclose(f);
    return size;
}

/* Starts the background upload and waits until its data flows. */
static void start_upload_into_data(void) {
    const int32_t started = tv.thrdSendFileToHc(0, 0, UPLOAD_NAME, env_path("TARVIX_HOST_UPLOAD"), 0, 1);
    if (started != 0) fail("upload start", started);
    const double end = host_now_ms() + 15000;
    while (tv.thrdQueryPercent() < 1) {
        if (tv.thrdQueryStatus() != TARVIX_STATUS_BUSY) fail("upload ended early", tv.thrdQueryStatus());
        if (host_now_ms() > end) fail("upload made no progress", 0);
        host_sleep_ms(10);
    }
}

/* A stopped upload: failed with the family's code for a stopped upload, nothing stored. */
static void expect_stopped_upload(int32_t code) {
    const int32_t status = wait_background(2000);
    if (status != TARVIX_STATUS_FAILED) fail("stopped upload status", status);
    const int32_t error = tv.GetLastErrCode();
    if (code != 0 ? error != code : error == 0) fail("stopped upload error code", error);
    if (handheld_size(UPLOAD_NAME) != -1) fail("the stopped upload was stored", 0);
}

/* The DOWN.BIN the handheld holds (run_host.py): 4096 bytes (i * 7) & 0xFF. */
static int holds_download(const char* path) {
    FILE* f = fopen(path, "rb");
    if (f == NULL) return 0;
    int good = 1;
    long i = 0;
    for (int c; (c = fgetc(f)) != EOF; ++i) good = good && c == (int)((i * 7) & 0xFF);
    fclose(f);
    return good && i == 4096;
}

typedef struct racer {
    char target[600];
    int32_t bad_result;
    int successes;
    int refusals;
} racer;

static void race(void* arg) {
    racer* r = (racer*)arg;
    const double end = host_now_ms() + 30000;
    while (r->successes < 3 && host_now_ms() < end) {
        remove(r->target);
        const int32_t result = tv.GetHcFile(0, 0, DOWNLOAD_NAME, r->target, 1);
        if (result == 0 && holds_download(r->target)) {
            ++r->successes;
        } else if (refused(result)) {
            ++r->refusals;
            host_sleep_ms(5);
        } else {
            r->bad_result = result == 0 ? -1 : result;
            break;
        }
    }
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
    } else if (strcmp(state, "stop-early") == 0) {
        detect();
        const int32_t started = tv.thrdSendFileToHc(0, 0, UPLOAD_NAME, env_path("TARVIX_HOST_UPLOAD"), 0, 1);
        if (started != 0) fail("upload start", started);
        /* Mode 3 keeps the stop for the whole operation; modes 1 and 2 keep it until the worker ends. */
        tv.thrdStop(2);
        /* Text-frame: its upload's code for a stop; byte-frame: the code of the step the stop met. */
        expect_stopped_upload(byte_frame ? 0 : 19);
    } else if (strcmp(state, "stop-data") == 0) {
        detect();
        start_upload_into_data();
        tv.thrdStop(2);
        /* The broken stream: text-frame "send failed" 19, byte-frame the lost link 10. */
        expect_stopped_upload(byte_frame ? 10 : 19);
    } else if (strcmp(state, "busy") == 0) {
        detect();
        start_upload_into_data();
        HcFileEntry entry;
        int32_t result = tv.GetHcFileInfo(0, 0, DOWNLOAD_NAME, &entry);
        if (!refused(result)) fail("file query during the upload", result);
        result = tv.GetHcFile(0, 0, DOWNLOAD_NAME, env_path("TARVIX_HOST_DOWNLOAD"), 1);
        if (!refused(result)) fail("download during the upload", result);
        result = tv.thrdGetHcFile(0, 0, DOWNLOAD_NAME, env_path("TARVIX_HOST_DOWNLOAD"), 1);
        if (!refused(result)) fail("second start during the upload", result);
        int32_t port = 1, rate = 115200;
        result = tv.AdPortAndRateAndMode(&port, &rate, NULL);
        if (result != 1) fail("detection during the upload", result);
        if (tv.thrdQueryStatus() != TARVIX_STATUS_BUSY)
            fail("the upload no longer runs", tv.thrdQueryStatus());
        const int32_t status = wait_background(60000);
        if (status != TARVIX_STATUS_IDLE) fail("upload status", status);
        if (file_size(env_path("TARVIX_HOST_DOWNLOAD")) != -1) fail("a refused download wrote its file", 0);
        if (handheld_size(UPLOAD_NAME) != file_size(env_path("TARVIX_HOST_UPLOAD")))
            fail("the upload did not arrive whole", handheld_size(UPLOAD_NAME));
    } else if (strcmp(state, "race") == 0) {
        detect();
        static racer racers[2];
        host_thread threads[2];
        for (int i = 0; i < 2; ++i) {
            snprintf(racers[i].target, sizeof racers[i].target, "%s.%d", env_path("TARVIX_HOST_DOWNLOAD"), i);
            if (host_thread_create(&threads[i], race, &racers[i]) != 0) fail("thread start", i);
        }
        for (int i = 0; i < 2; ++i) host_thread_join(&threads[i]);
        for (int i = 0; i < 2; ++i) {
            if (racers[i].bad_result != 0) fail("a racing download broke", racers[i].bad_result);
            if (racers[i].successes < 3) fail("a racing thread never got the link", racers[i].successes);
        }
        fprintf(stderr, "host: refusals %d and %d\n", racers[0].refusals, racers[1].refusals);
    } else if (strcmp(state, "bad-table") == 0) {
        detect();
        /* Returns only when no box came: the way out is taken in the box. */
        const int32_t result = tv.GetHcFile(0, 0, "\\BAD.DBF", ".\\downa.dbf", 1);
        fail("the malformed table's download ended without its box", result);
    } else if (strcmp(state, "bad-table-side") == 0) {
        detect();
        const int32_t started = tv.thrdGetHcFile(0, 0, "\\BAD.DBF", ".\\downa.dbf", 1);
        if (started != 0) fail("download start", started);
        wait_background(30000);
        fail("the malformed table's download ended without its box", tv.GetLastErrCode());
    } else if (strcmp(state, "replug") == 0) {
        reach_state("link");
        printf("replug\n");
        fflush(stdout);
        char line[16];
        if (fgets(line, sizeof line, stdin) == NULL) fail("no word that the handheld is back", 0);
        char number[16] = {0};
        int32_t result = tv.thrdGetHcNum(0, 0, number);
        if (result != 0 || number[0] == 0) fail("number query after the restart", result);
        result = tv.GetHcFile(0, 0, DOWNLOAD_NAME, env_path("TARVIX_HOST_DOWNLOAD"), 1);
        if (result != 0 || !holds_download(env_path("TARVIX_HOST_DOWNLOAD")))
            fail("download after the restart", result);
        result = tv.SendFileToHc(0, 0, UPLOAD_NAME, env_path("TARVIX_HOST_UPLOAD"), 0, 1);
        if (result != 0) fail("upload after the restart", result);
        if (handheld_size(UPLOAD_NAME) != file_size(env_path("TARVIX_HOST_UPLOAD")))
            fail("the upload did not arrive whole", handheld_size(UPLOAD_NAME));
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
    if (strcmp(way, "prompt") == 0 || strncmp(way, "box-", 4) == 0)
        fail("the prompt function was not called", 0);
    fail("unknown way", 0);
    return 3;
}
