// Intel-HEX load speed: LoadHexFile against srec_cat converting the same generated file, in one run.
// Usage: bench_hex_load [megabytes of data, default 16]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

#include "buffer/hex_file.h"

namespace {

void AppendRecord(std::string &text, unsigned type, unsigned address, const unsigned char *data, unsigned count)
{
    char field[16];
    unsigned sum = count + (address >> 8) + (address & 0xFF) + type;
    std::snprintf(field, sizeof field, ":%02X%04X%02X", count, address & 0xFFFF, type);
    text += field;
    for (unsigned i = 0; i < count; ++i) {
        std::snprintf(field, sizeof field, "%02X", data[i]);
        text += field;
        sum += data[i];
    }
    std::snprintf(field, sizeof field, "%02X\r\n", (0x100 - (sum & 0xFF)) & 0xFF);
    text += field;
}

// 16-byte records with an extended linear address record every 64 KiB, as a large image's file has.
std::string GenerateHex(std::size_t megabytes)
{
    std::string text;
    text.reserve(megabytes * 1024 * 1024 * 45 / 16);
    unsigned char data[16];
    for (std::size_t address = 0; address < megabytes * 1024 * 1024; address += 16) {
        if (address % 0x10000 == 0) {
            const unsigned char upper[2] = {static_cast<unsigned char>(address >> 24),
                                            static_cast<unsigned char>(address >> 16)};
            AppendRecord(text, 4, 0, upper, 2);
        }
        for (unsigned i = 0; i < 16; ++i)
            data[i] = static_cast<unsigned char>(address * 7 + i * 13);
        AppendRecord(text, 0, static_cast<unsigned>(address), data, 16);
    }
    text += ":00000001FF\r\n";
    return text;
}

template <typename F> double Seconds(F &&run)
{
    const auto start = std::chrono::steady_clock::now();
    run();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

int main(int argc, char **argv)
{
    const std::size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 16;
    const auto folder = std::filesystem::temp_directory_path() / ("korvel-bench-hex-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    const std::string hex = (folder / "large.hex").string();
    const std::string text = GenerateHex(megabytes);
    std::ofstream(hex, std::ios::binary).write(text.data(), static_cast<std::streamsize>(text.size()));

    TMemoryBuffer memory;
    TFileResult result;
    double ours = 1e9;
    for (int round = 0; round < 3; ++round)
        ours = std::min(ours, Seconds([&] { result = LoadHexFile(memory, 1, hex, true, {}); }));
    const std::string command = "srec_cat '" + hex + "' -intel -o '" + (folder / "large.bin").string() + "' -binary";
    int status = 0;
    const double theirs = Seconds([&] { status = std::system(command.c_str()); });
    std::filesystem::remove_all(folder);
    if (!result.Ok || status != 0) {
        std::fprintf(stderr, "load failed (%s) or srec_cat failed (status %d)\n", result.Error.c_str(), status);
        return 1;
    }
    const double mib = static_cast<double>(text.size()) / (1024.0 * 1024.0);
    std::printf("Intel-HEX file: %.1f MiB of text, %zu MiB of data\n", mib, megabytes);
    std::printf("LoadHexFile:  %8.3f s  (%7.1f MiB/s, best of 3)\n", ours, mib / ours);
    std::printf("srec_cat:     %8.3f s  (%7.1f MiB/s, to binary)\n", theirs, mib / theirs);
    std::printf("srec_cat time / LoadHexFile time: %.1f\n", theirs / ours);
    return 0;
}
