/*
 * tarvix.h - the handheld link library.
 *
 * Every exported function takes 32-bit arguments; where a function reads only an 8- or 16-bit
 * quantity it reads the low bits of the 32-bit argument.  Results are 32-bit; status values are
 * returned as unsigned 16-bit quantities widened to 32 bits (StatusFailed comes back as 32768).
 * Strings are NUL-terminated 8-bit strings owned by the caller.  No function needs a prior call:
 * loading the library prepares everything.
 *
 * Exported handheld operations that take a port and a baud rate as their first two arguments ignore
 * both: they first run the link detection (AdPortAndRateAndMode) and work over the link it found.
 */
#ifndef TARVIX_H
#define TARVIX_H

#include <stdint.h>

/* Calling convention of the exports: on 32-bit Windows __stdcall (the callee removes the arguments,
 * as the export table's argument counts say); elsewhere the platform's C convention. */
#if defined(_WIN32) && !defined(_WIN64)
#define TARVIX_CALL __stdcall
#else
#define TARVIX_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Operation results. */
#define TARVIX_RESULT_OK 0
#define TARVIX_RESULT_FAILED 1
#define TARVIX_RESULT_NOT_FOUND 2
#define TARVIX_RESULT_BUSY 3

/* Background status values (thrdQueryStatus). */
#define TARVIX_STATUS_IDLE 0
#define TARVIX_STATUS_BUSY 1
#define TARVIX_STATUS_FAILED 0x8000

#pragma pack(push, 1)

/* File record of GetHcFileInfo and GetHcNextFileInfo, 22 bytes. */
typedef struct HcFileEntry {
    char name[13]; /* up to 12 characters, NUL-terminated */
    int32_t size;  /* bytes */
    uint16_t date; /* DOS date word */
    uint16_t time; /* DOS time word */
    uint8_t kind;  /* kind of entry as the handheld's family reports it */
} HcFileEntry;

/* File record of GetHcFileInfoEx and GetHcNextFileInfoEx, 41 bytes. */
typedef struct HcFileRecord {
    char name[32]; /* up to 31 characters, NUL-terminated */
    uint32_t size;
    uint16_t date;
    uint16_t time;
    uint8_t kind; /* text-frame handhelds: 1 file, 4 folder */
} HcFileRecord;

typedef struct HcDate {
    uint16_t year;
    uint8_t month;
    uint8_t day;
} HcDate;

typedef struct HcTime {
    uint8_t hour;
    uint8_t minute;
    uint8_t second;
} HcTime;

/* Byte-frame status record handed out by thrdQueryStatusEx, 548 bytes. */
typedef struct TransferStatus {
    uint16_t error_code;
    uint16_t status;
    int32_t percent;
    int32_t file_length;
    int32_t elapsed_ms;
    char current_file[260];
    char current_pc_path[260];
    int32_t current_block;
    int32_t block_count;
    uint8_t unused[4];
} TransferStatus;

/* System information record of GetHcSysInfo from a text-frame handheld, 136 bytes. */
typedef struct HcSysInfo {
    int32_t disk_total;
    int32_t disk_used;
    int32_t disk_free;
    uint8_t reserved1[4];
    uint8_t bad;
    int32_t memory_total;
    uint8_t reserved2[8];
    HcDate date;
    HcTime time;
    uint8_t reserved3;
    char id[16];
    char manufacture_date[11];
    char type[11];
    char flash_model[9];
    uint16_t hardware_version;
    char software_version[32];
    uint8_t reserved4[17];
    char terminator;
} HcSysInfo;

/* System information record of GetHcSysInfo from a byte-frame handheld, 129 bytes. */
typedef struct HcSysInfoBf {
    int32_t disk_total;
    int32_t disk_used;
    int32_t disk_free;
    uint8_t reserved1[4];
    uint8_t bad;
    int32_t memory_total;
    uint8_t reserved2[8];
    HcDate date;
    HcTime time;
    uint8_t reserved3;
    char id[9];
    char manufacture_date[11];
    char type[11];
    char flash_model[9];
    uint16_t hardware_version;
    uint8_t reserved4[49];
    char terminator;
} HcSysInfoBf;

#pragma pack(pop)

/* Threads: one operation holds the handheld link at a time, whichever thread called it; a background
 * transfer holds it until it ends.  A call that would detect or use the link meanwhile is refused
 * without touching the port: mode 3 answers 3 (busy), modes 1 and 2 answer their failure value with
 * 512 in GetLastErrCode.  The queries, thrdStop, GetLastErrCode and GetErrorMsg may be called at any
 * time from any thread. */

/* Link and raw input and output (no detection). */
/* Reads one byte from the open byte-frame link: 0 a byte was stored, 1 none.  Text-frame: 1 always. */
int32_t TARVIX_CALL Receive_Byte(uint8_t* byte);
/* Writes the low byte on the open byte-frame link: 1 written, 0 failed.  Text-frame: 1, nothing sent. */
int32_t TARVIX_CALL Send_Byte(int32_t byte);
/* Opens port (the low 16 bits: 0 USB, 1 to 65535 COMn) at baud_rate for the family of the last detection
 * without recording it; the detection itself scans only COM1 to COM4.  Text-frame: 1 open, 0 failed.
 * Byte-frame: 1 for USB, -1 when the serial port did not open; when the device of the port went away
 * and came back (a USB-serial adapter plugged in again), the next raw call opens it again once. */
int32_t TARVIX_CALL ComInit(int32_t port, int32_t baud_rate);
/* Closes the link opened by ComInit or left open by a detection; non-zero. */
int32_t TARVIX_CALL ComRelease(void);
/* Non-zero while a byte-frame link is open (text-frame: 1). */
int32_t TARVIX_CALL IsComInited(void);
/* Sends length bytes as data frames on the open link; 0 when all went out. */
int32_t TARVIX_CALL Send_Data(const void* data, int32_t length);
/* Receives up to size bytes of data frames; *received tells how many came.  Text-frame: 0 always;
 * byte-frame: 0 success, else the transport's failure code. */
int32_t TARVIX_CALL Receive_Data(void* buffer, int32_t size, int32_t* received);
/* Sets the byte-frame answer and byte time-outs; 0. */
int32_t TARVIX_CALL HcSetExitTime(int32_t answer_timeout_ms, int32_t byte_timeout_ms);
/* Sends one command (and, byte-frame, its value byte); 0 when the handheld took it. */
int32_t TARVIX_CALL SendCmd(int32_t command, int32_t sub_command, int32_t value);
/* Sends a command with data over the byte-frame USB pipes; 0 success.  Text-frame: 0, nothing sent. */
int32_t TARVIX_CALL SendCmdUsb(int32_t command, int32_t sub_command, const void* data, int32_t length);
/* Data blocks sent since the last reset; a low byte of 1 resets the count first. */
int32_t TARVIX_CALL Get_Update_Count(int32_t reset);
/* Tests the current link.  Text-frame: 0 answered, 1 no answer, 2 no open link.  Byte-frame: 0 answered,
 * 1 the port would not open, 2 no answer. */
int32_t TARVIX_CALL TestHcLink(void);
/* AdPortAndRateAndMode without the mode. */
int32_t TARVIX_CALL AdPortAndRate(int32_t* port, int32_t* baud_rate);
/* The link detection: the family of the last detection first, then the other, each on the last port
 * and rate (a text-frame port kept open whose device went away is opened again once there), then USB,
 * then COM1-COM4 at the family's rates.  0 when a handheld answered: the non-null outputs receive port
 * (0 USB), rate and mode (3 text-frame, 1 or 2 byte-frame).  1 when none did (or a background transfer
 * owns the link): the outputs are not written. */
int32_t TARVIX_CALL AdPortAndRateAndMode(int32_t* port, int32_t* baud_rate, uint8_t* mode);

/* Files and folders on the handheld. */
/* File-information queries: the first entry matching path (a name or pattern), then the next ones.
 * 0 an entry was written; 2 no (further) entry; 1 failure (GetLastErrCode tells why, 10 = no handheld).
 * A failed query leaves the caller's record untouched. */
int32_t TARVIX_CALL GetHcFileInfo(int32_t port, int32_t baud_rate, const char* path, HcFileEntry* entry);
int32_t TARVIX_CALL GetHcNextFileInfo(int32_t port, int32_t baud_rate, HcFileEntry* entry);
int32_t TARVIX_CALL GetHcFileInfoEx(int32_t port, int32_t baud_rate, const char* path, HcFileRecord* record);
int32_t TARVIX_CALL GetHcNextFileInfoEx(int32_t port, int32_t baud_rate, HcFileRecord* record);
/* Lists the entries matching pattern into the text file list_file, with their count and byte total. */
int32_t TARVIX_CALL GetHcDirInfo(int32_t port, int32_t baud_rate, const char* pattern, const char* list_file,
                                 int32_t* count, int32_t* total_bytes, int32_t names_only);
int32_t TARVIX_CALL GetHcDirInfoEx(int32_t port, int32_t baud_rate, const char* pattern,
                                   const char* list_file, int32_t* count, int32_t* total_bytes,
                                   int32_t names_only);
/* Uploads pc_path (Windows or Linux form) as hc_name.  overwrite: 0 keep an existing handheld file,
 * 1 overwrite, 2 or more ask (byte-frame: 4 or more overwrite without asking).  0 success (also when
 * kept or declined), 1 failure with the reason in GetLastErrCode (512: the link is busy), 3 the link
 * is busy (mode 3). */
int32_t TARVIX_CALL SendFileToHc(int32_t port, int32_t baud_rate, const char* hc_name, const char* pc_path,
                                 int32_t reserved, int32_t overwrite);
/* Downloads hc_path into pc_path.  The PC file is replaced only when the whole file arrived (and, for a
 * byte-frame table, was unpacked); on failure the previous file is untouched.  Results as SendFileToHc. */
int32_t TARVIX_CALL GetHcFile(int32_t port, int32_t baud_rate, const char* hc_path, const char* pc_path,
                              int32_t overwrite);
/* Deletes a handheld file; confirm 2 asks first (text-frame: 2 or more). */
int32_t TARVIX_CALL DelHcFile(int32_t port, int32_t baud_rate, const char* hc_path, int32_t confirm);
/* Deletes the files of a MIF package on the handheld. */
int32_t TARVIX_CALL DelHcMif(int32_t port, int32_t baud_rate, const char* hc_mif_path, int32_t confirm);
/* Folder commands on the handheld: 0 success, 1 failure with the reason in GetLastErrCode. */
int32_t TARVIX_CALL HcMakeDir(int32_t port, int32_t baud_rate, const char* hc_folder);
int32_t TARVIX_CALL HcDelDir(int32_t port, int32_t baud_rate, const char* hc_folder);
int32_t TARVIX_CALL HcSetDir(int32_t port, int32_t baud_rate, const char* hc_folder);
int32_t TARVIX_CALL HcGetCurDir(int32_t port, int32_t baud_rate, char* folder /* at least 257 bytes */);

/* Background work and its queries. */
/* Background transfers: 0 started, 1 failed to start (512: busy), 3 busy (mode 3); poll thrdQueryStatus
 * until it is no longer TARVIX_STATUS_BUSY, and (byte-frame) call thrdQueryStatusEx once before the next
 * start. */
int32_t TARVIX_CALL thrdSendFileToHc(int32_t port, int32_t baud_rate, const char* hc_name,
                                     const char* pc_path, int32_t reserved, int32_t overwrite);
int32_t TARVIX_CALL thrdGetHcFile(int32_t port, int32_t baud_rate, const char* hc_path, const char* pc_path,
                                  int32_t overwrite);
int32_t TARVIX_CALL thrdSendMifToHc(int32_t port, int32_t baud_rate, const char* mif_path, int32_t reserved,
                                    int32_t overwrite);
int32_t TARVIX_CALL thrdGetHcMif(int32_t port, int32_t baud_rate, const char* hc_mif_path, int32_t overwrite);
int32_t TARVIX_CALL HcRescue(int32_t port, int32_t baud_rate, const char* pc_path);
/* Status of the running or last background operation: 0 idle or done, 1 busy, 32768 failed. */
int32_t TARVIX_CALL thrdQueryStatus(void);
/* Byte-frame: the PC path of the file a background upload sends (library memory); text-frame: NULL. */
char* TARVIX_CALL thrdQueryCurFile(void);
/* Percent of the running transfer; _Ex: of a running data rescue. */
int32_t TARVIX_CALL thrdQueryPercent(void);
int32_t TARVIX_CALL thrdQueryPercent_Ex(void);
/* Byte-frame: copies the status record, then (unless a transfer still runs) sets the status idle and
 * closes the link; returns the status before the call.  Text-frame: 0, nothing written. */
int32_t TARVIX_CALL thrdQueryStatusEx(TransferStatus* status);
/* Asks the running transfer to stop (byte-frame: how 1 for half a second, 0 withdraws, other values
 * until GetLastErrCode or the transfer's end; text-frame: the stop holds until the background operation
 * ends, whatever step it is in); returns the status. */
int32_t TARVIX_CALL thrdStop(int32_t how);
/* Byte-frame: milliseconds since the current transfer started; text-frame: 0. */
int32_t TARVIX_CALL thrdQueryTime(void);

/* Handheld system functions. */
/* Reads the handheld's number into number (NUL-terminated, at most 15 characters).  0 read; 1 failure;
 * 2 no answer (byte-frame); 3 busy (text-frame). */
int32_t TARVIX_CALL thrdGetHcNum(int32_t port, int32_t baud_rate, char* number /* at least 16 bytes */);
int32_t TARVIX_CALL SetHcDateTime(int32_t port, int32_t baud_rate, const HcDate* date, const HcTime* time);
int32_t TARVIX_CALL GetHcDateTime(int32_t port, int32_t baud_rate, char* clock_text /* at least 30 bytes */);
/* System information: into text_file when it names one, else into *info (HcSysInfo from a text-frame
 * handheld, HcSysInfoBf from a byte-frame handheld). */
int32_t TARVIX_CALL GetHcSysInfo(int32_t port, int32_t baud_rate, const char* text_file, void* info);
int32_t TARVIX_CALL HcShowInfo(int32_t port, int32_t baud_rate, const char* text);
int32_t TARVIX_CALL SendMsgToHc(int32_t port, int32_t baud_rate, const char* message_file);
int32_t TARVIX_CALL GetHcMsg(int32_t port, int32_t baud_rate, const char* message_file);
int32_t TARVIX_CALL GetMessUsb(int32_t port, int32_t baud_rate, const char* pc_path);
int32_t TARVIX_CALL FormatHcDisk(int32_t port, int32_t baud_rate);
int32_t TARVIX_CALL ResetHc(int32_t port, int32_t baud_rate);

/* Messages and instances. */
/* The text of an error code (0xFFFF: the last error of the current family) into text, NUL-terminated.
 * Text-frame: 0 copied, 1 no text for that code (text untouched).  Byte-frame: 0 always. */
int32_t TARVIX_CALL GetErrorMsg(int32_t code, char* text /* at least 50 bytes */);
/* The last error code of the current family (byte-frame: also ends a stop request). */
int32_t TARVIX_CALL GetLastErrCode(void);
/* Reloads both message tables from tarvix.ini or the built-in texts. */
int32_t TARVIX_CALL ConvertLanguage(void);
/* Instance guard: 64 for the first call among all processes that have the library loaded, -1 for every
 * later call.  GetDllVer_Ex also registers window on the first call and restores the registered window
 * (through tarvix_host_restore_window) on later ones. */
int32_t TARVIX_CALL GetDllVer(void);
int32_t TARVIX_CALL GetDllVer_Ex(uint32_t window);

/*
 * Host hooks.  The library exports nothing but the functions above.  A host program may answer the
 * library's message boxes and restore its own window by defining these functions in its executable
 * and exporting them dynamically (link with -rdynamic, or CMake's ENABLE_EXPORTS); the library looks
 * them up once when it is loaded.
 *
 * tarvix_host_prompt: show a message box; style is a combination of the TARVIX_MB_* values; return
 * the button pressed (TARVIX_ID_*).  It may be called from a background worker's thread.  Without it
 * a Yes/No question is answered No and any other box OK.
 *
 * tarvix_host_restore_window: bring back the window registered through GetDllVer_Ex.
 */
#define TARVIX_MB_OK 0x0000u
#define TARVIX_MB_YESNO 0x0004u
#define TARVIX_MB_ICONERROR 0x0010u
#define TARVIX_MB_ICONQUESTION 0x0020u
#define TARVIX_MB_ICONWARNING 0x0030u
#define TARVIX_MB_ICONINFORMATION 0x0040u
#define TARVIX_MB_SYSTEMMODAL 0x1000u /* stays on top of every window until answered */
#define TARVIX_ID_OK 1
#define TARVIX_ID_YES 6
#define TARVIX_ID_NO 7

/* The hooks use the C convention (__cdecl) on every platform. */
typedef int32_t (*tarvix_host_prompt_fn)(const char* text, const char* caption, uint32_t style);
typedef void (*tarvix_host_restore_window_fn)(uint32_t window);
#define TARVIX_HOST_PROMPT_SYMBOL "tarvix_host_prompt"
#define TARVIX_HOST_RESTORE_WINDOW_SYMBOL "tarvix_host_restore_window"

#ifdef __cplusplus
}
#endif

#endif /* TARVIX_H */
