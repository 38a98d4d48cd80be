// Checks and frame building of the simulated handheld.
#include "sim/core.h"

namespace hhsim {

std::uint16_t Crc16Xmodem(const std::uint8_t* data, std::size_t size, std::uint16_t crc) {
    // Polynomial 0x1021, most significant bit first, no reflection, no final XOR.
    for (std::size_t i = 0; i < size; ++i) {
        crc = static_cast<std::uint16_t>(crc ^ (static_cast<unsigned>(data[i]) << 8));
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x8000u) ? static_cast<std::uint16_t>((crc << 1) ^ 0x1021u)
                                  : static_cast<std::uint16_t>(crc << 1);
        }
    }
    return crc;
}

std::uint8_t Sum8(const std::uint8_t* data, std::size_t size, std::uint8_t sum) {
    unsigned s = sum;
    for (std::size_t i = 0; i < size; ++i) s += data[i];
    return static_cast<std::uint8_t>(s & 0xFFu);
}

namespace {
// Payload bytes that would read as framing characters travel as '@' and a letter.
void PutEscaped(Bytes& out, std::uint8_t byte) {
    switch (byte) {
        case '@':
            out.push_back('@');
            out.push_back('A');
            break;
        case '#':
            out.push_back('@');
            out.push_back('B');
            break;
        case '$':
            out.push_back('@');
            out.push_back('C');
            break;
        default:
            out.push_back(byte);
    }
}
}  // namespace

namespace tf {

std::string HexLowFirst(std::uint32_t value, int digits) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (int i = 0; i < digits; ++i) {
        text.push_back(kDigits[value & 0xFu]);
        value >>= 4;
    }
    return text;
}

bool ParseHexLowFirst(const std::uint8_t* text, int digits, std::uint32_t& value) {
    value = 0;
    for (int i = 0; i < digits; ++i) {
        unsigned digit;
        if (text[i] >= '0' && text[i] <= '9') {
            digit = text[i] - '0';
        } else if (text[i] >= 'A' && text[i] <= 'F') {
            digit = text[i] - 'A' + 10;
        } else {
            return false;
        }
        value |= digit << (4 * i);
    }
    return true;
}

Bytes BuildFrame(std::uint32_t number, const std::uint8_t* data, std::size_t size) {
    Bytes frame;
    frame.reserve(14 + 2 * size);
    frame.push_back('#');
    for (char c : HexLowFirst(number, 8)) frame.push_back(static_cast<std::uint8_t>(c));
    for (std::size_t i = 0; i < size; ++i) PutEscaped(frame, data[i]);
    // The check covers the line form: '#', the digits and the escaped payload.
    std::uint16_t crc = Crc16Xmodem(frame.data(), frame.size());
    frame.push_back('$');
    for (char c : HexLowFirst(crc, 4)) frame.push_back(static_cast<std::uint8_t>(c));
    return frame;
}

Bytes AbortFrame() {
    return BuildFrame(0, nullptr, 0);
}

}  // namespace tf

namespace bf {

Bytes BuildFrame(std::uint16_t number, const std::uint8_t* data, std::size_t size, bool crc) {
    std::uint8_t header[4] = {static_cast<std::uint8_t>(size & 0xFF), static_cast<std::uint8_t>(size >> 8),
                              static_cast<std::uint8_t>(number & 0xFF),
                              static_cast<std::uint8_t>(number >> 8)};
    Bytes frame;
    frame.reserve(8 + 2 * size);
    frame.push_back('#');
    frame.insert(frame.end(), header, header + 4);
    for (std::size_t i = 0; i < size; ++i) PutEscaped(frame, data[i]);
    frame.push_back('$');
    // Both checks cover the header and the payload before escaping.
    if (crc) {
        std::uint16_t c = Crc16Xmodem(header, 4);
        c = Crc16Xmodem(data, size, c);
        frame.push_back(static_cast<std::uint8_t>(c & 0xFF));
        frame.push_back(static_cast<std::uint8_t>(c >> 8));
    } else {
        std::uint8_t s = Sum8(header, 4);
        s = Sum8(data, size, s);
        frame.push_back(s);
    }
    return frame;
}

}  // namespace bf

}  // namespace hhsim
