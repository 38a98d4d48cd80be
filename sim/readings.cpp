// The meter reader's work, simulated: after a task table arrives the handheld fills its reading fields
// with plausible values, in whichever layout the handheld keeps the table (dBase for a text-frame
// handheld, the packed layout for a byte-frame one).
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <random>

#include "sim/core.h"

namespace hhsim {

namespace {

struct Field {
    std::string name;
    char type = 'C';
    std::size_t offset = 0;  // in the record (dBase: after the deletion flag)
    std::size_t length = 0;  // characters
    int decimals = 0;
};

std::string Upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

bool IsReading(const std::string& name) {
    static const char* kNames[] = {"PA", "A1", "A2",  "LE",  "RE",  "RV",
                                   "RC", "RD", "RDS", "CRQ", "CTM", "REASON"};
    return std::find(std::begin(kNames), std::end(kNames), Upper(name)) != std::end(kNames);
}

// The reading of one field of one meter, as text of exactly `f.length` characters.
std::string Value(const Field& f, std::mt19937& rng, std::size_t record) {
    std::string name = Upper(f.name);
    bool numeric = f.type == 'N' || f.type == 'F' || f.type == 'B';
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    char text[64];
    std::string value;
    if (name == "CRQ") {
        if (f.type == 'D' || f.length >= 8) {
            std::strftime(text, sizeof text,
                          (numeric || f.type == 'D' || f.length < 10) ? "%Y%m%d" : "%Y-%m-%d", &tm);
        } else {
            std::strftime(text, sizeof text, "%d", &tm);
        }
        value = text;
    } else if (name == "CTM") {
        int minute = static_cast<int>((tm.tm_min + record) % 60);
        if (numeric || f.length < 5) {
            std::snprintf(text, sizeof text, "%02d%02d", tm.tm_hour, minute);
        } else {
            std::snprintf(text, sizeof text, "%02d:%02d", tm.tm_hour, minute);
        }
        value = text;
    } else if (name == "REASON") {
        value = numeric ? "0" : "OK";
    } else {
        double base = 0;
        if (name == "PA" || name == "A1")
            base = 1000.0 + 250.0 * static_cast<double>(record);
        else if (name == "A2")
            base = 12.0;
        else if (name == "LE" || name == "RE")
            base = 300.0 + 40.0 * static_cast<double>(record);
        else if (name == "RV")
            base = 220.0;
        else if (name == "RC")
            base = 5.0;
        else
            base = 2.0;  // RD, RDS
        std::uniform_real_distribution<double> spread(0.0, base * 0.1 + 1.0);
        double v = base + spread(rng);
        // As many decimals as the field has; fewer digits when the field is narrow.
        int dec = numeric ? f.decimals : 2;
        std::snprintf(text, sizeof text, "%.*f", dec, v);
        if (std::strlen(text) > f.length) std::snprintf(text, sizeof text, "%.0f", v);
        if (std::strlen(text) > f.length) {
            long long limit = 1;
            for (std::size_t i = 0; i < std::min<std::size_t>(f.length, 15); ++i) limit *= 10;
            std::snprintf(text, sizeof text, "%lld", static_cast<long long>(v) % limit);
        }
        value = text;
    }
    if (value.size() > f.length) value.resize(f.length);
    if (numeric) return std::string(f.length - value.size(), ' ') + value;  // numbers stand right
    return value + std::string(f.length - value.size(), ' ');
}

std::uint8_t Code(char c) {
    if (c >= '0' && c <= '9') return static_cast<std::uint8_t>(c - '0');
    if (c == '.') return 0xA;
    if (c == '-') return 0xB;
    if (c == '+') return 0xC;
    return 0xD;
}

int FillDbase(Bytes& file, std::uint32_t seed) {
    if (file.size() < 33) return -1;
    std::uint32_t count =
        file[4] | (file[5] << 8) | (file[6] << 16) | (static_cast<std::uint32_t>(file[7]) << 24);
    std::size_t header = file[8] | (file[9] << 8);
    std::size_t reclen = file[10] | (file[11] << 8);
    if (header > file.size() || reclen == 0) return -1;
    std::vector<Field> fields;
    std::size_t offset = 1;
    for (std::size_t d = 32; d + 32 <= header && file[d] != 0x0D; d += 32) {
        Field f;
        f.name.assign(reinterpret_cast<const char*>(&file[d]),
                      strnlen(reinterpret_cast<const char*>(&file[d]), 11));
        f.type = static_cast<char>(file[d + 11]);
        f.length = file[d + 16];
        f.decimals = file[d + 17];
        f.offset = offset;
        offset += f.length;
        fields.push_back(f);
    }
    if (offset > reclen) return -1;
    std::size_t records = std::min<std::size_t>(count, (file.size() - header) / reclen);
    for (std::size_t r = 0; r < records; ++r) {
        std::mt19937 rng(seed + static_cast<std::uint32_t>(r));
        std::uint8_t* rec = &file[header + r * reclen];
        for (const Field& f : fields) {
            if (!IsReading(f.name)) continue;
            std::string v = Value(f, rng, r);
            std::copy(v.begin(), v.end(), rec + f.offset);
        }
    }
    return static_cast<int>(records);
}

int FillPacked(Bytes& file, std::uint32_t seed) {
    if (file.size() < 16) return -1;
    std::size_t count = file[11] | (file[12] << 8);
    std::size_t reclen = file[13] | (file[14] << 8);
    std::size_t n = file[15];
    std::size_t start = 16 * (n + 1);
    if (start > file.size()) return -1;
    std::vector<Field> fields;
    for (std::size_t k = 0; k < n; ++k) {
        const std::uint8_t* d = &file[16 + 16 * k];
        Field f;
        f.name.assign(reinterpret_cast<const char*>(d), strnlen(reinterpret_cast<const char*>(d), 10));
        f.type = static_cast<char>(d[10]);
        f.length = d[12];
        f.decimals = d[13];
        f.offset = d[14] | (d[15] << 8);
        std::size_t packed = d[11];
        if (f.offset + packed > reclen) return -1;
        if (f.type == 'N' && packed != (f.length + 1) / 2) return -1;
        fields.push_back(f);
    }
    if (reclen == 0) return 0;
    std::size_t records = std::min(count, (file.size() - start) / reclen);
    for (std::size_t r = 0; r < records; ++r) {
        std::mt19937 rng(seed + static_cast<std::uint32_t>(r));
        std::uint8_t* rec = &file[start + r * reclen];
        for (const Field& f : fields) {
            if (!IsReading(f.name)) continue;
            std::string v = Value(f, rng, r);
            if (f.type == 'N') {
                PackDigits(v, rec + f.offset);
            } else {
                std::copy(v.begin(), v.end(), rec + f.offset);
            }
        }
    }
    return static_cast<int>(records);
}

}  // namespace

// Two characters per byte, first in the high half; an odd length starts with the pad code 0xD.
void PackDigits(const std::string& text, std::uint8_t* out) {
    std::string t = text;
    if (t.size() % 2) t.insert(t.begin(), ' ');
    for (std::size_t i = 0; i < t.size(); i += 2) {
        out[i / 2] = static_cast<std::uint8_t>((Code(t[i]) << 4) | Code(t[i + 1]));
    }
}

int FillReadings(const std::filesystem::path& table, bool packed, std::uint32_t seed) {
    Bytes file;
    {
        std::ifstream in(table, std::ios::binary);
        if (!in) return -1;
        file.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    int filled = packed ? FillPacked(file, seed) : FillDbase(file, seed);
    if (filled < 0) return -1;
    std::filesystem::path temp = table;
    temp += ".fill";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
        if (!out) return -1;
    }
    std::error_code ec;
    std::filesystem::rename(temp, table, ec);
    return ec ? -1 : filled;
}

}  // namespace hhsim
