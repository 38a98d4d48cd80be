// The library operations the desk uses: three that do the work, and the percent and the stop of a running
// transfer.  The program binds them to libtarvix; tests put a scripted handheld in their place.
#pragma once

#include <cstdint>

namespace desk {

class HandheldLink {
  public:
    virtual ~HandheldLink() = default;
    // Fills number (at least 16 bytes) with the handheld's number; 0 on success.
    virtual int32_t thrdGetHcNum(int32_t port, int32_t baud_rate, char* number) = 0;
    virtual int32_t SendFileToHc(int32_t port, int32_t baud_rate, const char* hc_name, const char* pc_path,
                                 int32_t reserved, int32_t overwrite) = 0;
    virtual int32_t GetHcFile(int32_t port, int32_t baud_rate, const char* hc_path, const char* pc_path,
                              int32_t overwrite) = 0;
    // Percent of the transfer that one of the two calls above is running, asked from another thread
    // while that call blocks; outside 0 to 100 when the library cannot tell.
    virtual int32_t thrdQueryPercent() = 0;
    // Asks the call in hand to end (how 1: a stop request that the library takes back by itself after
    // half a second); called from a thread other than the call's.
    virtual int32_t thrdStop(int32_t how) = 0;
};

// The library itself (defined in the program, which links libtarvix).
HandheldLink& TarvixLink();

}  // namespace desk
