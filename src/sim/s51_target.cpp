#include "sim/s51_target.h"

#include "buffer/hex_file.h"
#include "buffer/memory_buffer.h"
#include "sim/child_process.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <utility>

#include <stdlib.h>

const char *const S51MissingText = "The virtual chip runs its program in the simulator s51, which is not installed: "
                                   "install the Debian package sdcc-ucsim (sudo apt install sdcc-ucsim).";

namespace {

// A folder only this user can enter, so that nobody slips another program under s51.
std::string MakeFolder(std::string &error)
{
    std::error_code failed;
    const std::filesystem::path temporary = std::filesystem::temp_directory_path(failed);
    std::string pattern = ((failed ? std::filesystem::path("/tmp") : temporary) / "korvel-s51-XXXXXX").string();
    if (::mkdtemp(pattern.data()))
        return pattern;
    error = "Cannot make a folder for the virtual chip's program: " + std::string(std::strerror(errno));
    return {};
}

} // namespace

TS51Target::~TS51Target()
{
    Stop();
    if (!Folder.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(Folder, ignored);
    }
}

bool TS51Target::Start(const TSimImage &chip, double crystalHz)
{
    Stop();
    if (!std::isfinite(crystalHz) || crystalHz < 1.0) {
        SetTrouble("The crystal frequency must be a positive number of hertz.");
        return false;
    }
    TS51Program program{TChildProcess::FindOnPath("s51"), {}, chip.Kind, chip.Data, crystalHz};
    std::string trouble = program.Simulator.empty() ? S51MissingText : WriteProgram(chip, program.HexFile);
    SetTrouble(trouble);
    if (!trouble.empty())
        return false;
    Data = chip.Data;
    auto session = std::make_unique<TS51Session>(Received, std::move(program));
    const std::lock_guard lock(Lock);
    Session = std::move(session);
    return true;
}

void TS51Target::SetTrouble(std::string text)
{
    const std::lock_guard lock(Lock);
    Trouble = std::move(text);
}

std::string TS51Target::WriteProgram(const TSimImage &chip, std::string &hexFile)
{
    std::string error;
    if (Folder.empty())
        Folder = MakeFolder(error);
    if (Folder.empty())
        return error;
    const auto memory = std::make_unique<TMemoryBuffer>();
    const std::size_t size = std::min(chip.Code.size(), memory->Buffer.size());
    std::copy_n(chip.Code.begin(), size, memory->Buffer.begin());
    hexFile = Folder + "/program.ihx";
    const TFileResult saved = SaveHexFile(*memory, 0, static_cast<int>(size) - 1, hexFile);
    return saved.Ok ? std::string() : "Cannot write the virtual chip's program: " + saved.Error;
}

// The session leaves the target before it stops, so that a Write meanwhile finds no chip running.
void TS51Target::Stop()
{
    std::unique_ptr<TS51Session> session;
    {
        const std::lock_guard lock(Lock);
        session = std::move(Session);
    }
    if (!session)
        return;
    std::vector<std::uint8_t> data = session->Stop();
    if (session->Ended())
        SetTrouble(session->Failure());
    if (!data.empty())
        Data = std::move(data);
}

bool TS51Target::Running() const
{
    const std::lock_guard lock(Lock);
    return Session && !Session->Ended();
}

std::string TS51Target::Problem() const
{
    const std::lock_guard lock(Lock);
    return Session && Session->Ended() ? Session->Failure() : Trouble;
}

void TS51Target::Write(const std::string &bytes)
{
    const std::lock_guard lock(Lock);
    if (Session)
        Session->Write(bytes);
}

std::string TS51Target::ReadQueued()
{
    const std::lock_guard lock(Received.Lock);
    return std::exchange(Received.Bytes, {});
}

int TS51Target::InCount()
{
    const std::lock_guard lock(Received.Lock);
    return static_cast<int>(Received.Bytes.size());
}

bool TS51Target::WaitForOutput(std::chrono::milliseconds timeout)
{
    std::unique_lock lock(Received.Lock);
    return Received.Arrived.wait_for(lock, timeout, [this] { return !Received.Bytes.empty(); });
}

std::optional<double> TS51Target::ProgramBaud() const
{
    const std::lock_guard lock(Lock);
    return Session && !Session->Ended() ? Session->ProgramBaud() : std::nullopt;
}

double TS51Target::SimulatedSeconds() const
{
    const std::lock_guard lock(Lock);
    return Session ? Session->SimulatedSeconds() : 0.0;
}
