// The search for the first interface setting with a bulk IN and a bulk OUT endpoint, in
// descriptor order at every level.
#include "tolvane_wd.h"

#include "exceptions.h"

using tolvane::hexText;
using tolvane::libusbStatus;

bool TolvaneWdAPI::TolvaneWd::GetAltSetting(libusb_device* device,
                                            libusb_interface_descriptor const*& setting,
                                            libusb_endpoint_descriptor const*& in,
                                            libusb_endpoint_descriptor const*& out,
                                            libusb_config_descriptor*& config)
{
    BOOST_LOG_FUNCTION();
    config = nullptr;
    auto getActiveConfig =
        Bind<decltype(libusb_get_active_config_descriptor)>("libusb_get_active_config_descriptor");
    int result = getActiveConfig(device, &config);
    if (result != 0 || config == nullptr) {
        config = nullptr;
        WD_LOG(error) << "libusb_get_active_config_descriptor failed, error code: "
                      << hexText(result);
        throw VemoException(libusbStatus(result), GetLibusbError(result));
    }
    WD_LOG(debug) << "Number of interfaces for active configuration: "
                  << static_cast<unsigned>(config->bNumInterfaces);
    for (unsigned i = 0; i < config->bNumInterfaces; ++i) {
        WD_LOG(trace) << "Current interface index: " << i;
        if (GetAltSetting(&config->interface[i], setting, in, out)) {
            WD_LOG(debug) << "Alternate setting was found for interface #" << i;
            return true;
        }
        WD_LOG(trace) << "Alternate setting was not found for current interface";
    }
    return false;
}

bool TolvaneWdAPI::TolvaneWd::GetAltSetting(libusb_interface const* iface,
                                            libusb_interface_descriptor const*& setting,
                                            libusb_endpoint_descriptor const*& in,
                                            libusb_endpoint_descriptor const*& out)
{
    BOOST_LOG_FUNCTION();
    WD_LOG(debug) << "Number of alternate settings: " << iface->num_altsetting;
    for (int j = 0; j < iface->num_altsetting; ++j) {
        WD_LOG(trace) << "Current alternate setting index: " << j;
        if (IoPipeSearch(&iface->altsetting[j], in, out)) {
            WD_LOG(debug) << "Required pipe configuration was found for alternate setting #" << j;
            setting = &iface->altsetting[j];
            return true;
        }
        WD_LOG(trace) << "Required pipe configuration was not found for current alternate setting";
    }
    return false;
}

bool TolvaneWdAPI::TolvaneWd::IoPipeSearch(libusb_interface_descriptor const* setting,
                                           libusb_endpoint_descriptor const*& in,
                                           libusb_endpoint_descriptor const*& out)
{
    BOOST_LOG_FUNCTION();
    WD_LOG(debug) << "Number of endpoints: " << static_cast<unsigned>(setting->bNumEndpoints);
    libusb_endpoint_descriptor const* foundIn = nullptr;
    libusb_endpoint_descriptor const* foundOut = nullptr;
    for (unsigned k = 0; k < setting->bNumEndpoints && !(foundIn && foundOut); ++k) {
        libusb_endpoint_descriptor const* endpoint = &setting->endpoint[k];
        WD_LOG(debug) << "pipe[" << k << "] address: " << hexText(endpoint->bEndpointAddress);
        WD_LOG(debug) << "pipe[" << k << "] attributes: " << hexText(endpoint->bmAttributes);
        WD_LOG(debug) << "pipe[" << k << "] max packet size: " << endpoint->wMaxPacketSize;
        if ((endpoint->bmAttributes & 3) != LIBUSB_TRANSFER_TYPE_BULK)
            continue;
        if (endpoint->bEndpointAddress & LIBUSB_ENDPOINT_IN) {
            if (foundIn == nullptr) {
                foundIn = endpoint;
                WD_LOG(trace) << "Pipe(IN) matches required configuration";
            }
        } else if (foundOut == nullptr) {
            foundOut = endpoint;
            WD_LOG(trace) << "Pipe(OUT) matches required configuration";
        }
    }
    if (!(foundIn && foundOut))
        return false;
    in = foundIn;
    out = foundOut;
    WD_LOG(debug) << "Pipe IN found: " << hexText(in->bEndpointAddress);
    WD_LOG(debug) << "Pipe OUT found: " << hexText(out->bEndpointAddress);
    return true;
}
