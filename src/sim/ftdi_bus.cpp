#include "sim/ftdi_bus.h"

#include "ftdi/ftdi_driver.h"
#include "sim/virtual_chip.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <thread>

namespace {

constexpr std::uint8_t In = 0x81, Out = 0x02;
constexpr int WriteTimeoutSeconds = 5; // libftdi's usb_write_timeout, as the driver sets it

TFtdiUsb::TClock::duration Span(double seconds)
{
    return std::chrono::duration_cast<TFtdiUsb::TClock::duration>(std::chrono::duration<double>(seconds));
}

double ThreadCpu()
{
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// The processor time spent in the model's own work, which a benchmark takes off the run's.
class TModelTime {
public:
    explicit TModelTime(double &total) : Total(total), Start(ThreadCpu()) {}
    ~TModelTime() { Total += ThreadCpu() - Start; }
    TModelTime(const TModelTime &) = delete;
    TModelTime &operator=(const TModelTime &) = delete;

private:
    double &Total;
    double Start;
};

} // namespace

TFtdiBus::TFtdiBus(TVirtualChip &chip, const TSettings &settings, unsigned seed)
    : Pins(chip, settings), Chip(chip), Rng(seed), Epoch(TClock::now())
{
    Chip.SetClock([this] { return Epoch + Span(T); });
    Pins.Drive(0);
}

// What the driver parked goes first, while this object can still free its transfers; then whatever
// else it never gave back.
TFtdiBus::~TFtdiBus()
{
    Parked.clear();
    for (libusb_transfer *transfer : Allocated)
        std::free(transfer);
    for (ftdi_context *context : Contexts)
        delete context;
    Chip.SetClock(nullptr);
}

// ---- time ----

void TFtdiBus::Sync()
{
    if (RealTime)
        Run(std::max(T, std::chrono::duration<double>(TClock::now() - Epoch).count()));
}

void TFtdiBus::WaitUntil(double until)
{
    if (RealTime && until > T)
        std::this_thread::sleep_until(Epoch + Span(until));
    Run(std::max(until, T));
}

TFtdiUsb::TClock::time_point TFtdiBus::Now()
{
    Sync();
    return Epoch + Span(T);
}

void TFtdiBus::SleepFor(double seconds)
{
    Slept.push_back(seconds);
    Sync();
    WaitUntil(T + std::max(seconds, 0.0));
}

void TFtdiBus::Advance(double seconds)
{
    Run(T + seconds);
}

double TFtdiBus::Random(double most)
{
    return most > 0 ? std::uniform_real_distribution<double>(0, most)(Rng) : 0;
}

double TFtdiBus::CharSeconds() const
{
    const int bits = 1 + Params.Databits + (Params.Parity == 'E' || Params.Parity == 'O' ? 1 : 0) +
                     (Params.Stopbits == 2 ? 2 : 1);
    return bits / static_cast<double>(std::max(Generator, 1));
}

// ---- the chip and the bus, event by event ----

bool TFtdiBus::Clocking() const
{
    return Present && !Wedged && Pins.BitBang() && !Tx.empty() && Rx.size() < ReceiveBuffer;
}

// The first read waiting on the IN endpoint takes the chip's next packet.
bool TFtdiBus::PacketDue() const
{
    return Present && !Wedged && !InFlightIn.empty() &&
           (Rx.size() >= PacketSize - 2 || !Rx.empty() || EmptyPackets == TEmptyPackets::Sent);
}

// Full packets go as soon as there is one; a short one when the latency timer runs out.
double TFtdiBus::PacketTime() const
{
    return Rx.size() >= PacketSize - 2 ? T : std::max(T, LastPacket + LatencySeconds);
}

double TFtdiBus::NextEvent() const
{
    double next = 1e300;
    if (Present && !Wedged && !InFlightOut.empty() && Tx.size() < TransmitBuffer)
        next = T;
    if (Clocking())
        next = std::min(next, std::max(T, NextSample));
    if (!Pins.BitBang() && !Tx.empty())
        next = std::min(next, std::max(T, NextChar));
    for (const TTalker &talker : Talkers)
        if (talker.Next < talker.Until)
            next = std::min(next, std::max(T, talker.Next));
    if (!Incoming.empty())
        next = std::min(next, std::max(T, Incoming.front().first));
    if (PacketDue())
        next = std::min(next, PacketTime());
    for (const auto *flights : {&InFlightIn, &InFlightOut})
        for (const TFlight &flight : *flights)
            if (flight.Deadline > 0)
                next = std::min(next, std::max(T, flight.Deadline));
    return next;
}

void TFtdiBus::Run(double until)
{
    const TModelTime cpu(ModelCpu);
    for (double next = NextEvent(); next <= until; next = NextEvent()) {
        T = std::max(T, next);
        Step();
    }
    T = std::max(T, until);
}

void TFtdiBus::Step()
{
    for (auto *flights : {&InFlightIn, &InFlightOut})
        for (std::size_t i = 0; i < flights->size();)
            if ((*flights)[i].Deadline > 0 && (*flights)[i].Deadline <= T)
                Complete((*flights)[i].Transfer, LIBUSB_TRANSFER_TIMED_OUT);
            else
                ++i;
    while (Present && !Wedged && !InFlightOut.empty() && Tx.size() < TransmitBuffer) {
        libusb_transfer *out = InFlightOut.front().Transfer;
        if (!Pins.BitBang() && Tx.empty())
            NextChar = T + CharSeconds();
        Tx.push_back(out->buffer[out->actual_length++]);
        if (out->actual_length == out->length)
            Complete(out, LIBUSB_TRANSFER_COMPLETED);
    }
    if (!Pins.BitBang() && !Tx.empty() && NextChar <= T) {
        WrittenText += static_cast<char>(Tx.front());
        Tx.pop_front();
        NextChar = T + CharSeconds();
    }
    for (TTalker &talker : Talkers)
        if (talker.Next <= T && talker.Next < talker.Until) {
            if (Line.empty())
                Line = "line " + std::to_string(LineNumber++) + " of the target's steady output\r\n";
            if (Pins.TargetRuns()) { // a target held in reset sends nothing
                Hear(Line.front());
                Line.erase(0, 1);
            }
            talker.Next += talker.Interval;
        }
    while (!Incoming.empty() && Incoming.front().first <= T) {
        Hear(Incoming.front().second);
        Incoming.pop_front();
    }
    if (Clocking() && NextSample <= T) {
        Rx.push_back(Pins.Sample(Tx.front(), true, T));
        Tx.pop_front();
        LastRate = RateFactor * 16 * Generator;
        NextSample = T + 1.0 / LastRate;
    }
    while (PacketDue() && PacketTime() <= T)
        SendPacket();
}

void TFtdiBus::Hear(char c)
{
    if (!Present)
        return;
    if (Pins.BitBang()) {
        ++InBitBangLost;
    } else if (Rx.size() >= ReceiveBuffer) {
        ++OverflowLost;
    } else {
        Rx.push_back(static_cast<std::uint8_t>(c));
        HeardText += c;
    }
}

// Two status bytes (the modem status, then the line status), then what the chip has.
void TFtdiBus::SendPacket()
{
    TFlight &flight = InFlightIn.front();
    libusb_transfer *in = flight.Transfer;
    const std::size_t room = static_cast<std::size_t>(in->length - in->actual_length);
    const std::size_t payload = std::min({Rx.size(), PacketSize - 2, room > 2 ? room - 2 : 0});
    unsigned char *to = in->buffer + in->actual_length;
    const std::uint16_t modem = Pins.ModemStatus();
    to[0] = static_cast<unsigned char>(0x01 | (modem & 0xF0));
    to[1] = static_cast<unsigned char>(Tx.empty() ? 0x60 : 0x00);
    for (std::size_t i = 0; i < payload; ++i) {
        to[2 + i] = Rx.front();
        Rx.pop_front();
    }
    in->actual_length += static_cast<int>(payload + 2);
    LastPacket = T;
    if (payload + 2 < PacketSize || in->actual_length == in->length)
        Complete(in, LIBUSB_TRANSFER_COMPLETED);
}

// Off the bus; its callback runs at the next frame (plus the jitter), after those before it.
void TFtdiBus::Complete(libusb_transfer *transfer, libusb_transfer_status status)
{
    for (auto *flights : {&InFlightIn, &InFlightOut, &Stuck})
        for (auto it = flights->begin(); it != flights->end(); ++it)
            if (it->Transfer == transfer) {
                if (it->Lose)
                    transfer->actual_length = 0;
                flights->erase(it);
                transfer->status = status;
                const double frame = FrameSeconds > 0 ? std::ceil(T / FrameSeconds - 1e-9) * FrameSeconds : T;
                LastDone = std::max(LastDone, frame + Random(Jitter));
                Done.push_back({transfer, LastDone});
                return;
            }
}

// ---- events on the host ----

std::optional<double> TFtdiBus::NextCallback(libusb_context *ctx) const
{
    for (const TDone &done : Done)
        if (auto it = Handles.find(done.Transfer->dev_handle); it != Handles.end() && it->second.Context == ctx)
            return done.At;
    return std::nullopt;
}

void TFtdiBus::RunCallbacks(libusb_context *ctx)
{
    std::vector<libusb_transfer *> due;
    for (auto it = Done.begin(); it != Done.end();) {
        const auto handle = Handles.find(it->Transfer->dev_handle);
        if (it->At <= T && handle != Handles.end() && handle->second.Context == ctx) {
            due.push_back(it->Transfer);
            it = Done.erase(it);
        } else {
            ++it;
        }
    }
    for (libusb_transfer *transfer : due)
        transfer->callback(transfer);
}

// Waits for the first callback due, in steps of a frame (the bus may complete something sooner).
int TFtdiBus::libusb_handle_events_timeout_completed(libusb_context *ctx, timeval *tv, int *)
{
    Sync();
    const double until = T + static_cast<double>(tv->tv_sec) + static_cast<double>(tv->tv_usec) / 1e6;
    for (;;) {
        const std::optional<double> next = NextCallback(ctx);
        if (next && *next <= T) {
            RunCallbacks(ctx);
            WaitUntil(T + Random(Load));
            return 0;
        }
        if (T >= until)
            return 0;
        WaitUntil(std::min({until, next.value_or(until), T + std::max(FrameSeconds, 0.0005)}));
    }
}

// ---- libusb: devices and transfers ----

ssize_t TFtdiBus::libusb_get_device_list(libusb_context *, libusb_device ***list)
{
    *list = new libusb_device *[2]{};
    if (!Present)
        return 0;
    (*list)[0] = reinterpret_cast<libusb_device *>(&Address);
    return 1;
}

void TFtdiBus::libusb_free_device_list(libusb_device **list, int)
{
    delete[] list;
}

int TFtdiBus::libusb_get_device_descriptor(libusb_device *, libusb_device_descriptor *desc)
{
    *desc = {};
    desc->idVendor = 0x0403;
    desc->idProduct = 0x6001;
    desc->iManufacturer = 1;
    desc->iProduct = 2;
    desc->iSerialNumber = 3;
    return 0;
}

int TFtdiBus::libusb_open(libusb_device *, libusb_device_handle **handle)
{
    if (!Present)
        return LIBUSB_ERROR_NO_DEVICE;
    Tokens.push_back(std::make_unique<int>(NextHandle++));
    *handle = reinterpret_cast<libusb_device_handle *>(Tokens.back().get());
    Handles[*handle] = {nullptr, false};
    return 0;
}

void TFtdiBus::libusb_close(libusb_device_handle *handle)
{
    Handles.erase(handle);
}

int TFtdiBus::libusb_get_string_descriptor_ascii(libusb_device_handle *, uint8_t index, unsigned char *data, int length)
{
    const char *text = index == 1 ? "FTDI" : index == 2 ? "FT232R USB UART" : index == 3 ? "KV10001" : nullptr;
    if (!text || !Present)
        return LIBUSB_ERROR_IO;
    std::snprintf(reinterpret_cast<char *>(data), static_cast<std::size_t>(length), "%s", text);
    return static_cast<int>(std::strlen(reinterpret_cast<char *>(data)));
}

libusb_transfer *TFtdiBus::libusb_alloc_transfer(int)
{
    auto *transfer = static_cast<libusb_transfer *>(std::calloc(1, sizeof(libusb_transfer)));
    Allocated.insert(transfer);
    return transfer;
}

void TFtdiBus::libusb_free_transfer(libusb_transfer *transfer)
{
    if (Allocated.erase(transfer))
        std::free(transfer);
}

int TFtdiBus::libusb_submit_transfer(libusb_transfer *transfer)
{
    Sync();
    const auto handle = Handles.find(transfer->dev_handle);
    if (handle == Handles.end() || !handle->second.Claims)
        return LIBUSB_ERROR_NOT_FOUND;
    if (!Present)
        return LIBUSB_ERROR_NO_DEVICE;
    for (const auto *flights : {&InFlightIn, &InFlightOut, &Stuck})
        for (const TFlight &flight : *flights)
            if (flight.Transfer == transfer)
                return LIBUSB_ERROR_BUSY;
    transfer->actual_length = 0;
    const double deadline = transfer->timeout ? T + transfer->timeout / 1000.0 : 0;
    if (transfer->endpoint == In) {
        InFlightIn.push_back({transfer, deadline});
    } else {
        if (Pins.BitBang() && WedgeIn && (*WedgeIn)-- <= 0)
            Wedged = true;
        ++OutTransfers;
        InFlightOut.push_back({transfer, deadline});
    }
    return 0;
}

int TFtdiBus::libusb_cancel_transfer(libusb_transfer *transfer)
{
    for (auto *flights : {&InFlightIn, &InFlightOut})
        for (auto it = flights->begin(); it != flights->end(); ++it)
            if (it->Transfer == transfer) {
                ++CancelCount;
                if (Cancelled == TCancelled::NeverComes) {
                    Stuck.push_back(*it);
                    flights->erase(it);
                    return 0;
                }
                it->Lose = Cancelled == TCancelled::LosesData;
                Complete(transfer, LIBUSB_TRANSFER_CANCELLED);
                return 0;
            }
    return LIBUSB_ERROR_NOT_FOUND;
}

// ---- the device comes and goes ----

void TFtdiBus::Unplug()
{
    Sync();
    Present = false;
    for (auto *flights : {&InFlightIn, &InFlightOut, &Stuck})
        while (!flights->empty())
            Complete(flights->front().Transfer, LIBUSB_TRANSFER_NO_DEVICE);
    for (auto &[handle, state] : Handles)
        state.Claims = false;
}

void TFtdiBus::PlugIn()
{
    Sync();
    Present = true;
    Wedged = false;
    WedgeIn.reset();
    ++Address;
    Rx.clear();
    Tx.clear();
    Generator = 9600;
    Pins.SetBitMode(0, false, T);
    LastPacket = T;
}

// ---- libftdi ----

ftdi_context *TFtdiBus::ftdi_new()
{
    auto *ftdi = new ftdi_context{};
    Tokens.push_back(std::make_unique<int>(0));
    ftdi->usb_ctx = reinterpret_cast<libusb_context *>(Tokens.back().get());
    ftdi->usb_read_timeout = ftdi->usb_write_timeout = 5000;
    ftdi->type = TYPE_BM;
    ftdi->max_packet_size = 64;
    ftdi->interface = 0;
    ftdi->index = INTERFACE_A;
    ftdi->in_ep = Out; // libftdi's names: in_ep is the one the host writes to
    ftdi->out_ep = In;
    ftdi->error_str = "";
    Contexts.insert(ftdi);
    return ftdi;
}

void TFtdiBus::ftdi_free(ftdi_context *ftdi)
{
    if (ftdi && Contexts.erase(ftdi)) {
        if (ftdi->usb_dev)
            ftdi_usb_close(ftdi);
        delete ftdi;
    }
}

int TFtdiBus::ftdi_set_interface(ftdi_context *ftdi, ftdi_interface interface)
{
    ftdi->index = interface == INTERFACE_ANY ? INTERFACE_A : interface;
    return 0;
}

// As libftdi opens a device: it claims the interface and resets the chip's UART (both buffers
// emptied) at 9600 Bd; the bit mode and the latch stay as they were.
int TFtdiBus::ftdi_usb_open_dev(ftdi_context *ftdi, libusb_device *)
{
    Sync();
    if (!Present) {
        ftdi->error_str = "libusb_open() failed";
        return -4;
    }
    const bool claimed = ClaimedElsewhere || std::any_of(Handles.begin(), Handles.end(), [](const auto &h) {
                             return h.second.Claims;
                         });
    if (claimed) {
        ftdi->error_str = "unable to claim usb device. Make sure the default FTDI driver is not in use";
        return -5;
    }
    libusb_device_handle *handle = nullptr;
    libusb_open(nullptr, &handle);
    Handles[handle] = {ftdi->usb_ctx, true};
    ftdi->usb_dev = handle;
    ftdi->type = TYPE_R;
    ftdi->max_packet_size = static_cast<unsigned>(PacketSize);
    ftdi->bitbang_enabled = 0;
    PurgedBytes += Rx.size();
    Rx.clear();
    Tx.clear();
    Generator = 9600;
    WaitUntil(T + 2 * RequestSeconds);
    return 0;
}

int TFtdiBus::ftdi_usb_close(ftdi_context *ftdi)
{
    if (ftdi->usb_dev)
        Handles.erase(ftdi->usb_dev);
    ftdi->usb_dev = nullptr;
    return 0;
}

bool TFtdiBus::Alive(ftdi_context *ftdi, const char *failure)
{
    const auto handle = Handles.find(ftdi->usb_dev);
    if (Present && handle != Handles.end() && handle->second.Claims)
        return true;
    ftdi->error_str = failure;
    return false;
}

// One control request: a frame's time, during which the completions that come due run, as in
// libusb's synchronous calls.
int TFtdiBus::Control(ftdi_context *ftdi, const char *failure)
{
    Sync();
    if (!Alive(ftdi, failure))
        return -1;
    const double until = T + RequestSeconds;
    while (T < until) {
        const std::optional<double> next = NextCallback(ftdi->usb_ctx);
        WaitUntil(next && *next < until ? std::max(*next, T) : until);
        RunCallbacks(ftdi->usb_ctx);
    }
    return Alive(ftdi, failure) ? 0 : -1;
}

int TFtdiBus::ftdi_get_eeprom_value(ftdi_context *, ftdi_eeprom_value name, int *value)
{
    *value = name == INVERT ? Inverted : 0;
    return 0;
}

int TFtdiBus::ftdi_set_bitmode(ftdi_context *ftdi, unsigned char bitmask, unsigned char mode)
{
    if (Control(ftdi, "unable to configure bitbang mode. Perhaps not a BM/2232C type chip?") < 0)
        return -1;
    ftdi->bitbang_enabled = mode != BITMODE_RESET;
    ftdi->bitbang_mode = mode;
    const bool bitBang = mode == BITMODE_SYNCBB;
    if (bitBang && !Pins.BitBang() && ReceiveAtSwitch == TReceiveAtSwitch::Cleared) {
        PurgedBytes += Rx.size();
        Rx.clear();
    }
    if (!bitBang && Pins.BitBang())
        NextChar = T;
    Pins.SetBitMode(bitmask, bitBang, T);
    return 0;
}

int TFtdiBus::ftdi_set_baudrate(ftdi_context *ftdi, int baudrate)
{
    if (Control(ftdi, "Setting new baudrate failed") < 0)
        return -2;
    Generator = ftdi->bitbang_enabled ? 4 * baudrate : baudrate;
    ftdi->baudrate = baudrate;
    return 0;
}

int TFtdiBus::ftdi_set_line_property2(ftdi_context *ftdi, ftdi_bits_type bits, ftdi_stopbits_type sbit,
                                      ftdi_parity_type parity, ftdi_break_type break_type)
{
    if (Control(ftdi, "Setting new line property failed") < 0)
        return -1;
    Params.Databits = bits == BITS_7 ? 7 : 8;
    Params.Stopbits = sbit == STOP_BIT_2 ? 2 : 1;
    Params.Parity = parity == EVEN ? 'E' : parity == ODD ? 'O' : 'N';
    Pins.SetBreak(break_type == BREAK_ON, T);
    return 0;
}

int TFtdiBus::ftdi_setdtr_rts(ftdi_context *ftdi, int dtr, int rts)
{
    if (Control(ftdi, "set of rts/dtr failed") < 0)
        return -1;
    Pins.SetModem(dtr != 0, rts != 0, T);
    return 0;
}

int TFtdiBus::ftdi_set_latency_timer(ftdi_context *ftdi, unsigned char latency)
{
    if (latency < 1) {
        ftdi->error_str = "latency out of range. Only valid for 1-255";
        return -1;
    }
    if (Control(ftdi, "unable to set latency timer") < 0)
        return -2;
    LatencySeconds = latency / 1000.0;
    return 0;
}

int TFtdiBus::ftdi_tciflush(ftdi_context *ftdi)
{
    if (Control(ftdi, "FTDI purge of RX buffer failed") < 0)
        return -1;
    PurgedBytes += Pins.BitBang() ? 0 : Rx.size();
    Rx.clear();
    return 0;
}

int TFtdiBus::ftdi_poll_modem_status(ftdi_context *ftdi, unsigned short *status)
{
    if (Control(ftdi, "getting modem status failed") < 0)
        return -1;
    *status = static_cast<unsigned short>(0x01 | Pins.ModemStatus() | (Tx.empty() ? 0x6000 : 0));
    return 0;
}

// libftdi's write: synchronous bulk transfers, each waiting for room in the chip's buffer up to
// the write timeout, with the completions that come due meanwhile run.
int TFtdiBus::ftdi_write_data(ftdi_context *ftdi, const unsigned char *buf, int size)
{
    Sync();
    if (!Alive(ftdi, "usb bulk write failed"))
        return -1;
    const double giveUp = T + WriteTimeoutSeconds;
    for (int i = 0; i < size; ++i) {
        while (Tx.size() >= TransmitBuffer || Wedged) {
            if (T >= giveUp || !Present) {
                ftdi->error_str = "usb bulk write failed";
                return -1;
            }
            WaitUntil(T + FrameSeconds);
            RunCallbacks(ftdi->usb_ctx);
        }
        if (!Pins.BitBang() && Tx.empty())
            NextChar = T + CharSeconds();
        Tx.push_back(buf[i]);
        Run(T);
    }
    WaitUntil(T + FrameSeconds);
    RunCallbacks(ftdi->usb_ctx);
    return size;
}

int TFtdiBus::ftdi_usb_find_all(ftdi_context *, ftdi_device_list **devlist, int, int)
{
    *devlist = nullptr;
    if (!Present)
        return 0;
    *devlist = new ftdi_device_list{nullptr, reinterpret_cast<libusb_device *>(&Address)};
    return 1;
}

void TFtdiBus::ftdi_list_free(ftdi_device_list **devlist)
{
    while (devlist && *devlist) {
        ftdi_device_list *next = (*devlist)->next;
        delete *devlist;
        *devlist = next;
    }
}

int TFtdiBus::ftdi_usb_get_strings(ftdi_context *, libusb_device *, char *manufacturer, int mnf_len,
                                   char *description, int desc_len, char *serial, int serial_len)
{
    std::snprintf(manufacturer, static_cast<std::size_t>(mnf_len), "FTDI");
    std::snprintf(description, static_cast<std::size_t>(desc_len), "FT232R USB UART");
    std::snprintf(serial, static_cast<std::size_t>(serial_len), "KV10001");
    return 0;
}

// ---- the target ----

void TFtdiBus::Talk(double bytesPerSecond, double from, double until)
{
    Talkers.push_back({1.0 / bytesPerSecond, T + from, T + until});
}

void TFtdiBus::Receive(const std::string &bytes, double after, int baud)
{
    double at = T + after;
    for (const char c : bytes) {
        Incoming.emplace_back(at, c);
        if (baud > 0)
            at += 10.0 / baud;
    }
}
