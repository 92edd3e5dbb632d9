// What the libftdi driver reaches below it: the libusb and libftdi1 functions it calls, the clock it
// waits on, and where sysfs and /proc are. The system's own by default; the tests' model of a cable
// on a USB bus answers the same calls (sim/ftdi_bus.h), so the driver's code runs unchanged on it.
// The methods carry the library functions' own names and semantics.
#pragma once
#include <ftdi.h>
#include <libusb.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

class TFtdiUsb {
public:
    using TClock = std::chrono::steady_clock;

    virtual ~TFtdiUsb() = default;

    // ---- libftdi1 ----
    virtual ftdi_context *ftdi_new() = 0;
    virtual void ftdi_free(ftdi_context *ftdi) = 0;
    virtual int ftdi_set_interface(ftdi_context *ftdi, ftdi_interface interface) = 0;
    virtual int ftdi_usb_open_dev(ftdi_context *ftdi, libusb_device *dev) = 0;
    virtual int ftdi_usb_close(ftdi_context *ftdi) = 0;
    virtual int ftdi_read_eeprom(ftdi_context *ftdi) = 0;
    virtual int ftdi_eeprom_decode(ftdi_context *ftdi, int verbose) = 0;
    virtual int ftdi_get_eeprom_value(ftdi_context *ftdi, ftdi_eeprom_value name, int *value) = 0;
    virtual int ftdi_set_bitmode(ftdi_context *ftdi, unsigned char bitmask, unsigned char mode) = 0;
    virtual int ftdi_set_baudrate(ftdi_context *ftdi, int baudrate) = 0;
    virtual int ftdi_set_line_property2(ftdi_context *ftdi, ftdi_bits_type bits, ftdi_stopbits_type sbit,
                                        ftdi_parity_type parity, ftdi_break_type break_type) = 0;
    virtual int ftdi_setdtr_rts(ftdi_context *ftdi, int dtr, int rts) = 0;
    virtual int ftdi_setflowctrl(ftdi_context *ftdi, int flowctrl) = 0;
    virtual int ftdi_set_latency_timer(ftdi_context *ftdi, unsigned char latency) = 0;
    virtual int ftdi_tciflush(ftdi_context *ftdi) = 0;
    virtual int ftdi_poll_modem_status(ftdi_context *ftdi, unsigned short *status) = 0;
    virtual int ftdi_write_data(ftdi_context *ftdi, const unsigned char *buf, int size) = 0;
    virtual int ftdi_usb_find_all(ftdi_context *ftdi, ftdi_device_list **devlist, int vendor, int product) = 0;
    virtual void ftdi_list_free(ftdi_device_list **devlist) = 0;
    virtual int ftdi_usb_get_strings(ftdi_context *ftdi, libusb_device *dev, char *manufacturer, int mnf_len,
                                     char *description, int desc_len, char *serial, int serial_len) = 0;

    // ---- libusb ----
    virtual ssize_t libusb_get_device_list(libusb_context *ctx, libusb_device ***list) = 0;
    virtual void libusb_free_device_list(libusb_device **list, int unref_devices) = 0;
    virtual uint8_t libusb_get_bus_number(libusb_device *dev) = 0;
    virtual uint8_t libusb_get_device_address(libusb_device *dev) = 0;
    virtual int libusb_get_device_descriptor(libusb_device *dev, libusb_device_descriptor *desc) = 0;
    virtual int libusb_open(libusb_device *dev, libusb_device_handle **handle) = 0;
    virtual void libusb_close(libusb_device_handle *handle) = 0;
    virtual int libusb_get_string_descriptor_ascii(libusb_device_handle *handle, uint8_t index, unsigned char *data,
                                                   int length) = 0;
    virtual libusb_transfer *libusb_alloc_transfer(int iso_packets) = 0;
    virtual void libusb_free_transfer(libusb_transfer *transfer) = 0;
    virtual int libusb_submit_transfer(libusb_transfer *transfer) = 0;
    virtual int libusb_cancel_transfer(libusb_transfer *transfer) = 0;
    virtual int libusb_handle_events_timeout_completed(libusb_context *ctx, timeval *tv, int *completed) = 0;

    // ---- the host ----
    virtual TClock::time_point Now() = 0;
    virtual void SleepFor(double seconds) = 0;
    virtual std::string SysfsRoot() const = 0;
    virtual std::string ProcRoot() const = 0;

    // Contexts the driver gave up on while transfers of theirs were still out: the libraries may
    // still complete those, so they stay until they have (Reclaim then frees them and says true).
    struct TParked {
        int Bus = 0, Address = 0; // the device whose interface the context still claims
        std::function<bool()> Reclaim;
    };
    std::vector<TParked> Parked;
};

// The system's libusb and libftdi1, its clock, /sys and /proc; one for the whole process, never freed,
// since a parked context may be completed as long as the process runs.
TFtdiUsb &SystemUsb();
