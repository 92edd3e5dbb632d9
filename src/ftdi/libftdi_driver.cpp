#include "ftdi/libftdi_driver.h"

#include "ftdi/ftdi_tty.h"

#include <ftdi.h>
#include <libusb.h>

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
// UART mode keeps this many reads of this size pending.
constexpr int PendingReads = 4;
constexpr int ReadSize = 16384;
// FTDI's own product ids, which an empty device string looks for.
constexpr int FtdiVendor = 0x0403;
constexpr int FtdiProducts[] = {0x6001, 0x6010, 0x6011, 0x6014, 0x6015};

using TContext = std::unique_ptr<ftdi_context, void (*)(ftdi_context *)>;
using TClock = std::chrono::steady_clock;

TContext NewContext()
{
    ftdi_context *context = ftdi_new();
    if (context)
        context->usb_read_timeout = context->usb_write_timeout = ControlTimeoutMs;
    return TContext(context, &ftdi_free);
}

std::string DeviceNode(libusb_device *device)
{
    char node[32];
    std::snprintf(node, sizeof node, "/dev/bus/usb/%03u/%03u", libusb_get_bus_number(device),
                  libusb_get_device_address(device));
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
bool OfKind(const TWanted &wanted, libusb_device *device)
{
    libusb_device_descriptor d{};
    if (libusb_get_device_descriptor(device, &d) != 0)
        return false;
    switch (wanted.Kind) {
    case 0:
        return d.idVendor == FtdiVendor &&
               std::find(std::begin(FtdiProducts), std::end(FtdiProducts), d.idProduct) != std::end(FtdiProducts);
    case 'd':
        return libusb_get_bus_number(device) == wanted.Bus && libusb_get_device_address(device) == wanted.Address;
    default: return d.idVendor == wanted.Vendor && d.idProduct == wanted.Product;
    }
}

std::string StringDescriptor(libusb_device_handle *handle, std::uint8_t index)
{
    unsigned char text[128] = "";
    if (!handle || index == 0 || libusb_get_string_descriptor_ascii(handle, index, text, sizeof text) < 0)
        return {};
    return reinterpret_cast<const char *>(text);
}

// One bulk transfer of our own, so that a cancel is final: libftdi's own callbacks submit again
// after a timeout or a stall.
struct TBulk {
    TBulk() : Transfer(libusb_alloc_transfer(0)) {}
    ~TBulk()
    {
        if (Transfer)
            libusb_free_transfer(Transfer);
    }
    TBulk(const TBulk &) = delete;
    TBulk &operator=(const TBulk &) = delete;

    libusb_transfer *Transfer;
    std::vector<unsigned char> Buffer;
    bool Busy = false; // submitted and not yet called back
};

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
    explicit TDeviceList(ftdi_context *context) { Count = ftdi_usb_find_all(context, &List, 0, 0); }
    ~TDeviceList() { ftdi_list_free(&List); }
    TDeviceList(const TDeviceList &) = delete;
    TDeviceList &operator=(const TDeviceList &) = delete;

    int Count = 0;
    ftdi_device_list *List = nullptr;
};

class TLibFtdiDriver final : public TFtdiDriver {
public:
    TLibFtdiDriver() = default;
    ~TLibFtdiDriver() override { Close(); }

    TFtdiOpenResult Open(const std::string &description, int interfaceIndex) override;
    void Close() override;

    bool SetBitMode(std::uint8_t outputs, bool syncBitBang) override
    {
        if (syncBitBang)
            StopReading();
        return Call([&](ftdi_context *c) {
            return ftdi_set_bitmode(c, outputs, syncBitBang ? BITMODE_SYNCBB : BITMODE_RESET);
        });
    }
    bool SetBaudRate(int baud) override
    {
        return Call([&](ftdi_context *c) { return ftdi_set_baudrate(c, baud); });
    }
    bool SetLineProperty(const TLineParams &params, bool breakOn) override
    {
        const ftdi_parity_type parity = params.Parity == 'E' ? EVEN : params.Parity == 'O' ? ODD : NONE;
        return Call([&](ftdi_context *c) {
            return ftdi_set_line_property2(c, params.Databits == 7 ? BITS_7 : BITS_8,
                                           params.Stopbits == 2 ? STOP_BIT_2 : STOP_BIT_1, parity,
                                           breakOn ? BREAK_ON : BREAK_OFF);
        });
    }
    bool SetModemControl(bool dtr, bool rts) override
    {
        return Call([&](ftdi_context *c) { return ftdi_setdtr_rts(c, dtr ? 1 : 0, rts ? 1 : 0); });
    }
    bool SetFlowControlOff() override
    {
        return Call([](ftdi_context *c) { return ftdi_setflowctrl(c, SIO_DISABLE_FLOW_CTRL); });
    }
    bool SetLatencyTimer(int ms) override
    {
        return Call([&](ftdi_context *c) { return ftdi_set_latency_timer(c, static_cast<unsigned char>(ms)); });
    }
    bool PurgeReceived() override
    {
        return Call([](ftdi_context *c) { return ftdi_tciflush(c); });
    }
    std::optional<std::uint16_t> ModemStatus() override
    {
        unsigned short status = 0;
        if (!Call([&](ftdi_context *c) { return ftdi_poll_modem_status(c, &status); }))
            return std::nullopt;
        return status;
    }

    bool Transfer(const std::uint8_t *out, std::uint8_t *in, std::size_t size, double timeoutSeconds) override;
    bool Write(const std::uint8_t *data, std::size_t size) override;
    int Read(std::uint8_t *data, std::size_t size) override;
    bool StartReading() override;
    void StopReading() override;

    std::string Error() const override { return LastError; }
    std::vector<TFtdiDeviceInfo> Devices() override;

private:
    // One of libftdi's calls on the open device; its error text in plain words, never the "all fine"
    // an earlier call left behind.
    template <class TCall> bool Call(TCall call)
    {
        if (!IsOpen)
            return Fail("the device is not open");
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

    static libusb_device *Find(const TWanted &wanted, libusb_device **list, ssize_t count);
    TFtdiOpenResult Diagnose(libusb_device *device);
    void Describe(TFtdiOpenResult &result, libusb_device *device);
    bool Submit(TBulk &bulk, int endpoint, std::size_t size, libusb_transfer_cb_fn callback);
    bool Pump(const TClock::time_point &deadline, const std::function<bool()> &done);
    bool Settle(std::initializer_list<TBulk *> bulks);
    void Abandon(std::initializer_list<TBulk *> bulks);
    static void LIBUSB_CALL BitBangRead(libusb_transfer *transfer);
    static void LIBUSB_CALL BitBangWrite(libusb_transfer *transfer);
    static void LIBUSB_CALL UartRead(libusb_transfer *transfer);

    // A fresh context for every open: libftdi's context remembers a bit-bang mode (and multiplies
    // every later baud rate by four) whatever the chip does meanwhile.
    TContext Context{nullptr, &ftdi_free};
    bool IsOpen = false;
    std::string LastError;

    // The bit-bang round trip in progress.
    TBulk Out, In;
    std::uint8_t *InTo = nullptr;
    std::size_t InWanted = 0, InGot = 0;
    bool Cancelling = false;

    // UART mode's reads.
    TBulk Pending[PendingReads];
    bool Reading = false;
    std::string Arrived;
};

TFtdiOpenResult TLibFtdiDriver::Open(const std::string &description, int interfaceIndex)
{
    Close();
    Context = NewContext();
    if (!Context)
        return {TFtdiOpenStatus::Failed, "libftdi could not start libusb"};
    TWanted wanted;
    if (!ParseDescription(description, wanted))
        return {TFtdiOpenStatus::Failed,
                "illegal device string \"" + description +
                    "\" (use d:BUS/DEVICE, i:VENDOR:PRODUCT[:INDEX] or s:VENDOR:PRODUCT:SERIAL)"};
    ftdi_set_interface(Context.get(), static_cast<ftdi_interface>(interfaceIndex));
    Context->module_detach_mode = AUTO_DETACH_REATACH_SIO_MODULE;
    libusb_device **list = nullptr;
    const ssize_t count = libusb_get_device_list(Context->usb_ctx, &list);
    libusb_device *device = Find(wanted, list, count);
    TFtdiOpenResult result;
    if (!device) {
        result = {TFtdiOpenStatus::NotFound, "device not found"};
        for (ssize_t i = 0; i < count; ++i)
            if (const std::string node = DeviceNode(list[i]); OfKind(wanted, list[i]) && NodeRefused(node))
                result = {TFtdiOpenStatus::AccessDenied, node};
    } else if (const std::string tty = FtdiTtyInUse(libusb_get_bus_number(device), libusb_get_device_address(device),
                                                    std::max(interfaceIndex, 1) - 1);
               !tty.empty()) {
        result = {TFtdiOpenStatus::TtyBusy, tty};
    } else if (ftdi_usb_open_dev(Context.get(), device) < 0) {
        result = Diagnose(device);
    } else {
        IsOpen = true;
        Describe(result, device);
    }
    if (list)
        libusb_free_device_list(list, 1);
    if (result.Status != TFtdiOpenStatus::Ok)
        Close();
    return result;
}

libusb_device *TLibFtdiDriver::Find(const TWanted &wanted, libusb_device **list, ssize_t count)
{
    unsigned long index = wanted.Index;
    for (ssize_t i = 0; i < count; ++i) {
        if (!OfKind(wanted, list[i]))
            continue;
        if (wanted.Kind == 'i' && index-- != 0)
            continue;
        if (wanted.Kind == 's') {
            libusb_device_descriptor d{};
            libusb_device_handle *handle = nullptr;
            if (libusb_get_device_descriptor(list[i], &d) != 0 || libusb_open(list[i], &handle) != 0)
                continue;
            const bool match = StringDescriptor(handle, d.iSerialNumber) == wanted.Serial;
            libusb_close(handle);
            if (!match)
                continue;
        }
        return list[i];
    }
    return nullptr;
}

// libftdi reports a refused open only as "libusb_open() failed"; the device node says whether
// permissions were the cause.
TFtdiOpenResult TLibFtdiDriver::Diagnose(libusb_device *device)
{
    const char *text = ftdi_get_error_string(Context.get());
    const std::string error = text ? text : "";
    if (const std::string node = DeviceNode(device); NodeRefused(node))
        return {TFtdiOpenStatus::AccessDenied, node};
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
    result.Bus = libusb_get_bus_number(device);
    result.Address = libusb_get_device_address(device);
    if (Context->type == TYPE_AM || Context->type == TYPE_BM) {
        result = {TFtdiOpenStatus::NoBitBang, result.Chip};
        return;
    }
    if (Context->type == TYPE_230X) {
        libusb_device_descriptor d{};
        libusb_get_device_descriptor(device, &d);
        const bool full = StringDescriptor(Context->usb_dev, d.iProduct).find("231X") != std::string::npos;
        result.Chip = full ? "FT231X" : "FT230X";
        if (!full)
            result.Pins = FtdiPin::Txd | FtdiPin::Rxd | FtdiPin::Rts | FtdiPin::Cts;
    }
    int invert = 0;
    if ((Context->type == TYPE_R || Context->type == TYPE_230X) && ftdi_read_eeprom(Context.get()) >= 0 &&
        ftdi_eeprom_decode(Context.get(), 0) >= 0 && ftdi_get_eeprom_value(Context.get(), INVERT, &invert) >= 0)
        result.Inverted = static_cast<std::uint8_t>(invert);
}

// The kernel's driver gets the chip back when libftdi releases it; the context goes with it.
void TLibFtdiDriver::Close()
{
    StopReading();
    if (IsOpen)
        ftdi_usb_close(Context.get());
    IsOpen = false;
    Context.reset();
}

bool TLibFtdiDriver::Submit(TBulk &bulk, int endpoint, std::size_t size, libusb_transfer_cb_fn callback)
{
    if (!bulk.Transfer)
        return Fail("libusb could not allocate a transfer");
    if (bulk.Buffer.size() < size)
        bulk.Buffer.resize(size);
    libusb_fill_bulk_transfer(bulk.Transfer, Context->usb_dev, static_cast<unsigned char>(endpoint),
                              bulk.Buffer.data(), static_cast<int>(size), callback, this, 0);
    const int result = libusb_submit_transfer(bulk.Transfer);
    bulk.Busy = result == 0;
    return bulk.Busy || Fail(UsbError(result));
}

// Handles USB events until done() or the deadline; false on the deadline or an error.
bool TLibFtdiDriver::Pump(const TClock::time_point &deadline, const std::function<bool()> &done)
{
    while (!done()) {
        if (TClock::now() >= deadline)
            return false;
        timeval slice{0, EventSliceUs};
        const int result = libusb_handle_events_timeout_completed(Context->usb_ctx, &slice, nullptr);
        if (result < 0 && result != LIBUSB_ERROR_INTERRUPTED)
            return Fail(UsbError(result));
    }
    return true;
}

// Cancels what is still in flight and waits until libusb has given every transfer back.
bool TLibFtdiDriver::Settle(std::initializer_list<TBulk *> bulks)
{
    Cancelling = true;
    for (TBulk *bulk : bulks)
        if (bulk->Busy)
            libusb_cancel_transfer(bulk->Transfer);
    const std::string reason = LastError;
    const auto deadline = TClock::now() + std::chrono::duration_cast<TClock::duration>(std::chrono::duration<double>(CancelSeconds));
    const bool back = Pump(deadline, [&] { return std::none_of(bulks.begin(), bulks.end(), [](TBulk *b) { return b->Busy; }); });
    Cancelling = false;
    LastError = reason;
    if (!back)
        Abandon(bulks);
    return back;
}

// A transfer that never came back may still be completed by libusb, which only happens while its
// events are handled: the context, the device and the transfers are left to the end of the
// process, never touched again, and the next open starts afresh.
void TLibFtdiDriver::Abandon(std::initializer_list<TBulk *> bulks)
{
    for (TBulk *bulk : bulks)
        if (bulk->Busy) {
            bulk->Transfer = libusb_alloc_transfer(0);
            bulk->Buffer = {};
            bulk->Busy = false;
        }
    Context.release(); // NOLINT(bugprone-unused-return-value): left on purpose
    IsOpen = false;
    Reading = false;
}

void LIBUSB_CALL TLibFtdiDriver::BitBangWrite(libusb_transfer *transfer)
{
    auto *self = static_cast<TLibFtdiDriver *>(transfer->user_data);
    self->Out.Busy = false;
}

void LIBUSB_CALL TLibFtdiDriver::BitBangRead(libusb_transfer *transfer)
{
    auto *self = static_cast<TLibFtdiDriver *>(transfer->user_data);
    self->In.Busy = false;
    if (transfer->status != LIBUSB_TRANSFER_COMPLETED)
        return;
    self->InGot += AppendPayload(transfer, self->Context->max_packet_size, self->InTo + self->InGot,
                                 self->InWanted - self->InGot);
    if (self->InGot < self->InWanted && !self->Cancelling)
        self->In.Busy = libusb_submit_transfer(transfer) == 0;
}

// The samples are read while they are written: in synchronous mode the chip stops clocking while
// nobody takes what it has sampled. libftdi's own completion polls without a pause and submits a
// timed-out transfer again, which spins a core and never gives up on a wedged chip; this one waits
// for events in slices and gives up at the deadline, cancelling both directions.
bool TLibFtdiDriver::Transfer(const std::uint8_t *out, std::uint8_t *in, std::size_t size, double timeoutSeconds)
{
    if (!IsOpen)
        return Fail("the device is not open");
    LastError.clear();
    const unsigned packet = std::max(Context->max_packet_size, 64u);
    InTo = in;
    InWanted = size;
    InGot = 0;
    const std::size_t readSize = std::min<std::size_t>((size / (packet - 2) + 2) * packet, ReadSize);
    if (!Submit(In, Context->out_ep, readSize, &BitBangRead))
        return false;
    Out.Buffer.assign(out, out + size);
    if (!Submit(Out, Context->in_ep, size, &BitBangWrite)) {
        Settle({&In});
        return false;
    }
    const auto deadline = TClock::now() + std::chrono::duration_cast<TClock::duration>(std::chrono::duration<double>(timeoutSeconds));
    const bool done = Pump(deadline, [this] { return !In.Busy && !Out.Busy; });
    if (!done) {
        char text[64];
        std::snprintf(text, sizeof text, "no answer within %.1f s", timeoutSeconds);
        if (LastError.empty())
            LastError = text;
        Settle({&In, &Out});
        return false;
    }
    if (Out.Transfer->status != LIBUSB_TRANSFER_COMPLETED || Out.Transfer->actual_length != static_cast<int>(size))
        return Fail(TransferError(Out.Transfer->status));
    if (InGot != size)
        return Fail(TransferError(In.Transfer->status));
    return true;
}

bool TLibFtdiDriver::Write(const std::uint8_t *data, std::size_t size)
{
    return Call([&](ftdi_context *c) {
        const int written = ftdi_write_data(c, data, static_cast<int>(size));
        return written == static_cast<int>(size) ? written : -1;
    });
}

void LIBUSB_CALL TLibFtdiDriver::UartRead(libusb_transfer *transfer)
{
    auto *self = static_cast<TLibFtdiDriver *>(transfer->user_data);
    TBulk *bulk = nullptr;
    for (TBulk &pending : self->Pending)
        if (pending.Transfer == transfer)
            bulk = &pending;
    bulk->Busy = false;
    if (transfer->status != LIBUSB_TRANSFER_COMPLETED)
        return;
    std::string payload(static_cast<std::size_t>(transfer->actual_length), '\0');
    payload.resize(AppendPayload(transfer, self->Context->max_packet_size,
                                 reinterpret_cast<std::uint8_t *>(payload.data()), payload.size()));
    self->Arrived += payload;
    if (self->Reading && !self->Cancelling)
        bulk->Busy = libusb_submit_transfer(transfer) == 0;
}

bool TLibFtdiDriver::StartReading()
{
    if (!IsOpen)
        return Fail("the device is not open");
    if (Reading)
        return true;
    Reading = true;
    for (TBulk &bulk : Pending)
        if (!Submit(bulk, Context->out_ep, ReadSize, &UartRead)) {
            StopReading();
            return false;
        }
    return true;
}

void TLibFtdiDriver::StopReading()
{
    if (!Reading)
        return;
    Reading = false;
    Settle({&Pending[0], &Pending[1], &Pending[2], &Pending[3]});
}

// What the pending reads brought in, with the events they are waiting for handled first (without
// blocking); without reads pending, libftdi's own read.
int TLibFtdiDriver::Read(std::uint8_t *data, std::size_t size)
{
    if (!IsOpen)
        return -1;
    if (Reading) {
        timeval now{0, 0};
        const int result = libusb_handle_events_timeout_completed(Context->usb_ctx, &now, nullptr);
        if (result < 0 && result != LIBUSB_ERROR_INTERRUPTED) {
            Fail(UsbError(result));
            return -1;
        }
        if (std::none_of(std::begin(Pending), std::end(Pending), [](const TBulk &b) { return b.Busy; }) &&
            Arrived.empty()) {
            Fail("the chip stopped sending");
            return -1;
        }
    } else if (Arrived.empty()) {
        int got = 0;
        return Call([&](ftdi_context *c) { return got = ftdi_read_data(c, data, static_cast<int>(size)); }) ? got : -1;
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
    TContext lister = NewContext();
    if (!lister)
        return devices;
    TDeviceList list(lister.get());
    for (ftdi_device_list *entry = list.Count > 0 ? list.List : nullptr; entry; entry = entry->next) {
        TFtdiDeviceInfo info;
        libusb_device_descriptor descriptor{};
        if (libusb_get_device_descriptor(entry->dev, &descriptor) == 0) {
            info.Vendor = descriptor.idVendor;
            info.Product = descriptor.idProduct;
        }
        info.Bus = libusb_get_bus_number(entry->dev);
        info.Address = libusb_get_device_address(entry->dev);
        char manufacturer[128] = "", description[128] = "", serial[128] = "";
        if (ftdi_usb_get_strings(lister.get(), entry->dev, manufacturer, sizeof manufacturer, description,
                                 sizeof description, serial, sizeof serial) < 0) {
            const std::string node = DeviceNode(entry->dev);
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

std::unique_ptr<TFtdiDriver> CreateLibFtdiDriver()
{
    return std::make_unique<TLibFtdiDriver>();
}

std::string LibFtdiVersion()
{
    return std::string("libftdi ") + ftdi_get_library_version().version_str;
}
