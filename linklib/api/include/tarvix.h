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
    char name[13];     /* up to 12 characters, NUL-terminated */
    int32_t size;      /* bytes */
    uint16_t date;     /* DOS date word */
    uint16_t time;     /* DOS time word */
    uint8_t kind;      /* kind of entry as the handheld's family reports it */
} HcFileEntry;

/* File record of GetHcFileInfoEx and GetHcNextFileInfoEx, 41 bytes. */
typedef struct HcFileRecord {
    char name[32];     /* up to 31 characters, NUL-terminated */
    uint32_t size;
    uint16_t date;
    uint16_t time;
    uint8_t kind;      /* text-frame handhelds: 1 file, 4 folder */
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

/* Link and raw input and output (no detection). */
int32_t Receive_Byte(uint8_t* byte);
int32_t Send_Byte(int32_t byte);
int32_t ComInit(int32_t port, int32_t baud_rate);
int32_t ComRelease(void);
int32_t IsComInited(void);
int32_t Send_Data(const void* data, int32_t length);
int32_t Receive_Data(void* buffer, int32_t size, int32_t* received);
int32_t HcSetExitTime(int32_t answer_timeout_ms, int32_t byte_timeout_ms);
int32_t SendCmd(int32_t command, int32_t sub_command, int32_t value);
int32_t SendCmdUsb(int32_t command, int32_t sub_command, const void* data, int32_t length);
int32_t Get_Update_Count(int32_t reset);
int32_t TestHcLink(void);
int32_t AdPortAndRate(int32_t* port, int32_t* baud_rate);
int32_t AdPortAndRateAndMode(int32_t* port, int32_t* baud_rate, uint8_t* mode);

/* Files and folders on the handheld. */
int32_t GetHcFileInfo(int32_t port, int32_t baud_rate, const char* path, HcFileEntry* entry);
int32_t GetHcNextFileInfo(int32_t port, int32_t baud_rate, HcFileEntry* entry);
int32_t GetHcFileInfoEx(int32_t port, int32_t baud_rate, const char* path, HcFileRecord* record);
int32_t GetHcNextFileInfoEx(int32_t port, int32_t baud_rate, HcFileRecord* record);
int32_t GetHcDirInfo(int32_t port, int32_t baud_rate, const char* pattern, const char* list_file,
                     int32_t* count, int32_t* total_bytes, int32_t names_only);
int32_t GetHcDirInfoEx(int32_t port, int32_t baud_rate, const char* pattern, const char* list_file,
                       int32_t* count, int32_t* total_bytes, int32_t names_only);
int32_t SendFileToHc(int32_t port, int32_t baud_rate, const char* hc_name, const char* pc_path,
                     int32_t reserved, int32_t overwrite);
int32_t GetHcFile(int32_t port, int32_t baud_rate, const char* hc_path, const char* pc_path,
                  int32_t overwrite);
int32_t DelHcFile(int32_t port, int32_t baud_rate, const char* hc_path, int32_t confirm);
int32_t DelHcMif(int32_t port, int32_t baud_rate, const char* hc_mif_path, int32_t confirm);
int32_t HcMakeDir(int32_t port, int32_t baud_rate, const char* hc_folder);
int32_t HcDelDir(int32_t port, int32_t baud_rate, const char* hc_folder);
int32_t HcSetDir(int32_t port, int32_t baud_rate, const char* hc_folder);
int32_t HcGetCurDir(int32_t port, int32_t baud_rate, char* folder /* at least 257 bytes */);

/* Background work and its queries. */
int32_t thrdSendFileToHc(int32_t port, int32_t baud_rate, const char* hc_name, const char* pc_path,
                         int32_t reserved, int32_t overwrite);
int32_t thrdGetHcFile(int32_t port, int32_t baud_rate, const char* hc_path, const char* pc_path,
                      int32_t overwrite);
int32_t thrdSendMifToHc(int32_t port, int32_t baud_rate, const char* mif_path, int32_t reserved,
                        int32_t overwrite);
int32_t thrdGetHcMif(int32_t port, int32_t baud_rate, const char* hc_mif_path, int32_t overwrite);
int32_t HcRescue(int32_t port, int32_t baud_rate, const char* pc_path);
int32_t thrdQueryStatus(void);
char* thrdQueryCurFile(void);
int32_t thrdQueryPercent(void);
int32_t thrdQueryPercent_Ex(void);
int32_t thrdQueryStatusEx(TransferStatus* status);
int32_t thrdStop(int32_t how);
int32_t thrdQueryTime(void);

/* Handheld system functions. */
int32_t thrdGetHcNum(int32_t port, int32_t baud_rate, char* number /* at least 16 bytes */);
int32_t SetHcDateTime(int32_t port, int32_t baud_rate, const HcDate* date, const HcTime* time);
int32_t GetHcDateTime(int32_t port, int32_t baud_rate, char* clock_text /* at least 30 bytes */);
int32_t GetHcSysInfo(int32_t port, int32_t baud_rate, const char* text_file, void* info);
int32_t HcShowInfo(int32_t port, int32_t baud_rate, const char* text);
int32_t SendMsgToHc(int32_t port, int32_t baud_rate, const char* message_file);
int32_t GetHcMsg(int32_t port, int32_t baud_rate, const char* message_file);
int32_t GetMessUsb(int32_t port, int32_t baud_rate, const char* pc_path);
int32_t FormatHcDisk(int32_t port, int32_t baud_rate);
int32_t ResetHc(int32_t port, int32_t baud_rate);

/* Messages and instances. */
int32_t GetErrorMsg(int32_t code, char* text /* at least 50 bytes */);
int32_t GetLastErrCode(void);
int32_t ConvertLanguage(void);
int32_t GetDllVer(void);
int32_t GetDllVer_Ex(uint32_t window);

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
#define TARVIX_ID_OK 1
#define TARVIX_ID_YES 6
#define TARVIX_ID_NO 7

typedef int32_t (*tarvix_host_prompt_fn)(const char* text, const char* caption, uint32_t style);
typedef void (*tarvix_host_restore_window_fn)(uint32_t window);
#define TARVIX_HOST_PROMPT_SYMBOL "tarvix_host_prompt"
#define TARVIX_HOST_RESTORE_WINDOW_SYMBOL "tarvix_host_restore_window"

#ifdef __cplusplus
}
#endif

#endif /* TARVIX_H */
