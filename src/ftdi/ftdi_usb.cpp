#include "ftdi/ftdi_usb.h"

#include <thread>

namespace {

class TSystemUsb final : public TFtdiUsb {
public:
    ftdi_context *ftdi_new() override { return ::ftdi_new(); }
    void ftdi_free(ftdi_context *ftdi) override { ::ftdi_free(ftdi); }
    int ftdi_set_interface(ftdi_context *ftdi, ftdi_interface interface) override
    {
        return ::ftdi_set_interface(ftdi, interface);
    }
    int ftdi_usb_open_dev(ftdi_context *ftdi, libusb_device *dev) override { return ::ftdi_usb_open_dev(ftdi, dev); }
    int ftdi_usb_close(ftdi_context *ftdi) override { return ::ftdi_usb_close(ftdi); }
    int ftdi_read_eeprom(ftdi_context *ftdi) override { return ::ftdi_read_eeprom(ftdi); }
    int ftdi_eeprom_decode(ftdi_context *ftdi, int verbose) override { return ::ftdi_eeprom_decode(ftdi, verbose); }
    int ftdi_get_eeprom_value(ftdi_context *ftdi, ftdi_eeprom_value name, int *value) override
    {
        return ::ftdi_get_eeprom_value(ftdi, name, value);
    }
    int ftdi_set_bitmode(ftdi_context *ftdi, unsigned char bitmask, unsigned char mode) override
    {
        return ::ftdi_set_bitmode(ftdi, bitmask, mode);
    }
    int ftdi_set_baudrate(ftdi_context *ftdi, int baudrate) override { return ::ftdi_set_baudrate(ftdi, baudrate); }
    int ftdi_set_line_property2(ftdi_context *ftdi, ftdi_bits_type bits, ftdi_stopbits_type sbit,
                                ftdi_parity_type parity, ftdi_break_type break_type) override
    {
        return ::ftdi_set_line_property2(ftdi, bits, sbit, parity, break_type);
    }
    int ftdi_setdtr_rts(ftdi_context *ftdi, int dtr, int rts) override { return ::ftdi_setdtr_rts(ftdi, dtr, rts); }
    int ftdi_setflowctrl(ftdi_context *ftdi, int flowctrl) override { return ::ftdi_setflowctrl(ftdi, flowctrl); }
    int ftdi_set_latency_timer(ftdi_context *ftdi, unsigned char latency) override
    {
        return ::ftdi_set_latency_timer(ftdi, latency);
    }
    int ftdi_tciflush(ftdi_context *ftdi) override { return ::ftdi_tciflush(ftdi); }
    int ftdi_poll_modem_status(ftdi_context *ftdi, unsigned short *status) override
    {
        return ::ftdi_poll_modem_status(ftdi, status);
    }
    int ftdi_write_data(ftdi_context *ftdi, const unsigned char *buf, int size) override
    {
        return ::ftdi_write_data(ftdi, buf, size);
    }
    int ftdi_usb_find_all(ftdi_context *ftdi, ftdi_device_list **devlist, int vendor, int product) override
    {
        return ::ftdi_usb_find_all(ftdi, devlist, vendor, product);
    }
    void ftdi_list_free(ftdi_device_list **devlist) override { ::ftdi_list_free(devlist); }
    int ftdi_usb_get_strings(ftdi_context *ftdi, libusb_device *dev, char *manufacturer, int mnf_len,
                             char *description, int desc_len, char *serial, int serial_len) override
    {
        return ::ftdi_usb_get_strings(ftdi, dev, manufacturer, mnf_len, description, desc_len, serial, serial_len);
    }

    ssize_t libusb_get_device_list(libusb_context *ctx, libusb_device ***list) override
    {
        return ::libusb_get_device_list(ctx, list);
    }
    void libusb_free_device_list(libusb_device **list, int unref_devices) override
    {
        ::libusb_free_device_list(list, unref_devices);
    }
    uint8_t libusb_get_bus_number(libusb_device *dev) override { return ::libusb_get_bus_number(dev); }
    uint8_t libusb_get_device_address(libusb_device *dev) override { return ::libusb_get_device_address(dev); }
    int libusb_get_device_descriptor(libusb_device *dev, libusb_device_descriptor *desc) override
    {
        return ::libusb_get_device_descriptor(dev, desc);
    }
    int libusb_open(libusb_device *dev, libusb_device_handle **handle) override { return ::libusb_open(dev, handle); }
    void libusb_close(libusb_device_handle *handle) override { ::libusb_close(handle); }
    int libusb_get_string_descriptor_ascii(libusb_device_handle *handle, uint8_t index, unsigned char *data,
                                           int length) override
    {
        return ::libusb_get_string_descriptor_ascii(handle, index, data, length);
    }
    libusb_transfer *libusb_alloc_transfer(int iso_packets) override { return ::libusb_alloc_transfer(iso_packets); }
    void libusb_free_transfer(libusb_transfer *transfer) override { ::libusb_free_transfer(transfer); }
    int libusb_submit_transfer(libusb_transfer *transfer) override { return ::libusb_submit_transfer(transfer); }
    int libusb_cancel_transfer(libusb_transfer *transfer) override { return ::libusb_cancel_transfer(transfer); }
    int libusb_handle_events_timeout_completed(libusb_context *ctx, timeval *tv, int *completed) override
    {
        return ::libusb_handle_events_timeout_completed(ctx, tv, completed);
    }

    TClock::time_point Now() override { return TClock::now(); }
    void SleepFor(double seconds) override
    {
        if (seconds > 0)
            std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    }
    std::string SysfsRoot() const override { return "/sys"; }
    std::string ProcRoot() const override { return "/proc"; }
};

} // namespace

TFtdiUsb &SystemUsb()
{
    static TFtdiUsb *const system = new TSystemUsb; // NOLINT(cppcoreguidelines-owning-memory): never freed on purpose
    return *system;
}
