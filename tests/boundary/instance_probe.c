/* Calls GetDllVer or GetDllVer_Ex once and prints the result; with "hold FIFO" it keeps the library
 * loaded until a line arrives on FIFO.  It answers the window-restore hook by printing the window. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

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
    const char* fifo = NULL;
    for (int i = 1; i + 1 < argc; ++i) {
        if (strcmp(argv[i], "hold") == 0) fifo = argv[i + 1];
    }
    if (fifo != NULL) {
        FILE* f = fopen(fifo, "r");
        char line[16];
        if (f != NULL) {
            if (fgets(line, sizeof line, f) == NULL) line[0] = 0;
            fclose(f);
        }
    }
    return 0;
}
