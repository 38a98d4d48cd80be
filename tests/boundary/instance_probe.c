/* Calls GetDllVer or GetDllVer_Ex once and prints the result; with "hold FILE" it keeps the library
 * loaded until FILE exists (at most 30 s).  It answers the window-restore hook by printing the window. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "tarvix.h"

void tarvix_host_restore_window(uint32_t window) {
    printf("restore %u\n", (unsigned)window);
    fflush(stdout);
}

int main(int argc, char** argv) {
    int32_t result;
    if (argc > 2 && strcmp(argv[1], "ex") == 0) {
        result = GetDllVer_Ex((uint32_t)strtoul(argv[2], NULL, 10));
    } else {
        result = GetDllVer();
    }
    printf("%d\n", (int)result);
    fflush(stdout);
    const char* release = NULL;
    for (int i = 1; i + 1 < argc; ++i) {
        if (strcmp(argv[i], "hold") == 0) release = argv[i + 1];
    }
    if (release != NULL) {
        struct timespec slice = {0, 10 * 1000 * 1000};
        for (int i = 0; i < 3000 && access(release, F_OK) != 0; ++i) nanosleep(&slice, NULL);
    }
    return 0;
}
