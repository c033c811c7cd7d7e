#include "xol_job_configure.h"

#include "xol_api_utils.h"

void XolJobConfigureDevice::run()
{
    log("Configure device operation started");
    switchDeviceCtx(DEVICE_CTX_XOL);
    const unsigned char type = getType();
    const unsigned char idx = getIdx();
    log("Sending \"Get Card Info\" XoL command");
    std::shared_ptr<XolAPI::GetCardInfoResponse> cardInfo = api().GetCardInfo(type, idx);
    log("Success");
    getConfig()->setCurrentConfiguration(cardInfo->getDeviceInfo());
    unsigned char request[212];
    size_t length = sizeof request;
    getConfig()->generateConfigRequest(request, length);
    Blob requestBlob(reinterpret_cast<char const*>(request), length);
    log("Sending \"Configure Device\" XoL command");
    api().ConfigureDevice(requestBlob, type, idx);
    log("Success");
    log("Configure device operation had been accomplished succesfully");
}
