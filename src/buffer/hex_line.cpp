#include "buffer/hex_line.h"

#include <algorithm>
#include <array>

namespace {

constexpr std::array<signed char, 256> HexDigitValues = [] {
    std::array<signed char, 256> values{};
    values.fill(-1);
    for (int i = 0; i < 10; ++i)
        values['0' + i] = static_cast<signed char>(i);
    for (int i = 0; i < 6; ++i) {
        values['A' + i] = static_cast<signed char>(10 + i);
        values['a' + i] = static_cast<signed char>(10 + i);
    }
    return values;
}();

// Converts the field of `width` characters at 1-based `position`. A field cut short by the end of
// the line converts from the characters that are there; an empty field or any character that is
// not a hex digit makes it fail.
bool ConvertField(std::string_view line, std::size_t position, std::size_t width, unsigned &value)
{
    if (position > line.size())
        return false;
    const std::string_view field = line.substr(position - 1, width);
    value = 0;
    for (const char c : field) {
        const int digit = HexDigitValues[static_cast<unsigned char>(c)];
        if (digit < 0)
            return false;
        value = value * 16 + static_cast<unsigned>(digit);
    }
    return true;
}

THexLineResult StoreData(TMemoryBuffer &memory, int size, std::string_view line, std::uint64_t address,
                         unsigned count)
{
    THexLineResult result;
    for (unsigned i = 0; i < count; ++i) {
        unsigned value;
        if (!ConvertField(line, 10 + 2 * i, 2, value))
            continue;
        const std::uint64_t index = address + i;
        if (index >= static_cast<std::uint64_t>(size)) {
            ++result.Dropped;
            continue;
        }
        memory.Buffer[static_cast<std::size_t>(index)] = static_cast<std::uint8_t>(value);
        memory.FileBytes.set(static_cast<std::size_t>(index));
        memory.HighestAddress = std::max(memory.HighestAddress, static_cast<int>(index));
        ++result.Stored;
    }
    return result;
}

enum TRecordType : unsigned {
    EndOfFile = 1,
    ExtendedSegmentAddress = 2,
    StartSegmentAddress = 3,
    ExtendedLinearAddress = 4,
    StartLinearAddress = 5,
};

// An extended address record sets the base of the data records after it: the segment times 16, or
// the upper 16 bits of a linear address. A malformed one is skipped like any other malformed line.
void SetBase(std::string_view line, unsigned type, std::uint32_t &base)
{
    unsigned value;
    if (ConvertField(line, 10, 4, value))
        base = type == ExtendedLinearAddress ? value << 16 : value << 4;
}

} // namespace

THexLineResult ParseHexLine(TMemoryBuffer &memory, int device, std::string_view line, std::uint32_t &base)
{
    if (line.size() < 9)
        return {};
    unsigned address, type, count;
    if (!ConvertField(line, 4, 4, address) || !ConvertField(line, 8, 2, type) || type == EndOfFile ||
        !ConvertField(line, 2, 2, count) || count == 0)
        return {};
    switch (type) {
    case ExtendedSegmentAddress:
    case ExtendedLinearAddress:
        SetBase(line, type, base);
        return {};
    case StartSegmentAddress:
    case StartLinearAddress:
        return {}; // where the program starts, nothing to store
    default:
        return StoreData(memory, CodeMemorySize(device), line, std::uint64_t{base} + address, count);
    }
}

THexLineCheck CheckHexLine(std::string_view line, unsigned &type)
{
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t'))
        line.remove_suffix(1);
    if (line.empty())
        return THexLineCheck::Blank;
    // Start code, count, address, type and checksum: 11 characters around the data.
    const std::size_t digits = line.size() - 1;
    unsigned count;
    if (line[0] != ':' || line.size() < 11 || digits % 2 != 0 || !ConvertField(line, 2, 2, count) ||
        digits != 10 + 2 * std::size_t{count} || !ConvertField(line, 8, 2, type))
        return THexLineCheck::Malformed;
    unsigned sum = 0;
    for (std::size_t position = 2; position < line.size(); position += 2) {
        unsigned value;
        if (!ConvertField(line, position, 2, value))
            return THexLineCheck::Malformed;
        sum += value;
    }
    return sum % 256 == 0 ? THexLineCheck::Record : THexLineCheck::WrongChecksum;
}
