/* A Windows host program of tarvix.dll, run under Wine against the simulated handheld on COM1.  It
 * loads the DLL from its own folder with LoadLibrary, takes every export through GetProcAddress
 * (by name, and by ordinal where the scenario says so) and answers the library's message boxes
 * through its exported tarvix_host_prompt.
 *
 *   win_host <scenario> [arguments]      exit code 0 when every check held
 *
 * Scenarios: see the table at the end. */
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "tarvix.h"

static int failures = 0;

#define CHECK(cond)                                                                  \
    do {                                                                             \
        if (!(cond)) {                                                               \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                                              \
        }                                                                            \
    } while (0)

static void Note(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vfprintf(stderr, format, args);
    va_end(args);
    fflush(stderr);
}

/* ---- the library, loaded at run time ---- */

static HMODULE library;

#define EXPORT_POINTER(name) static __typeof__(&name) p_##name
EXPORT_POINTER(AdPortAndRateAndMode);
EXPORT_POINTER(thrdGetHcNum);
EXPORT_POINTER(SendFileToHc);
EXPORT_POINTER(GetHcFile);
EXPORT_POINTER(GetHcDirInfo);
EXPORT_POINTER(GetHcFileInfo);
EXPORT_POINTER(DelHcFile);
EXPORT_POINTER(HcMakeDir);
EXPORT_POINTER(HcDelDir);
EXPORT_POINTER(HcSetDir);
EXPORT_POINTER(HcGetCurDir);
EXPORT_POINTER(SetHcDateTime);
EXPORT_POINTER(GetHcDateTime);
EXPORT_POINTER(thrdSendFileToHc);
EXPORT_POINTER(thrdGetHcFile);
EXPORT_POINTER(thrdQueryStatus);
EXPORT_POINTER(thrdQueryPercent);
EXPORT_POINTER(thrdQueryStatusEx);
EXPORT_POINTER(thrdStop);
EXPORT_POINTER(GetLastErrCode);
EXPORT_POINTER(GetErrorMsg);
EXPORT_POINTER(GetDllVer);
EXPORT_POINTER(GetDllVer_Ex);
EXPORT_POINTER(ComRelease);
EXPORT_POINTER(ComInit);
EXPORT_POINTER(TestHcLink);

#define BIND(name) (p_##name = (__typeof__(&name))(void*)GetProcAddress(library, #name), p_##name != NULL)

static int LoadTarvix(void) {
    library = LoadLibraryA("tarvix.dll");
    if (library == NULL) {
        Note("LoadLibrary(tarvix.dll) failed: %lu\n", GetLastError());
        return 0;
    }
    int ok = BIND(AdPortAndRateAndMode) && BIND(thrdGetHcNum) && BIND(SendFileToHc) && BIND(GetHcFile) &&
             BIND(GetHcDirInfo) && BIND(GetHcFileInfo) && BIND(DelHcFile) && BIND(HcMakeDir) &&
             BIND(HcDelDir) && BIND(HcSetDir) && BIND(HcGetCurDir) && BIND(SetHcDateTime) &&
             BIND(GetHcDateTime) && BIND(thrdSendFileToHc) && BIND(thrdGetHcFile) && BIND(thrdQueryStatus) &&
             BIND(thrdQueryPercent) && BIND(thrdQueryStatusEx) && BIND(thrdStop) && BIND(GetLastErrCode) &&
             BIND(GetErrorMsg) && BIND(GetDllVer) && BIND(GetDllVer_Ex) && BIND(ComRelease) && BIND(ComInit) && BIND(TestHcLink);
    if (!ok) Note("an export is missing\n");
    return ok;
}

/* ---- message boxes: answered here, and remembered ---- */

static CRITICAL_SECTION prompt_lock;
static int prompt_answer = TARVIX_ID_NO;
static int prompt_count = 0;
static char prompt_text[512], prompt_caption[128];
static uint32_t prompt_style = 0;

__declspec(dllexport) int32_t tarvix_host_prompt(const char* text, const char* caption, uint32_t style) {
    EnterCriticalSection(&prompt_lock);
    ++prompt_count;
    snprintf(prompt_text, sizeof prompt_text, "%s", text);
    snprintf(prompt_caption, sizeof prompt_caption, "%s", caption);
    prompt_style = style;
    const int answer = (style & 0x0Fu) == TARVIX_MB_YESNO ? prompt_answer : TARVIX_ID_OK;
    LeaveCriticalSection(&prompt_lock);
    return answer;
}

static uint32_t restored_window = 0;
static int restore_count = 0;

__declspec(dllexport) void tarvix_host_restore_window(uint32_t window) {
    restored_window = window;
    ++restore_count;
}

/* ---- helpers ---- */

static char family[16] = "text"; /* "text" or "byte": the handheld the driver started */

static int TextFrame(void) {
    return strcmp(family, "text") == 0;
}

static void HostFolder(char* folder, size_t size) {
    GetModuleFileNameA(NULL, folder, (DWORD)size);
    char* slash = strrchr(folder, '\\');
    if (slash != NULL) *slash = '\0';
}

static void HostPath(char* path, size_t size, const char* name) {
    char folder[MAX_PATH];
    HostFolder(folder, sizeof folder);
    snprintf(path, size, "%s\\%s", folder, name);
}

/* A file of `size` bytes that are not a repeating pattern (so a lost or doubled block shows). */
static int WriteSample(const char* path, size_t size, unsigned seed) {
    FILE* f = fopen(path, "wb");
    if (f == NULL) return 0;
    unsigned x = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        fputc((int)(x >> 16) & 0xFF, f);
    }
    return fclose(f) == 0;
}

static int SameFiles(const char* a, const char* b) {
    FILE* fa = fopen(a, "rb");
    FILE* fb = fopen(b, "rb");
    int same = fa != NULL && fb != NULL;
    while (same) {
        int ca = fgetc(fa), cb = fgetc(fb);
        if (ca != cb) same = 0;
        if (ca == EOF || cb == EOF) break;
    }
    if (fa != NULL) fclose(fa);
    if (fb != NULL) fclose(fb);
    return same;
}

static int Detect(void) {
    int32_t port = -1, rate = -1;
    uint8_t mode = 0;
    int32_t r = p_AdPortAndRateAndMode(&port, &rate, &mode);
    CHECK(r == 0);
    CHECK(port == 1);
    if (TextFrame()) {
        CHECK(mode == 3);
    } else {
        CHECK(mode == 1 || mode == 2);
    }
    return r == 0;
}

/* Runs this program again as a child, its path in double quotes as a shell starts programs (quoted:
 * 1) or bare (0); returns the child's exit code. */
static DWORD RunChild(int quoted, const char* arguments) {
    char exe[MAX_PATH], line[1024];
    GetModuleFileNameA(NULL, exe, sizeof exe);
    snprintf(line, sizeof line, quoted ? "\"%s\" %s" : "%s %s", exe, arguments);
    STARTUPINFOA si;
    PROCESS_INFORMATION pi;
    memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    if (!CreateProcessA(NULL, line, NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi)) {
        Note("CreateProcess failed: %lu\n", GetLastError());
        return 99;
    }
    WaitForSingleObject(pi.hProcess, 120000);
    DWORD code = 99;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return code;
}

/* Waits for the running background transfer to end; the highest percent seen goes to *top. */
static int32_t AwaitTransfer(int32_t* top) {
    for (int i = 0; i < 6000; ++i) {
        int32_t percent = p_thrdQueryPercent();
        if (top != NULL && percent > *top) *top = percent;
        int32_t status = p_thrdQueryStatus() & 0xFFFF;
        if (status != TARVIX_STATUS_BUSY) return status;
        Sleep(10);
    }
    return -1;
}

/* ---- scenarios ---- */

/* detect: the handheld on COM1 is found; its number (argument) is read. */
static void ScenarioDetect(int argc, char** argv) {
    if (!Detect()) return;
    char number[16];
    memset(number, 0x55, sizeof number);
    CHECK(p_thrdGetHcNum(0, 0, number) == 0);
    const char* expected = argc > 0 ? argv[0] : "";
    /* A byte-frame handheld sends at most 9 characters of its number. */
    const size_t n = TextFrame() ? strlen(expected) : (strlen(expected) > 9 ? 9 : strlen(expected));
    CHECK(memchr(number, '\0', sizeof number) != NULL);
    CHECK(strlen(number) == n && strncmp(number, expected, n) == 0);
    if (failures) Note("number read: '%.16s', expected '%s'\n", number, expected);
}

/* files: upload, download byte-identical, file information, listing, delete. */
static void ScenarioFiles(void) {
    char up[MAX_PATH], down[MAX_PATH], list[MAX_PATH];
    HostPath(up, sizeof up, "sample.bin");
    HostPath(down, sizeof down, "fetched.bin");
    HostPath(list, sizeof list, "listing.txt");
    const size_t size = 20000;
    CHECK(WriteSample(up, size, 7));
    CHECK(p_SendFileToHc(0, 0, "WSAMPLE.DAT", up, 0, 1) == 0);
    CHECK(p_GetHcFile(0, 0, "WSAMPLE.DAT", down, 1) == 0);
    CHECK(SameFiles(up, down));
    /* Again over the file now there: the new content replaces it whole. */
    CHECK(WriteSample(down, 50, 8));
    CHECK(p_GetHcFile(0, 0, "WSAMPLE.DAT", down, 1) == 0);
    CHECK(SameFiles(up, down));

    HcFileEntry entry;
    memset(&entry, 0, sizeof entry);
    CHECK(p_GetHcFileInfo(0, 0, "WSAMPLE.DAT", &entry) == 0);
    CHECK(_stricmp(entry.name, "WSAMPLE.DAT") == 0);
    CHECK(entry.size == (int32_t)size);

    int32_t count = -1, total = -1;
    CHECK(p_GetHcDirInfo(0, 0, "*.*", list, &count, &total, 0) == 0);
    CHECK(count >= 1);
    CHECK(total >= (int32_t)size);
    FILE* f = fopen(list, "rb");
    CHECK(f != NULL);
    if (f != NULL) {
        char text[8192];
        size_t n = fread(text, 1, sizeof text - 1, f);
        text[n] = '\0';
        fclose(f);
        /* The listing holds fixed-width records: look through all of it, NULs included. */
        int listed = 0;
        for (size_t i = 0; i + 11 <= n && !listed; ++i) listed = memcmp(text + i, "WSAMPLE.DAT", 11) == 0;
        CHECK(listed);
    }
    CHECK(p_DelHcFile(0, 0, "WSAMPLE.DAT", 0) == 0);
    CHECK(p_GetHcFileInfo(0, 0, "WSAMPLE.DAT", &entry) != 0);
}

/* folders: make, enter, read back, leave, remove. */
static void ScenarioFolders(void) {
    CHECK(p_HcMakeDir(0, 0, "\\WDIR") == 0);
    CHECK(p_HcSetDir(0, 0, "\\WDIR") == 0);
    char folder[300];
    memset(folder, 0, sizeof folder);
    CHECK(p_HcGetCurDir(0, 0, folder) == 0);
    CHECK(strstr(folder, "WDIR") != NULL);
    CHECK(p_HcSetDir(0, 0, "\\") == 0);
    memset(folder, 0, sizeof folder);
    CHECK(p_HcGetCurDir(0, 0, folder) == 0);
    CHECK(strstr(folder, "WDIR") == NULL);
    CHECK(p_HcDelDir(0, 0, "\\WDIR") == 0);
    HcFileEntry entry;
    CHECK(p_GetHcFileInfo(0, 0, "\\WDIR", &entry) != 0);
    if (failures) Note("current folder: '%s'\n", folder);
}

/* clock: set a date and time, read the clock text back. */
static void ScenarioClock(void) {
    HcDate date = {2031, 4, 5};
    HcTime time = {6, 7, 8};
    CHECK(p_SetHcDateTime(0, 0, &date, &time) == 0);
    char text[64];
    memset(text, 0, sizeof text);
    CHECK(p_GetHcDateTime(0, 0, text) == 0);
    CHECK(strstr(text, "31") != NULL);
    if (failures) Note("clock text: '%s'\n", text);
}

/* background: a transfer to its end with progress, then one stopped half-way (the handheld is
 * paced at the line rate, so a transfer takes seconds). */
static void ScenarioBackground(void) {
    char path[MAX_PATH];
    HostPath(path, sizeof path, "big.bin");
    CHECK(WriteSample(path, 12000, 3));
    CHECK(p_thrdSendFileToHc(0, 0, "WBIG.DAT", path, 0, 1) == 0);
    int32_t top = 0;
    const int32_t ended = AwaitTransfer(&top);
    CHECK(ended == TARVIX_STATUS_IDLE);
    CHECK(top > 0);
    if (failures) Note("background: ended %d, top percent %d, error %d\n", ended, top, p_GetLastErrCode());
    if (!TextFrame()) {
        TransferStatus status;
        p_thrdQueryStatusEx(&status);
    }
    Note("background: completed, percent seen %d\n", top);

    /* Fetched back in the background over an existing PC file: byte-identical. */
    char back[MAX_PATH];
    HostPath(back, sizeof back, "big-back.bin");
    CHECK(WriteSample(back, 10, 1));
    CHECK(p_thrdGetHcFile(0, 0, "WBIG.DAT", back, 1) == 0);
    CHECK(AwaitTransfer(NULL) == TARVIX_STATUS_IDLE);
    CHECK(SameFiles(path, back));
    if (!TextFrame()) {
        TransferStatus status;
        p_thrdQueryStatusEx(&status);
    }

    CHECK(WriteSample(path, 120000, 4));
    CHECK(p_thrdSendFileToHc(0, 0, "WBIG2.DAT", path, 0, 1) == 0);
    int32_t percent = 0;
    for (int i = 0; i < 3000 && percent < 5 && (p_thrdQueryStatus() & 0xFFFF) == TARVIX_STATUS_BUSY; ++i) {
        percent = p_thrdQueryPercent();
        Sleep(10);
    }
    CHECK(percent >= 5 && percent < 100);
    p_thrdStop(2);
    int32_t after = AwaitTransfer(NULL);
    CHECK(after == TARVIX_STATUS_FAILED);
    const int32_t error = p_GetLastErrCode();
    /* A stopped upload ends as a failed send (text-frame) or a lost link (byte-frame). */
    CHECK(error == (TextFrame() ? 19 : 10));
    if (!TextFrame()) {
        TransferStatus status;
        p_thrdQueryStatusEx(&status);
        p_thrdStop(0);
    }
    Note("background: stopped at %d%%, status %d, error %d\n", percent, after, error);
}

/* messages <english|chinese> <expected text of code 10 in hex>: the text of error 10 and the
 * overwrite question, in the language the settings choose. */
static void ScenarioMessages(int argc, char** argv) {
    CHECK(argc >= 2);
    if (argc < 2) return;
    char text[64];
    memset(text, 0, sizeof text);
    CHECK(p_GetErrorMsg(10, text) == 0);
    char hex[129] = "";
    for (size_t i = 0; text[i] != '\0' && i < 64; ++i) sprintf(hex + 2 * i, "%02x", (unsigned char)text[i]);
    CHECK(strcmp(hex, argv[1]) == 0);
    if (failures) Note("error 10 text: %s (expected %s)\n", hex, argv[1]);

    /* The overwrite question of an upload onto an existing file, answered No. */
    char up[MAX_PATH];
    HostPath(up, sizeof up, "ask.bin");
    CHECK(WriteSample(up, 300, 9));
    CHECK(p_SendFileToHc(0, 0, "WASK.DAT", up, 0, 1) == 0);
    prompt_count = 0;
    prompt_answer = TARVIX_ID_NO;
    CHECK(p_SendFileToHc(0, 0, "WASK.DAT", up, 0, 2) == 0);
    CHECK(prompt_count == 1);
    const uint32_t expected_style =
        TARVIX_MB_YESNO | TARVIX_MB_ICONQUESTION | (TextFrame() ? TARVIX_MB_SYSTEMMODAL : 0);
    CHECK(prompt_style == expected_style);
    CHECK(strstr(prompt_text, "WASK.DAT") != NULL);
    if (strcmp(argv[0], "english") == 0) {
        CHECK(strstr(prompt_text, " existed,overwrite??") != NULL);
        CHECK(strcmp(prompt_caption, "Attention") == 0);
    } else {
        CHECK(strstr(prompt_text, "existed") == NULL);
        CHECK(strcmp(prompt_caption, "Attention") != 0);
    }
    Note("question: '%s' / '%s' / style 0x%x\n", prompt_text, prompt_caption, prompt_style);
}

/* ini-beside <quoted|bare> <english|chinese> <hex>: runs the messages check in a child started with
 * or without its path in double quotes; the driver put the settings where the rule looks. */
static void ScenarioIniBeside(int argc, char** argv) {
    CHECK(argc >= 3);
    if (argc < 3) return;
    char arguments[512];
    snprintf(arguments, sizeof arguments, "%s messages %s %s", family, argv[1], argv[2]);
    CHECK(RunChild(strcmp(argv[0], "quoted") == 0, arguments) == 0);
}

/* dllver: the first call among all processes gets 64; a second process and later calls get -1. */
static void ScenarioDllVer(int argc, char** argv) {
    const int expect_first = argc > 0 && strcmp(argv[0], "child") == 0 ? -1 : 64;
    CHECK(p_GetDllVer() == expect_first);
    CHECK(p_GetDllVer() == -1);
    if (expect_first == 64) {
        char arguments[64];
        snprintf(arguments, sizeof arguments, "%s dllver child", family);
        CHECK(RunChild(1, arguments) == 0);
        CHECK(p_GetDllVer() == -1);
    }
}

/* dllver-ex: the first window registered is the one restored, from any process that asks later. */
static void ScenarioDllVerEx(int argc, char** argv) {
    if (argc > 0 && strcmp(argv[0], "child") == 0) {
        CHECK(p_GetDllVer_Ex(0x5678) == -1);
        CHECK(restore_count == 1 && restored_window == 0x1234);
        CHECK(p_GetDllVer() == -1);
        return;
    }
    CHECK(p_GetDllVer_Ex(0) == 64); /* a null window is not stored */
    CHECK(restore_count == 0);
    CHECK(p_GetDllVer_Ex(0x1234) == -1); /* stored, nothing restored yet */
    CHECK(restore_count == 0);
    char arguments[64];
    snprintf(arguments, sizeof arguments, "%s dllver-ex child", family);
    CHECK(RunChild(1, arguments) == 0);
    CHECK(p_GetDllVer_Ex(0x9) == -1); /* also the process that stored it gets its window back */
    CHECK(restore_count == 1 && restored_window == 0x1234);
}

/* unload: the library unloads and loads again; with no other process holding it the instance data
 * starts afresh. */
static void ScenarioUnload(void) {
    CHECK(p_GetDllVer() == 64);
    CHECK(FreeLibrary(library));
    CHECK(LoadTarvix());
    CHECK(p_GetDllVer() == 64);
    CHECK(FreeLibrary(library));
    library = NULL;
}

/* exit-running: the process ends while a background transfer runs; the exit must not hang. */
static void ScenarioExitRunning(void) {
    char path[MAX_PATH];
    HostPath(path, sizeof path, "exit.bin");
    CHECK(WriteSample(path, 120000, 5));
    CHECK(p_thrdSendFileToHc(0, 0, "WEXIT.DAT", path, 0, 1) == 0);
    for (int i = 0; i < 500 && p_thrdQueryPercent() < 2; ++i) Sleep(10);
    CHECK((p_thrdQueryStatus() & 0xFFFF) == TARVIX_STATUS_BUSY);
    /* FreeLibrary while the worker runs: the library stays loaded underneath it. */
    CHECK(FreeLibrary(library));
    fflush(stderr);
    ExitProcess(failures == 0 ? 0 : 1);
}

/* ordinals <table>: every export of the table (ordinal, name, argument count per line) is the same
 * function by ordinal and by name, ordinal 49 is empty, and calls through ordinals work. */
static void ScenarioOrdinals(int argc, char** argv) {
    CHECK(argc >= 1);
    if (argc < 1) return;
    FILE* f = fopen(argv[0], "r");
    CHECK(f != NULL);
    if (f == NULL) return;
    int ordinal, arguments, rows = 0;
    char name[64];
    while (fscanf(f, "%d %63s %d", &ordinal, name, &arguments) == 3) {
        FARPROC by_ordinal = GetProcAddress(library, MAKEINTRESOURCEA(ordinal));
        FARPROC by_name = GetProcAddress(library, name);
        if (by_ordinal == NULL || by_ordinal != by_name) {
            Note("ordinal %d does not reach %s\n", ordinal, name);
            ++failures;
        }
        ++rows;
    }
    fclose(f);
    CHECK(rows == 55);
    CHECK(GetProcAddress(library, MAKEINTRESOURCEA(49)) == NULL);
    CHECK(GetProcAddress(library, MAKEINTRESOURCEA(57)) == NULL);

    __typeof__(&GetDllVer) dll_ver =
        (__typeof__(&GetDllVer))(void*)GetProcAddress(library, MAKEINTRESOURCEA(32));
    __typeof__(&GetErrorMsg) error_msg =
        (__typeof__(&GetErrorMsg))(void*)GetProcAddress(library, MAKEINTRESOURCEA(9));
    __typeof__(&Get_Update_Count) update_count =
        (__typeof__(&Get_Update_Count))(void*)GetProcAddress(library, MAKEINTRESOURCEA(45));
    if (dll_ver == NULL || error_msg == NULL || update_count == NULL) return;
    CHECK(dll_ver() == 64);
    CHECK(dll_ver() == -1);
    char text[64];
    memset(text, 0, sizeof text);
    CHECK(error_msg(10, text) == 0);
    CHECK(strcmp(text, "Can't connected to HC") == 0);
    int32_t count = 0;
#if defined(__i386__)
    /* The callee removes its arguments: the stack pointer is the same before and after a call made
     * through the declared type (a C-convention export would leave it 4 bytes lower).  64-bit Windows
     * has a single calling convention, with nothing of the kind to tell apart. */
    uintptr_t before = 0, after = 0;
    __asm__ volatile("movl %%esp, %0" : "=r"(before));
    count = update_count(257);
    __asm__ volatile("movl %%esp, %0" : "=r"(after));
    CHECK(before == after);
#else
    count = update_count(257);
#endif
    CHECK(count == 0);
}

/* line-gone: the handheld goes away in the middle of a background upload (the driver ends it two
 * seconds in); the transfer must end as failed within its time-outs, and the host can go on. */
static void ScenarioLineGone(void) {
    char path[MAX_PATH];
    HostPath(path, sizeof path, "gone.bin");
    CHECK(WriteSample(path, 120000, 6));
    CHECK(p_thrdSendFileToHc(0, 0, "WGONE.DAT", path, 0, 1) == 0);
    const DWORD start = GetTickCount();
    const int32_t ended = AwaitTransfer(NULL);
    const DWORD spent = GetTickCount() - start;
    CHECK(ended == TARVIX_STATUS_FAILED);
    CHECK(p_GetLastErrCode() != 0);
    if (!TextFrame()) {
        TransferStatus status;
        p_thrdQueryStatusEx(&status);
    }
    int32_t port = -5, rate = -5;
    uint8_t mode = 99;
    CHECK(p_AdPortAndRateAndMode(&port, &rate, &mode) == 1);
    Note("line-gone: the transfer ended %d after %lu ms, error %d\n", ended, spent, p_GetLastErrCode());
}

/* cominit <port>: the handheld is on that port alone (past COM4, where detection never looks): the
 * caller's ComInit opens it by its number and the link answers; a port with nothing behind it does not
 * open. */
static void ScenarioComInit(int argc, char** argv) {
    CHECK(argc >= 1);
    if (argc < 1) return;
    const int32_t port = atoi(argv[0]);
    CHECK(p_ComInit(port + 1, 115200) == 0);
    CHECK(p_TestHcLink() == 2);
    CHECK(p_ComInit(port, 115200) == 1);
    CHECK(p_TestHcLink() == 0);
    p_ComRelease();
    CHECK(p_TestHcLink() == 2);
    Note("cominit: COM%d opened and answered\n", (int)port);
}

/* none: nothing answers on COM1 to COM4 and no USB interface is present: the detection ends with
 * result 1 and writes nothing. */
static void ScenarioNone(void) {
    int32_t port = -5, rate = -5;
    uint8_t mode = 99;
    const DWORD start = GetTickCount();
    CHECK(p_AdPortAndRateAndMode(&port, &rate, &mode) == 1);
    CHECK(port == -5 && rate == -5 && mode == 99);
    CHECK(p_HcMakeDir(0, 0, "\\X") == 1);
    CHECK(p_GetLastErrCode() == 10);
    Note("none: two detections in %lu ms\n", GetTickCount() - start);
}

int main(int argc, char** argv) {
    InitializeCriticalSection(&prompt_lock);
    if (argc < 3) {
        Note("usage: win_host text|byte <scenario> [arguments]\n");
        return 2;
    }
    snprintf(family, sizeof family, "%s", argv[1]);
    const char* scenario = argv[2];
    int rest = argc - 3;
    char** args = argv + 3;
    if (!LoadTarvix()) return 3;
    if (strcmp(scenario, "detect") == 0) {
        ScenarioDetect(rest, args);
    } else if (strcmp(scenario, "files") == 0) {
        if (Detect()) ScenarioFiles();
    } else if (strcmp(scenario, "folders") == 0) {
        if (Detect()) ScenarioFolders();
    } else if (strcmp(scenario, "clock") == 0) {
        if (Detect()) ScenarioClock();
    } else if (strcmp(scenario, "background") == 0) {
        if (Detect()) ScenarioBackground();
    } else if (strcmp(scenario, "messages") == 0) {
        ScenarioMessages(rest, args);
    } else if (strcmp(scenario, "ini-beside") == 0) {
        ScenarioIniBeside(rest, args);
    } else if (strcmp(scenario, "dllver") == 0) {
        ScenarioDllVer(rest, args);
    } else if (strcmp(scenario, "dllver-ex") == 0) {
        ScenarioDllVerEx(rest, args);
    } else if (strcmp(scenario, "unload") == 0) {
        ScenarioUnload();
    } else if (strcmp(scenario, "exit-running") == 0) {
        ScenarioExitRunning();
    } else if (strcmp(scenario, "ordinals") == 0) {
        ScenarioOrdinals(rest, args);
    } else if (strcmp(scenario, "line-gone") == 0) {
        if (Detect()) ScenarioLineGone();
    } else if (strcmp(scenario, "cominit") == 0) {
        ScenarioComInit(rest, args);
    } else if (strcmp(scenario, "none") == 0) {
        ScenarioNone();
    } else {
        Note("unknown scenario %s\n", scenario);
        return 2;
    }
    if (library != NULL) p_ComRelease();
    if (failures == 0) Note("%s %s: all checks passed\n", family, scenario);
    return failures == 0 ? 0 : 1;
}
