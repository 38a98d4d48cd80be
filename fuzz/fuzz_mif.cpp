// The MIF reader on any file content, for every key the families read.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "common/mif.h"

namespace {

const char* const kKeys[] = {"hcpath", "pcpath", "application", "file1", "file31", "msg", "autorun", "x"};
const char* const kSections[] = {"send", "receive", "SEND", ""};

// The content lives in memory; the reader opens it by its /proc name like any file.
int MemoryFile() {
    static int fd = memfd_create("fuzz.mif", 0);
    return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const int fd = MemoryFile();
    if (fd < 0 || ftruncate(fd, 0) != 0 || lseek(fd, 0, SEEK_SET) != 0) return 0;
    if (write(fd, data + 1, size - 1) != static_cast<ssize_t>(size - 1)) return 0;
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    const size_t max_length = data[0] % 2 == 0 ? 12 : 260;
    const char* section = kSections[(data[0] >> 1) % 4];
    char out[261 + 8];
    std::memset(out, 0x55, sizeof out);
    for (const char* key : kKeys) {
        const int32_t n = tarvix::ReadIniValue(section, key, (data[0] & 0x80) ? nullptr : "dflt", out,
                                               max_length, path.c_str());
        if (n < 0 || static_cast<size_t>(n) > max_length || std::strlen(out) > max_length) __builtin_trap();
        if (n > 0 && out[n] != '\0') __builtin_trap();  // a value may hold NUL bytes; it ends at n
        if (static_cast<unsigned char>(out[max_length + 1]) != 0x55) __builtin_trap();
    }
    return 0;
}
