// EEPROM image arithmetic for the user area. Bytes 0x0E..0x13 hold (offset | 0x80, byte length) of the
// manufacturer, product and serial-number strings; the user area follows the last of them.
#include "FtdiEeprom.h"

#include <algorithm>
#include <cstring>

int FtdiEepromStringSpace(std::uint32_t d2xxType) {
    switch (d2xxType) {
    case 4: // 2232C
        return 90;
    case 6: // 2232H
    case 7: // 4232H
        return 86;
    case 8: // 232H
        return 80;
    case 9: // X series
        return 88;
    default: // AM, BM, 232R
        return 96;
    }
}

std::uint16_t FtdiEepromChecksum(const std::uint8_t* image, int size) {
    std::uint16_t sum = 0xAAAA;
    for (int i = 0; i + 1 < size - 2; i += 2) {
        const std::uint16_t word = std::uint16_t(image[i] | (image[i + 1] << 8));
        sum ^= word;
        sum = std::uint16_t((sum << 1) | (sum >> 15));
    }
    return sum;
}

bool FtdiEepromChecksumValid(const std::uint8_t* image, int size) {
    if (size < 4)
        return false;
    const std::uint16_t stored = std::uint16_t(image[size - 2] | (image[size - 1] << 8));
    return stored == FtdiEepromChecksum(image, size);
}

bool FtdiEepromUserArea(const std::uint8_t* image, int size, std::uint32_t d2xxType, FtdiUserAreaSpan& span) {
    span = {};
    if (!image || size < 0x20 || (size & (size - 1)) != 0)
        return false;
    if (std::all_of(image, image + size, [](std::uint8_t b) { return b == 0xFF; }))
        return false;
    int first = size;
    int end = 0;
    for (int k = 0; k < 3; ++k) {
        const int offset = image[0x0E + 2 * k] & (size - 1);
        const int length = image[0x0F + 2 * k];
        if (length == 0)
            continue;
        if (offset < 0x14 || offset + length > size - 2)
            return false;
        first = std::min(first, offset);
        end = std::max(end, offset + length);
    }
    if (end == 0)
        return false;
    const int areaEnd = std::min(first + FtdiEepromStringSpace(d2xxType), size - 2);
    span.start = end;
    span.length = std::max(0, areaEnd - end);
    return true;
}

bool FtdiEepromPatchUserArea(std::vector<std::uint8_t>& image, std::uint32_t d2xxType,
                             const std::uint8_t* data, int length) {
    FtdiUserAreaSpan span;
    const int size = int(image.size());
    if (!FtdiEepromUserArea(image.data(), size, d2xxType, span) || length < 0 || length > span.length)
        return false;
    if (length > 0)
        std::memcpy(image.data() + span.start, data, std::size_t(length));
    const std::uint16_t sum = FtdiEepromChecksum(image.data(), size);
    image[std::size_t(size - 2)] = std::uint8_t(sum & 0xFF);
    image[std::size_t(size - 1)] = std::uint8_t(sum >> 8);
    return true;
}
