#include "ftdi/libftdi_driver.h"

#include <ftdi.h>
#include <libusb.h>

#include <cerrno>
#include <cstdio>
#include <unistd.h>

namespace {

// Long enough for the largest transfer at the slowest bit-bang rate (32 KiB at 3072 samples per
// second); a device that is gone fails at once rather than by timing out.
constexpr int UsbTimeoutMs = 30000;

using TContext = std::unique_ptr<ftdi_context, void (*)(ftdi_context *)>;

TContext NewContext()
{
    ftdi_context *context = ftdi_new();
    if (context) {
        context->usb_read_timeout = UsbTimeoutMs;
        context->usb_write_timeout = UsbTimeoutMs;
    }
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
    case TYPE_230X: return "FT-X";
    }
    return "unknown FTDI chip";
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
    TLibFtdiDriver() : Context(NewContext()) {}
    ~TLibFtdiDriver() override { Close(); }

    TFtdiOpenResult Open(const std::string &description, int interfaceIndex) override
    {
        Close();
        if (!Context)
            return {TFtdiOpenStatus::Failed, "libftdi could not start libusb"};
        Context->module_detach_mode = AUTO_DETACH_REATACH_SIO_MODULE;
        ftdi_set_interface(Context.get(), static_cast<ftdi_interface>(interfaceIndex));
        const int opened =
            description.empty() ? OpenFirst() : ftdi_usb_open_string(Context.get(), description.c_str());
        if (opened < 0)
            return Diagnose(description);
        IsOpen = true;
        if (Context->type == TYPE_AM || Context->type == TYPE_BM) {
            const std::string name = ChipName(Context->type);
            Close();
            return {TFtdiOpenStatus::NoBitBang, name};
        }
        return {};
    }

    void Close() override
    {
        if (IsOpen)
            ftdi_usb_close(Context.get());
        IsOpen = false;
    }

    bool SetBitMode(std::uint8_t outputs, bool syncBitBang) override
    {
        return Ok(ftdi_set_bitmode(Context.get(), outputs, syncBitBang ? BITMODE_SYNCBB : BITMODE_RESET));
    }
    bool SetBaudRate(int baud) override { return Ok(ftdi_set_baudrate(Context.get(), baud)); }
    bool SetLineProperty(const TLineParams &params, bool breakOn) override
    {
        const ftdi_parity_type parity = params.Parity == 'E' ? EVEN : params.Parity == 'O' ? ODD : NONE;
        return Ok(ftdi_set_line_property2(Context.get(), params.Databits == 7 ? BITS_7 : BITS_8,
                                          params.Stopbits == 2 ? STOP_BIT_2 : STOP_BIT_1, parity,
                                          breakOn ? BREAK_ON : BREAK_OFF));
    }
    bool SetModemControl(bool dtr, bool rts) override
    {
        return Ok(ftdi_setdtr_rts(Context.get(), dtr ? 1 : 0, rts ? 1 : 0));
    }
    bool SetFlowControlOff() override { return Ok(ftdi_setflowctrl(Context.get(), SIO_DISABLE_FLOW_CTRL)); }
    bool SetLatencyTimer(int ms) override
    {
        return Ok(ftdi_set_latency_timer(Context.get(), static_cast<unsigned char>(ms)));
    }
    bool PurgeReceived() override { return Ok(ftdi_tciflush(Context.get())); }
    std::optional<std::uint16_t> ModemStatus() override
    {
        unsigned short status = 0;
        if (!Ok(ftdi_poll_modem_status(Context.get(), &status)))
            return std::nullopt;
        return status;
    }

    // Reading and writing at once: in synchronous mode the chip stops clocking while nobody takes
    // the samples it has made.
    bool Transfer(const std::uint8_t *out, std::uint8_t *in, std::size_t size) override
    {
        if (!IsOpen)
            return false;
        const int count = static_cast<int>(size);
        ftdi_transfer_control *reading = ftdi_read_data_submit(Context.get(), in, count);
        if (!reading)
            return false;
        ftdi_transfer_control *writing = ftdi_write_data_submit(Context.get(), const_cast<std::uint8_t *>(out), count);
        if (!writing) {
            timeval now{0, 0};
            ftdi_transfer_data_cancel(reading, &now);
            return false;
        }
        const int written = ftdi_transfer_data_done(writing);
        const int read = ftdi_transfer_data_done(reading);
        return written == count && read == count;
    }
    bool Write(const std::uint8_t *data, std::size_t size) override
    {
        return IsOpen && ftdi_write_data(Context.get(), data, static_cast<int>(size)) == static_cast<int>(size);
    }
    int Read(std::uint8_t *data, std::size_t size) override
    {
        if (!IsOpen)
            return -1;
        const int got = ftdi_read_data(Context.get(), data, static_cast<int>(size));
        return got < 0 ? -1 : got;
    }

    std::string Error() const override
    {
        if (!Context)
            return "libftdi could not start libusb";
        const char *text = ftdi_get_error_string(Context.get());
        return text ? text : "";
    }

    std::vector<TFtdiDeviceInfo> Devices() override
    {
        std::vector<TFtdiDeviceInfo> devices;
        // A context of its own: reading a device's strings opens and closes it.
        TContext lister = NewContext();
        if (!lister)
            return devices;
        TDeviceList list(lister.get());
        for (ftdi_device_list *entry = list.Count > 0 ? list.List : nullptr; entry; entry = entry->next)
            devices.push_back(Describe(lister.get(), entry->dev));
        return devices;
    }

private:
    bool Ok(int result) const { return IsOpen && result >= 0; }

    int OpenFirst()
    {
        TDeviceList list(Context.get());
        if (list.Count <= 0)
            return -3;
        return ftdi_usb_open_dev(Context.get(), list.List->dev);
    }

    // libftdi reports a refused open only as "libusb_open() failed"; the device nodes say whether
    // permissions were the cause.
    TFtdiOpenResult Diagnose(const std::string &description)
    {
        const std::string error = Error();
        if (error.find("illegal description") != std::string::npos)
            return {TFtdiOpenStatus::Failed,
                    "illegal device string \"" + description +
                        "\" (use d:BUS/DEVICE, i:VENDOR:PRODUCT[:INDEX] or s:VENDOR:PRODUCT:SERIAL)"};
        TDeviceList list(Context.get());
        for (ftdi_device_list *entry = list.Count > 0 ? list.List : nullptr; entry; entry = entry->next)
            if (const std::string node = DeviceNode(entry->dev); NodeRefused(node))
                return {TFtdiOpenStatus::AccessDenied, node};
        if (description.empty() ? list.Count <= 0 : error.find("not found") != std::string::npos)
            return {TFtdiOpenStatus::NotFound, error};
        if (error.find("claim") != std::string::npos)
            return {TFtdiOpenStatus::Busy, error};
        return {TFtdiOpenStatus::Failed, error};
    }

    static TFtdiDeviceInfo Describe(ftdi_context *context, libusb_device *device)
    {
        TFtdiDeviceInfo info;
        libusb_device_descriptor descriptor{};
        if (libusb_get_device_descriptor(device, &descriptor) == 0) {
            info.Vendor = descriptor.idVendor;
            info.Product = descriptor.idProduct;
        }
        info.Bus = libusb_get_bus_number(device);
        info.Address = libusb_get_device_address(device);
        char manufacturer[128] = "", description[128] = "", serial[128] = "";
        if (ftdi_usb_get_strings(context, device, manufacturer, sizeof manufacturer, description,
                                 sizeof description, serial, sizeof serial) < 0) {
            const std::string node = DeviceNode(device);
            info.Problem = NodeRefused(node) ? "no permission to open " + node : ftdi_get_error_string(context);
        }
        info.Manufacturer = manufacturer;
        info.Description = description;
        info.Serial = serial;
        return info;
    }

    TContext Context;
    bool IsOpen = false;
};

} // namespace

std::unique_ptr<TFtdiDriver> CreateLibFtdiDriver()
{
    return std::make_unique<TLibFtdiDriver>();
}

std::string LibFtdiVersion()
{
    return std::string("libftdi ") + ftdi_get_library_version().version_str;
}
