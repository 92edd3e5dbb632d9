#include "ftdi/libftdi_driver.h"

#include "ftdi/ftdi_tty.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <unistd.h>

namespace {

// libftdi's own requests (mode, rate, lines) answer within this or count as failed.
constexpr int ControlTimeoutMs = 5000;
// How long one wait for USB events may block: short, so that a deadline is noticed in time, and
// long enough that waiting costs no processor time to speak of.
constexpr int EventSliceUs = 20000;
// A cancelled transfer is normally back within a few milliseconds.
constexpr double CancelSeconds = 1.0;
// Reads are a few packets long: each ends at the chip's first short packet or when full, so what
// the chip sends reaches the host within a latency period or a few packets, and a read cut short
// by a cancel holds little. UART mode keeps many pending, for some 0.7 s of 115200 Bd between two
// polls of the terminal. Bit-bang mode has reads out for all of a transfer's samples up to half a
// second of them, so that completions handled late (a busy hub, a loaded machine) never leave the
// chip without a read to send its samples to: it would stop clocking, and a rate measurement would
// time the host.
constexpr int UartReads = 32;
constexpr int UartReadPackets = 4;
constexpr int SampleReads = 256;
constexpr int SampleReadPackets = 4;
// A drain without reads pending waits this much longer than the latency timer for the short
// packet the chip then sends.
constexpr int DrainMarginMs = 4;
// The chip's latency timer until the port sets one (libftdi's and the chip's default).
constexpr int DefaultLatencyMs = 16;
// FTDI's own product ids, which an empty device string looks for.
constexpr int FtdiVendor = 0x0403;
constexpr int FtdiProducts[] = {0x6001, 0x6010, 0x6011, 0x6014, 0x6015};

using TClock = std::chrono::steady_clock;

TClock::duration Span(double seconds)
{
    return std::chrono::duration_cast<TClock::duration>(std::chrono::duration<double>(seconds));
}

struct TContextFree {
    TFtdiUsb *Usb;
    void operator()(ftdi_context *context) const { Usb->ftdi_free(context); }
};
using TContext = std::unique_ptr<ftdi_context, TContextFree>;

TContext NewContext(TFtdiUsb &usb)
{
    ftdi_context *context = usb.ftdi_new();
    if (context)
        context->usb_read_timeout = context->usb_write_timeout = ControlTimeoutMs;
    return TContext(context, TContextFree{&usb});
}

std::string DeviceNode(TFtdiUsb &usb, libusb_device *device)
{
    char node[32];
    std::snprintf(node, sizeof node, "/dev/bus/usb/%03u/%03u", usb.libusb_get_bus_number(device),
                  usb.libusb_get_device_address(device));
    return node;
}

bool NodeRefused(const std::string &node)
{
    return ::access(node.c_str(), R_OK | W_OK) != 0 && errno == EACCES;
}

const char *ChipName(ftdi_chip_type type)
{
    switch (type) {
    case TYPE_AM: return "FT232AM";
    case TYPE_BM: return "FT232BM";
    case TYPE_2232C: return "FT2232C";
    case TYPE_R: return "FT232R";
    case TYPE_2232H: return "FT2232H";
    case TYPE_4232H: return "FT4232H";
    case TYPE_232H: return "FT232H";
    case TYPE_230X: return "FT230X";
    }
    return "unknown FTDI chip";
}

std::string UsbError(int code)
{
    switch (code) {
    case LIBUSB_ERROR_NO_DEVICE: return "the cable was unplugged";
    case LIBUSB_ERROR_PIPE: return "the chip stalled the transfer";
    case LIBUSB_ERROR_IO: return "the USB transfer failed";
    default: return std::string("USB error ") + libusb_error_name(code);
    }
}

std::string TransferError(libusb_transfer_status status)
{
    switch (status) {
    case LIBUSB_TRANSFER_NO_DEVICE: return "the cable was unplugged";
    case LIBUSB_TRANSFER_STALL: return "the chip stalled the transfer";
    case LIBUSB_TRANSFER_TIMED_OUT: return "the transfer timed out";
    case LIBUSB_TRANSFER_OVERFLOW: return "the chip sent more than was asked for";
    default: return "the USB transfer failed";
    }
}

// A cancelled or timed-out read still brings what it had; these end the reads for good.
bool Failed(libusb_transfer_status status)
{
    return status != LIBUSB_TRANSFER_COMPLETED && status != LIBUSB_TRANSFER_CANCELLED &&
           status != LIBUSB_TRANSFER_TIMED_OUT;
}

// libftdi's device string, read as ftdi_usb_open_string reads it.
struct TWanted {
    char Kind = 0; // 0 the first FTDI device, 'd', 'i' or 's'
    unsigned long Bus = 0, Address = 0, Vendor = 0, Product = 0, Index = 0;
    std::string Serial;
};

bool ParseDescription(const std::string &text, TWanted &wanted)
{
    if (text.empty())
        return true;
    if (text.size() < 3 || text[1] != ':' || std::strchr("dis", text[0]) == nullptr)
        return false;
    wanted.Kind = text[0];
    const char *p = text.c_str() + 2;
    char *end = nullptr;
    if (wanted.Kind == 'd') {
        wanted.Bus = std::strtoul(p, &end, 10);
        if (*end != '/')
            return false;
        wanted.Address = std::strtoul(end + 1, &end, 10);
        return *end == '\0';
    }
    wanted.Vendor = std::strtoul(p, &end, 0);
    if (*end != ':')
        return false;
    wanted.Product = std::strtoul(end + 1, &end, 0);
    if (wanted.Kind == 'i') {
        if (*end == ':')
            wanted.Index = std::strtoul(end + 1, &end, 0);
        return *end == '\0';
    }
    if (*end != ':')
        return false;
    wanted.Serial = end + 1;
    return true;
}

// A device of the kind the string asks for, before its index or serial number is looked at.
bool OfKind(TFtdiUsb &usb, const TWanted &wanted, libusb_device *device)
{
    libusb_device_descriptor d{};
    if (usb.libusb_get_device_descriptor(device, &d) != 0)
        return false;
    switch (wanted.Kind) {
    case 0:
        return d.idVendor == FtdiVendor &&
               std::find(std::begin(FtdiProducts), std::end(FtdiProducts), d.idProduct) != std::end(FtdiProducts);
    case 'd':
        return usb.libusb_get_bus_number(device) == wanted.Bus && usb.libusb_get_device_address(device) == wanted.Address;
    default: return d.idVendor == wanted.Vendor && d.idProduct == wanted.Product;
    }
}

std::string StringDescriptor(TFtdiUsb &usb, libusb_device_handle *handle, std::uint8_t index)
{
    unsigned char text[128] = "";
    if (!handle || index == 0 || usb.libusb_get_string_descriptor_ascii(handle, index, text, sizeof text) < 0)
        return {};
    return reinterpret_cast<const char *>(text);
}

class TLibFtdiDriver;

// One bulk transfer of our own, so that a cancel is final: libftdi's own callbacks submit again
// after a timeout or a stall. It stays where it was made, since libusb knows it by its address, and
// outlives a driver that gave up on it (Owner null) until libusb has given it back.
struct TBulk {
    TBulk(TFtdiUsb &usb, TLibFtdiDriver *owner) : Usb(usb), Owner(owner), Transfer(usb.libusb_alloc_transfer(0)) {}
    ~TBulk()
    {
        if (Transfer)
            Usb.libusb_free_transfer(Transfer);
    }
    TBulk(const TBulk &) = delete;
    TBulk &operator=(const TBulk &) = delete;

    TFtdiUsb &Usb;
    TLibFtdiDriver *Owner;
    libusb_transfer *Transfer;
    std::vector<unsigned char> Buffer;
    bool Busy = false; // submitted and not yet called back
};
using TBulks = std::vector<std::unique_ptr<TBulk>>;

// The IN endpoint's packets each begin with two status bytes.
std::size_t AppendPayload(const libusb_transfer *transfer, unsigned packetSize, std::uint8_t *to, std::size_t room)
{
    std::size_t copied = 0;
    for (int offset = 0; offset < transfer->actual_length && copied < room;
         offset += static_cast<int>(packetSize)) {
        const int chunk = std::min<int>(static_cast<int>(packetSize), transfer->actual_length - offset);
        const std::size_t payload = std::min<std::size_t>(chunk > 2 ? static_cast<std::size_t>(chunk - 2) : 0, room - copied);
        std::memcpy(to + copied, transfer->buffer + offset + 2, payload);
        copied += payload;
    }
    return copied;
}

// The FTDI devices libftdi knows by their default ids, released when done.
class TDeviceList {
public:
    TDeviceList(TFtdiUsb &usb, ftdi_context *context) : Usb(usb) { Count = usb.ftdi_usb_find_all(context, &List, 0, 0); }
    ~TDeviceList() { Usb.ftdi_list_free(&List); }
    TDeviceList(const TDeviceList &) = delete;
    TDeviceList &operator=(const TDeviceList &) = delete;

    TFtdiUsb &Usb;
    int Count = 0;
    ftdi_device_list *List = nullptr;
};

class TLibFtdiDriver final : public TFtdiDriver {
public:
    explicit TLibFtdiDriver(TFtdiUsb &usb) : Usb(usb), Context(nullptr, TContextFree{&usb}) { MakeBulks(); }
    ~TLibFtdiDriver() override { Close(); }

    TFtdiOpenResult Open(const std::string &description, int interfaceIndex) override;
    void Close() override;

    bool SetBitMode(std::uint8_t outputs, bool syncBitBang) override
    {
        if (syncBitBang)
            StopReading();
        return Call([&](ftdi_context *c) {
            return Usb.ftdi_set_bitmode(c, outputs, syncBitBang ? BITMODE_SYNCBB : BITMODE_RESET);
        });
    }
    bool SetBaudRate(int baud) override
    {
        return Call([&](ftdi_context *c) { return Usb.ftdi_set_baudrate(c, baud); });
    }
    bool SetLineProperty(const TLineParams &params, bool breakOn) override
    {
        const ftdi_parity_type parity = params.Parity == 'E' ? EVEN : params.Parity == 'O' ? ODD : NONE;
        return Call([&](ftdi_context *c) {
            return Usb.ftdi_set_line_property2(c, params.Databits == 7 ? BITS_7 : BITS_8,
                                               params.Stopbits == 2 ? STOP_BIT_2 : STOP_BIT_1, parity,
                                               breakOn ? BREAK_ON : BREAK_OFF);
        });
    }
    bool SetModemControl(bool dtr, bool rts) override
    {
        return Call([&](ftdi_context *c) { return Usb.ftdi_setdtr_rts(c, dtr ? 1 : 0, rts ? 1 : 0); });
    }
    bool SetFlowControlOff() override
    {
        return Call([this](ftdi_context *c) { return Usb.ftdi_setflowctrl(c, SIO_DISABLE_FLOW_CTRL); });
    }
    bool SetLatencyTimer(int ms) override
    {
        if (!Call([&](ftdi_context *c) { return Usb.ftdi_set_latency_timer(c, static_cast<unsigned char>(ms)); }))
            return false;
        LatencyMs = ms;
        return true;
    }
    bool PurgeReceived() override
    {
        return Call([this](ftdi_context *c) { return Usb.ftdi_tciflush(c); });
    }
    std::optional<std::uint16_t> ModemStatus() override
    {
        unsigned short status = 0;
        if (!Call([&](ftdi_context *c) { return Usb.ftdi_poll_modem_status(c, &status); }))
            return std::nullopt;
        return status;
    }

    bool Transfer(const std::uint8_t *out, std::uint8_t *in, std::size_t size, double timeoutSeconds) override;
    const std::vector<TFtdiArrival> &Arrivals() const override { return Landed; }
    bool Write(const std::uint8_t *data, std::size_t size) override;
    int Read(std::uint8_t *data, std::size_t size) override;
    bool StartReading() override;
    void StopReading() override;

    std::string Error() const override { return LastError; }
    std::vector<TFtdiDeviceInfo> Devices() override;
    TClock::time_point Now() override { return Usb.Now(); }
    void Sleep(double seconds) override { Usb.SleepFor(seconds); }

private:
    // One of libftdi's calls on the open device; its error text in plain words, never the "all fine"
    // an earlier call left behind.
    template <class TCall> bool Call(TCall call)
    {
        if (!IsOpen)
            return NotOpen();
        if (call(Context.get()) >= 0)
            return true;
        const char *text = ftdi_get_error_string(Context.get());
        return Fail(text && *text && std::strcmp(text, "all fine") != 0 ? text : "the chip did not answer a request");
    }
    bool Fail(const std::string &reason)
    {
        LastError = reason;
        return false;
    }
    bool NotOpen() { return Fail(Gone.empty() ? "the device is not open" : Gone); }

    void MakeBulks();
    unsigned Packet() const { return std::max(Context->max_packet_size, 64u); }
    libusb_device *Find(const TWanted &wanted, libusb_device **list, ssize_t count);
    TFtdiOpenResult Diagnose(libusb_device *device);
    void Describe(TFtdiOpenResult &result, libusb_device *device);
    bool Submit(TBulk &bulk, int endpoint, std::size_t size, libusb_transfer_cb_fn callback, unsigned timeoutMs = 0);
    bool Pump(const TClock::time_point &deadline, const std::function<bool()> &done);
    bool Settle();
    void Abandon();
    static void ReclaimParked(TFtdiUsb &usb);
    bool RequestSamples();
    void Drain();
    static TLibFtdiDriver *Owner(libusb_transfer *transfer);
    static void LIBUSB_CALL SampleRead(libusb_transfer *transfer);
    static void LIBUSB_CALL SampleWrite(libusb_transfer *transfer);
    static void LIBUSB_CALL UartRead(libusb_transfer *transfer);
    static void LIBUSB_CALL Drained(libusb_transfer *transfer);
    void TakeSamples(libusb_transfer *transfer);
    void TakeUart(libusb_transfer *transfer);

    TFtdiUsb &Usb;
    // A fresh context for every open: libftdi's context remembers a bit-bang mode (and multiplies
    // every later baud rate by four) whatever the chip does meanwhile.
    TContext Context;
    bool IsOpen = false;
    int Bus = 0, Address = 0;
    std::string LastError;
    std::string Gone; // why the device was given up on while open
    int LatencyMs = DefaultLatencyMs;
    bool Cancelling = false;

    // The bit-bang round trip in progress: the samples asked for and still owed by the reads pending.
    std::unique_ptr<TBulk> Out;
    TBulks SampleIn;
    std::uint8_t *InTo = nullptr;
    std::size_t InWanted = 0, InGot = 0, InAsked = 0;
    std::vector<TFtdiArrival> Landed;
    std::string TransferFailure;

    // UART mode's reads.
    TBulks Pending;
    std::unique_ptr<TBulk> DrainIn;
    bool Reading = false;
    std::string Arrived;
    std::string ReadFailure;
};

void TLibFtdiDriver::MakeBulks()
{
    Out = std::make_unique<TBulk>(Usb, this);
    DrainIn = std::make_unique<TBulk>(Usb, this);
    for (int i = 0; i < SampleReads; ++i)
        SampleIn.push_back(std::make_unique<TBulk>(Usb, this));
    for (int i = 0; i < UartReads; ++i)
        Pending.push_back(std::make_unique<TBulk>(Usb, this));
}

TFtdiOpenResult TLibFtdiDriver::Open(const std::string &description, int interfaceIndex)
{
    Close();
    Arrived.clear();
    ReadFailure.clear();
    Gone.clear();
    ReclaimParked(Usb);
    Context = NewContext(Usb);
    if (!Context)
        return {TFtdiOpenStatus::Failed, "libftdi could not start libusb"};
    TWanted wanted;
    if (!ParseDescription(description, wanted))
        return {TFtdiOpenStatus::Failed,
                "illegal device string \"" + description +
                    "\" (use d:BUS/DEVICE, i:VENDOR:PRODUCT[:INDEX] or s:VENDOR:PRODUCT:SERIAL)"};
    Usb.ftdi_set_interface(Context.get(), static_cast<ftdi_interface>(interfaceIndex));
    Context->module_detach_mode = AUTO_DETACH_REATACH_SIO_MODULE;
    libusb_device **list = nullptr;
    const ssize_t count = Usb.libusb_get_device_list(Context->usb_ctx, &list);
    libusb_device *device = Find(wanted, list, count);
    TFtdiOpenResult result;
    TTtyUsers tty;
    if (device)
        tty = FtdiTtyUsers(Usb.libusb_get_bus_number(device), Usb.libusb_get_device_address(device),
                           std::max(interfaceIndex, 1) - 1, Usb.SysfsRoot(), Usb.ProcRoot());
    if (!device) {
        result = {TFtdiOpenStatus::NotFound, "device not found"};
        for (ssize_t i = 0; i < count; ++i)
            if (const std::string node = DeviceNode(Usb, list[i]); OfKind(Usb, wanted, list[i]) && NodeRefused(node))
                result = {TFtdiOpenStatus::AccessDenied, node};
    } else if (!tty.InUse.empty()) {
        result = {TFtdiOpenStatus::TtyBusy, tty.InUse};
    } else if (Usb.ftdi_usb_open_dev(Context.get(), device) < 0) {
        result = Diagnose(device);
    } else {
        IsOpen = true;
        LatencyMs = DefaultLatencyMs;
        Describe(result, device);
        result.Warning = TtyUsersWarning(tty);
    }
    if (list)
        Usb.libusb_free_device_list(list, 1);
    if (result.Status != TFtdiOpenStatus::Ok)
        Close();
    return result;
}

libusb_device *TLibFtdiDriver::Find(const TWanted &wanted, libusb_device **list, ssize_t count)
{
    unsigned long index = wanted.Index;
    for (ssize_t i = 0; i < count; ++i) {
        if (!OfKind(Usb, wanted, list[i]))
            continue;
        if (wanted.Kind == 'i' && index-- != 0)
            continue;
        if (wanted.Kind == 's') {
            libusb_device_descriptor d{};
            libusb_device_handle *handle = nullptr;
            if (Usb.libusb_get_device_descriptor(list[i], &d) != 0 || Usb.libusb_open(list[i], &handle) != 0)
                continue;
            const bool match = StringDescriptor(Usb, handle, d.iSerialNumber) == wanted.Serial;
            Usb.libusb_close(handle);
            if (!match)
                continue;
        }
        return list[i];
    }
    return nullptr;
}

// libftdi reports a refused open only as "libusb_open() failed"; the device node says whether
// permissions were the cause. A claim refused while this process still has a transfer out on the
// device is not another program's doing.
TFtdiOpenResult TLibFtdiDriver::Diagnose(libusb_device *device)
{
    const char *text = ftdi_get_error_string(Context.get());
    const std::string error = text ? text : "";
    if (const std::string node = DeviceNode(Usb, device); NodeRefused(node))
        return {TFtdiOpenStatus::AccessDenied, node};
    const int bus = Usb.libusb_get_bus_number(device), address = Usb.libusb_get_device_address(device);
    const bool ours = std::any_of(Usb.Parked.begin(), Usb.Parked.end(),
                                  [&](const TFtdiUsb::TParked &p) { return p.Bus == bus && p.Address == address; });
    if (ours)
        return {TFtdiOpenStatus::Failed, "the FTDI device never gave back a transfer that was cancelled when it "
                                         "stopped answering: plug the cable in again"};
    if (error.find("claim") != std::string::npos)
        return {TFtdiOpenStatus::Busy, error};
    return {TFtdiOpenStatus::Failed, error};
}

// The chip's name, its pins and the EEPROM's inversions. The FT-X chips share one product id: the
// FT231X has all eight UART pins, the FT230X and FT234XD only TXD, RXD, RTS and CTS, and only the
// product string tells them apart.
void TLibFtdiDriver::Describe(TFtdiOpenResult &result, libusb_device *device)
{
    result.Chip = ChipName(Context->type);
    result.Bus = Bus = Usb.libusb_get_bus_number(device);
    result.Address = Address = Usb.libusb_get_device_address(device);
    if (Context->type == TYPE_AM || Context->type == TYPE_BM) {
        result = {TFtdiOpenStatus::NoBitBang, result.Chip};
        return;
    }
    if (Context->type == TYPE_230X) {
        libusb_device_descriptor d{};
        Usb.libusb_get_device_descriptor(device, &d);
        const bool full = StringDescriptor(Usb, Context->usb_dev, d.iProduct).find("231X") != std::string::npos;
        result.Chip = full ? "FT231X" : "FT230X";
        if (!full)
            result.Pins = FtdiPin::Txd | FtdiPin::Rxd | FtdiPin::Rts | FtdiPin::Cts;
    }
    int invert = 0;
    if ((Context->type == TYPE_R || Context->type == TYPE_230X) && Usb.ftdi_read_eeprom(Context.get()) >= 0 &&
        Usb.ftdi_eeprom_decode(Context.get(), 0) >= 0 && Usb.ftdi_get_eeprom_value(Context.get(), INVERT, &invert) >= 0)
        result.Inverted = static_cast<std::uint8_t>(invert);
}

// The kernel's driver gets the chip back when libftdi releases it; the context goes with it.
void TLibFtdiDriver::Close()
{
    StopReading();
    if (IsOpen)
        Usb.ftdi_usb_close(Context.get());
    IsOpen = false;
    Context.reset();
}

bool TLibFtdiDriver::Submit(TBulk &bulk, int endpoint, std::size_t size, libusb_transfer_cb_fn callback,
                            unsigned timeoutMs)
{
    if (!bulk.Transfer)
        return Fail("libusb could not allocate a transfer");
    if (bulk.Buffer.size() < size)
        bulk.Buffer.resize(size);
    libusb_fill_bulk_transfer(bulk.Transfer, Context->usb_dev, static_cast<unsigned char>(endpoint),
                              bulk.Buffer.data(), static_cast<int>(size), callback, &bulk, timeoutMs);
    const int result = Usb.libusb_submit_transfer(bulk.Transfer);
    bulk.Busy = result == 0;
    return bulk.Busy || Fail(UsbError(result));
}

// Handles USB events until done() or the deadline; false on the deadline or an error.
bool TLibFtdiDriver::Pump(const TClock::time_point &deadline, const std::function<bool()> &done)
{
    while (!done()) {
        if (Usb.Now() >= deadline)
            return false;
        timeval slice{0, EventSliceUs};
        const int result = Usb.libusb_handle_events_timeout_completed(Context->usb_ctx, &slice, nullptr);
        if (result < 0 && result != LIBUSB_ERROR_INTERRUPTED)
            return Fail(UsbError(result));
    }
    return true;
}

// Cancels every transfer still out and waits until libusb has given each back, with what it had
// brought (a read's callback keeps that).
bool TLibFtdiDriver::Settle()
{
    std::vector<TBulk *> out;
    for (TBulks *group : {&SampleIn, &Pending})
        for (auto &bulk : *group)
            out.push_back(bulk.get());
    out.push_back(Out.get());
    out.push_back(DrainIn.get());
    auto busy = [&] { return std::any_of(out.begin(), out.end(), [](TBulk *b) { return b->Busy; }); };
    if (!busy())
        return true;
    Cancelling = true;
    for (TBulk *bulk : out)
        if (bulk->Busy)
            Usb.libusb_cancel_transfer(bulk->Transfer);
    const std::string reason = LastError;
    const bool back = Pump(Usb.Now() + Span(CancelSeconds), [&] { return !busy(); });
    Cancelling = false;
    LastError = reason.empty() && !back ? "a cancelled transfer never came back" : reason;
    if (!back)
        Abandon();
    return back;
}

// A transfer that never came back may still be completed by libusb, which only happens while its
// context's events are handled: the context, the device and the transfers are parked, never used
// again, until a later open finds them all given back (plugging the cable in again does that) and
// frees them. The driver starts afresh.
void TLibFtdiDriver::Abandon()
{
    auto bulks = std::make_shared<TBulks>();
    auto park = [&](std::unique_ptr<TBulk> &bulk) {
        if (!bulk->Busy)
            return;
        bulk->Owner = nullptr;
        bulks->push_back(std::move(bulk));
        bulk = std::make_unique<TBulk>(Usb, this);
    };
    for (TBulks *group : {&SampleIn, &Pending})
        for (auto &bulk : *group)
            park(bulk);
    park(Out);
    park(DrainIn);
    ftdi_context *context = Context.release();
    TFtdiUsb *usb = &Usb;
    Usb.Parked.push_back({Bus, Address, [usb, context, bulks] {
                              timeval none{0, 0};
                              usb->libusb_handle_events_timeout_completed(context->usb_ctx, &none, nullptr);
                              if (std::any_of(bulks->begin(), bulks->end(), [](const auto &b) { return b->Busy; }))
                                  return false;
                              bulks->clear();
                              usb->ftdi_usb_close(context);
                              usb->ftdi_free(context);
                              return true;
                          }});
    IsOpen = false;
    Reading = false;
    Gone = LastError;
}

void TLibFtdiDriver::ReclaimParked(TFtdiUsb &usb)
{
    std::erase_if(usb.Parked, [](const TFtdiUsb::TParked &parked) { return parked.Reclaim(); });
}

TLibFtdiDriver *TLibFtdiDriver::Owner(libusb_transfer *transfer)
{
    auto *bulk = static_cast<TBulk *>(transfer->user_data);
    bulk->Busy = false;
    return bulk->Owner;
}

void LIBUSB_CALL TLibFtdiDriver::SampleWrite(libusb_transfer *transfer)
{
    if (TLibFtdiDriver *self = Owner(transfer); self && transfer->status != LIBUSB_TRANSFER_COMPLETED &&
                                                !(self->Cancelling && transfer->status == LIBUSB_TRANSFER_CANCELLED))
        self->TransferFailure = TransferError(transfer->status);
}

void LIBUSB_CALL TLibFtdiDriver::SampleRead(libusb_transfer *transfer)
{
    if (TLibFtdiDriver *self = Owner(transfer))
        self->TakeSamples(transfer);
}

// The samples in the order the reads come back (libusb completes one endpoint's transfers in the
// order they were submitted), each completion's time noted for the rate measurement.
void TLibFtdiDriver::TakeSamples(libusb_transfer *transfer)
{
    const std::size_t payload = Packet() - 2;
    InAsked -= std::min(InAsked, static_cast<std::size_t>(transfer->length) / Packet() * payload);
    const std::size_t got = AppendPayload(transfer, Packet(), InTo + InGot, InWanted - InGot);
    InGot += got;
    if (got > 0)
        Landed.push_back({InGot, Usb.Now()});
    if (Failed(transfer->status))
        TransferFailure = TransferError(transfer->status);
    else if (!Cancelling && !RequestSamples())
        TransferFailure = LastError;
}

// Keeps reads pending for the samples still owed, up to SampleReads of them.
bool TLibFtdiDriver::RequestSamples()
{
    const std::size_t payload = Packet() - 2;
    for (auto &bulk : SampleIn) {
        if (InGot + InAsked >= InWanted)
            break;
        if (bulk->Busy)
            continue;
        const std::size_t owed = InWanted - InGot - InAsked;
        const std::size_t packets = std::min<std::size_t>(SampleReadPackets, (owed + payload - 1) / payload);
        if (!Submit(*bulk, Context->out_ep, packets * Packet(), &SampleRead))
            return false;
        InAsked += packets * payload;
    }
    return true;
}

// The samples are read while they are written: in synchronous mode the chip stops clocking while
// nobody takes what it has sampled. libftdi's own completion polls without a pause and submits a
// timed-out transfer again, which spins a core and never gives up on a wedged chip; this one waits
// for events in slices and gives up at the deadline, cancelling both directions.
bool TLibFtdiDriver::Transfer(const std::uint8_t *out, std::uint8_t *in, std::size_t size, double timeoutSeconds)
{
    if (!IsOpen)
        return NotOpen();
    LastError.clear();
    TransferFailure.clear();
    Landed.clear();
    InTo = in;
    InWanted = size;
    InGot = InAsked = 0;
    Out->Buffer.assign(out, out + size);
    if (!RequestSamples() || !Submit(*Out, Context->in_ep, size, &SampleWrite)) {
        const std::string reason = LastError;
        Settle();
        return Fail(reason);
    }
    const auto deadline = Usb.Now() + Span(timeoutSeconds);
    const bool done = Pump(deadline, [this] { return (InGot >= InWanted && !Out->Busy) || !TransferFailure.empty(); });
    if (!done && LastError.empty()) {
        char text[64];
        std::snprintf(text, sizeof text, "no answer within %.1f s", timeoutSeconds);
        LastError = text;
    }
    const std::string failure = !done ? LastError : TransferFailure;
    const bool written = Out->Transfer->actual_length == static_cast<int>(size);
    Settle(); // reads still pending for samples that are not coming
    if (!failure.empty())
        return Fail(failure);
    if (!written || InGot != size)
        return Fail("the USB transfer failed");
    return true;
}

bool TLibFtdiDriver::Write(const std::uint8_t *data, std::size_t size)
{
    return Call([&](ftdi_context *c) {
        const int written = Usb.ftdi_write_data(c, data, static_cast<int>(size));
        return written == static_cast<int>(size) ? written : -1;
    });
}

void LIBUSB_CALL TLibFtdiDriver::UartRead(libusb_transfer *transfer)
{
    if (TLibFtdiDriver *self = Owner(transfer))
        self->TakeUart(transfer);
}

void LIBUSB_CALL TLibFtdiDriver::Drained(libusb_transfer *transfer)
{
    if (TLibFtdiDriver *self = Owner(transfer)) {
        std::string payload(static_cast<std::size_t>(transfer->actual_length), '\0');
        payload.resize(AppendPayload(transfer, self->Packet(), reinterpret_cast<std::uint8_t *>(payload.data()),
                                     payload.size()));
        self->Arrived += payload;
        if (Failed(transfer->status))
            self->ReadFailure = TransferError(transfer->status);
    }
}

// What a read brought, also one cut short by a cancel; a read that failed for good (the cable
// unplugged) is not submitted again and its reason waits for Read.
void TLibFtdiDriver::TakeUart(libusb_transfer *transfer)
{
    std::string payload(static_cast<std::size_t>(transfer->actual_length), '\0');
    payload.resize(AppendPayload(transfer, Packet(), reinterpret_cast<std::uint8_t *>(payload.data()), payload.size()));
    Arrived += payload;
    if (Failed(transfer->status)) {
        ReadFailure = TransferError(transfer->status);
        return;
    }
    if (!Reading || Cancelling)
        return;
    auto *bulk = static_cast<TBulk *>(transfer->user_data);
    if (!Submit(*bulk, Context->out_ep, bulk->Buffer.size(), &UartRead))
        ReadFailure = LastError;
}

bool TLibFtdiDriver::StartReading()
{
    if (!IsOpen)
        return NotOpen();
    if (Reading)
        return true;
    Reading = true;
    ReadFailure.clear();
    for (auto &bulk : Pending)
        if (!Submit(*bulk, Context->out_ep, UartReadPackets * Packet(), &UartRead)) {
            const std::string reason = LastError;
            StopReading();
            return Fail(reason);
        }
    return true;
}

void TLibFtdiDriver::StopReading()
{
    if (!Reading)
        return;
    Reading = false;
    Settle();
}

// What the chip still holds comes in the short packet its latency timer sends (or in full ones): one
// read, given up after a little more than that timer.
void TLibFtdiDriver::Drain()
{
    if (!Submit(*DrainIn, Context->out_ep, UartReadPackets * Packet(), &Drained,
                static_cast<unsigned>(LatencyMs + DrainMarginMs)))
        return;
    const auto deadline = Usb.Now() + Span((LatencyMs + DrainMarginMs) / 1000.0 + CancelSeconds);
    if (!Pump(deadline, [this] { return !DrainIn->Busy; }))
        Settle();
}

// What the reads brought in, with the events they are waiting for handled first (without
// blocking); without reads pending, what one bounded read takes from the chip.
int TLibFtdiDriver::Read(std::uint8_t *data, std::size_t size)
{
    if (!IsOpen) {
        NotOpen();
        return -1;
    }
    if (Reading) {
        timeval now{0, 0};
        const int result = Usb.libusb_handle_events_timeout_completed(Context->usb_ctx, &now, nullptr);
        if (result < 0 && result != LIBUSB_ERROR_INTERRUPTED) {
            Fail(UsbError(result));
            return -1;
        }
    } else if (ReadFailure.empty()) {
        Drain();
    }
    if (Arrived.empty() && !ReadFailure.empty()) {
        Fail(ReadFailure);
        return -1;
    }
    const std::size_t count = std::min(size, Arrived.size());
    std::memcpy(data, Arrived.data(), count);
    Arrived.erase(0, count);
    return static_cast<int>(count);
}

std::vector<TFtdiDeviceInfo> TLibFtdiDriver::Devices()
{
    std::vector<TFtdiDeviceInfo> devices;
    // A context of its own: reading a device's strings opens and closes it.
    TContext lister = NewContext(Usb);
    if (!lister)
        return devices;
    TDeviceList list(Usb, lister.get());
    for (ftdi_device_list *entry = list.Count > 0 ? list.List : nullptr; entry; entry = entry->next) {
        TFtdiDeviceInfo info;
        libusb_device_descriptor descriptor{};
        if (Usb.libusb_get_device_descriptor(entry->dev, &descriptor) == 0) {
            info.Vendor = descriptor.idVendor;
            info.Product = descriptor.idProduct;
        }
        info.Bus = Usb.libusb_get_bus_number(entry->dev);
        info.Address = Usb.libusb_get_device_address(entry->dev);
        char manufacturer[128] = "", description[128] = "", serial[128] = "";
        if (Usb.ftdi_usb_get_strings(lister.get(), entry->dev, manufacturer, sizeof manufacturer, description,
                                     sizeof description, serial, sizeof serial) < 0) {
            const std::string node = DeviceNode(Usb, entry->dev);
            info.Problem = NodeRefused(node) ? "no permission to open " + node : ftdi_get_error_string(lister.get());
        }
        info.Manufacturer = manufacturer;
        info.Description = description;
        info.Serial = serial;
        devices.push_back(info);
    }
    return devices;
}

} // namespace

std::unique_ptr<TFtdiDriver> CreateLibFtdiDriver(TFtdiUsb &usb)
{
    return std::make_unique<TLibFtdiDriver>(usb);
}

std::string LibFtdiVersion()
{
    return std::string("libftdi ") + ftdi_get_library_version().version_str;
}
