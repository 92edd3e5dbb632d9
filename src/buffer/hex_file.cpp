#include "buffer/hex_file.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <filesystem>
#include <iterator>
#include <vector>

#include "buffer/file_io.h"
#include "buffer/hex_line.h"
#include "buffer/hex_reader.h"

namespace {

const std::string OverflowNote = "The Hexfile you are going to load contains addresses beyond\n"
                            "the buffer capacity for this device! Please note that the\n"
                            "buffer contents may represent the Hexfile only in parts.";

std::string DamageText(const THexFindings &found);

// A reading that skips damage may find nothing else: then the damage is the reason.
std::string NoDataError(const std::string &name, const THexFindings &found, THexReader::TDamaged damaged)
{
    if (damaged == THexReader::TDamaged::Skip && found.DamagedLines > 0)
        return name + ": " + DamageText(found) + ", and no other record holds data";
    return found.EndRecord ? name + " holds no data record, only the end-of-file record"
                           : name + " is not an Intel-HEX file: it holds no data record";
}

const char *DamageReason(THexDamage damage)
{
    switch (damage) {
    case THexDamage::WrongChecksum: return "wrong checksum";
    case THexDamage::UnknownType: return "a record type Intel-HEX does not have";
    case THexDamage::AfterEnd: return "after the end-of-file record";
    case THexDamage::NotARecord:
    case THexDamage::None: break;
    }
    return "not an Intel-HEX record";
}

// E.g. "fw.hex: 3 lines are damaged, the first is line 7 (wrong checksum); the end-of-file record is
// missing: the file may be cut off"; empty when the file was sound.
// E.g. "3 lines are damaged, the first is line 7 (wrong checksum)"
std::string DamageText(const THexFindings &found)
{
    const std::string first = "line " + std::to_string(found.FirstDamagedLine);
    const std::string why = DamageReason(found.FirstDamage);
    return found.DamagedLines == 1
               ? first + " is damaged (" + why + ")"
               : std::to_string(found.DamagedLines) + " lines are damaged, the first is " + first + " (" + why + ")";
}

std::string HexWarning(const std::string &name, const THexFindings &found, int memorySize)
{
    std::vector<std::string> parts;
    if (found.DamagedLines > 0)
        parts.push_back(DamageText(found));
    if (!found.EndRecord)
        parts.push_back("the end-of-file record is missing: the file may be cut off");
    if (found.BytesStored == 0)
        parts.push_back("none of its data lies within the " + std::to_string(memorySize) + " bytes of code memory");
    std::string warning;
    for (const std::string &part : parts)
        warning += (warning.empty() ? name + ": " : "; ") + part;
    return warning;
}

// E.g. "fw.hex: read with CR line ends and a UTF-8 byte-order mark"; empty for a plain file.
std::string HexNote(const std::string &name, const THexFindings &found)
{
    std::vector<std::string> forms;
    if (found.CrLineEnds)
        forms.push_back("CR line ends");
    if (found.ByteOrderMark)
        forms.push_back("a UTF-8 byte-order mark");
    if (found.IndentedLines > 0)
        forms.push_back(std::to_string(found.IndentedLines) + (found.IndentedLines == 1 ? " record" : " records") +
                        " indented by blanks");
    std::string note;
    for (std::size_t i = 0; i < forms.size(); ++i)
        note += (i == 0 ? name + ": read with " : i + 1 == forms.size() ? " and " : ", ") + forms[i];
    return note;
}

const char UpperHexDigits[] = "0123456789ABCDEF";

// Enough of a file's start for a few blank lines and the longest record.
constexpr std::size_t HeadLength = 1024;

void AppendHexByte(std::string &text, unsigned value)
{
    text += UpperHexDigits[(value >> 4) & 0xF];
    text += UpperHexDigits[value & 0xF];
}

void AppendRecord(std::string &text, const TMemoryBuffer &memory, int address, int count)
{
    unsigned sum = static_cast<unsigned>(count) + (static_cast<unsigned>(address) >> 8) +
                   (static_cast<unsigned>(address) & 0xFF);
    text += ':';
    AppendHexByte(text, static_cast<unsigned>(count));
    AppendHexByte(text, static_cast<unsigned>(address) >> 8);
    AppendHexByte(text, static_cast<unsigned>(address));
    text += "00";
    for (int i = 0; i < count; ++i) {
        const unsigned value = memory.Buffer[static_cast<std::size_t>(address + i)];
        AppendHexByte(text, value);
        sum += value;
    }
    AppendHexByte(text, (0x100 - (sum & 0xFF)) & 0xFF);
    text += '\n';
}

} // namespace

TFileResult LoadHexFile(TMemoryBuffer &memory, int device, const std::string &name, bool Silent,
                        const TBufferNotify &notify, THexReader::TDamaged damaged)
{
    // Read into a copy, so that a file that turns out to hold no record leaves the buffer as it was.
    TMemoryBuffer loaded = memory;
    loaded.HighestAddress = 0;
    loaded.FileBytes.reset();
    THexReader reader(loaded, device, damaged);
    TFileResult result = ReadFileInChunks(name, [&reader](std::string_view chunk) {
        reader.Feed(chunk);
        return !reader.Ended();
    });
    // After a read error the half-read line is not parsed: it may be cut anywhere.
    if (result.Ok)
        reader.Finish();
    const THexFindings &found = reader.Findings();
    if (result.Ok && found.DataRecords == 0) {
        result.Ok = false;
        result.Error = NoDataError(name, found, damaged);
    } else {
        memory = loaded;
        result.Overflow = reader.Overflow();
        result.BeyondMemory = found.BytesDropped;
        result.Note = HexNote(name, found);
        if (result.Ok)
            result.Warning = HexWarning(name, found, CodeMemorySize(device));
    }
    FinishLoad(notify, Silent, result.Overflow, OverflowNote + "\n" + LeftOutText(device, result.BeyondMemory));
    return result;
}

TFileResult SaveHexFile(const TMemoryBuffer &memory, int first, int last, const std::string &name)
{
    if (TFileResult range = CheckSaveRange(first, last, name); !range.Ok)
        return range;
    std::string text;
    text.reserve(static_cast<std::size_t>(std::max(0, last - first + 1)) * 3 + 16);
    for (int address = first; address <= last; address += 16)
        AppendRecord(text, memory, address, std::min(16, last - address + 1));
    text += ":00000001FF\n";
    return SaveFileSafely(name, text);
}

bool IsHexFileName(const std::string &name)
{
    // The names Intel-HEX files go by: assemblers', compilers' and programmers' own.
    static const char *const extensions[] = {".hex", ".ihx", ".ihex", ".ihe", ".h86", ".hxl", ".hxh",
                                             ".obl", ".obh", ".mcs", ".a43", ".a90"};
    std::string ext = std::filesystem::path(name).extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
    return std::find(std::begin(extensions), std::end(extensions), ext) != std::end(extensions);
}

bool StartsWithHexRecord(const std::string &name)
{
    std::string head;
    ReadFileInChunks(name, [&head](std::string_view chunk) {
        head.append(chunk.substr(0, HeadLength - head.size()));
        return head.size() < HeadLength;
    });
    std::string_view text = head;
    if (text.starts_with("\xEF\xBB\xBF"))
        text.remove_prefix(3);
    for (;;) {
        const std::size_t end = text.find_first_of("\r\n");
        if (end == std::string_view::npos && text.size() == HeadLength)
            return false; // a first line longer than any record
        std::string_view line = text.substr(0, end);
        line.remove_prefix(std::min(line.find_first_not_of(" \t"), line.size()));
        unsigned type = 0;
        const THexLineCheck check = CheckHexLine(line, type);
        if (check != THexLineCheck::Blank || end == std::string_view::npos)
            return check == THexLineCheck::Record;
        text.remove_prefix(end + 1);
    }
}
