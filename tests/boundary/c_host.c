/* A host program in C: loads the library, asks for its instance counter, an error text and a
 * detection with nothing attached. */
#include <stdio.h>
#include <string.h>

#include "tarvix.h"

static int failures = 0;

#define CHECK(cond)                                                    \
    do {                                                               \
        if (!(cond)) {                                                 \
            fprintf(stderr, "%s:%d: %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                                \
        }                                                              \
    } while (0)

int main(void) {
    int32_t first = GetDllVer();
    CHECK(first == 64);
    CHECK(GetDllVer() == -1);

    char text[50];
    memset(text, 0, sizeof text);
    CHECK(GetErrorMsg(10, text) == 0);
    CHECK(strcmp(text, "Can't connected to HC") == 0);

    int32_t port = -5, rate = -5;
    uint8_t mode = 99;
    CHECK(AdPortAndRateAndMode(&port, &rate, &mode) == 1);
    CHECK(port == -5 && rate == -5 && mode == 99);

    /* A detecting export with nothing attached: result 1, the reason in the text-frame family. */
    CHECK(HcMakeDir(0, 0, "\\X") == 1);
    CHECK(GetLastErrCode() == 10);
    CHECK(thrdQueryStatus() == 32768);
    memset(text, 0, sizeof text);
    CHECK(GetErrorMsg(0xFFFF, text) == 0);
    CHECK(strcmp(text, "Can't connected to HC") == 0);

    uint8_t byte = 7;
    CHECK(Receive_Byte(&byte) == 1 && byte == 7);
    CHECK(thrdQueryCurFile() == NULL);
    if (failures == 0) printf("c_host: all checks passed\n");
    return failures == 0 ? 0 : 1;
}
