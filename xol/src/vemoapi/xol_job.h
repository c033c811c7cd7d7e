// The two bases of every job: a one-shot, synchronous device procedure that owns the device's
// protocol object, and the variant that first brings the device into XoL context.
#ifndef XOL_JOB_H
#define XOL_JOB_H

#include <string>

#include <boost/log/sources/severity_logger.hpp>
#include <boost/log/trivial.hpp>

#include "tolvane_libusb.h"
#include "vemoapi.h"
#include "xol_api.h"

class XolJobV2 {
public:
    XolJobV2(TolvaneWdAPI* transport, unsigned long timeoutMs, TolvaneConnection const& board);
    virtual ~XolJobV2();
    XolJobV2(XolJobV2 const&) = delete;
    XolJobV2& operator=(XolJobV2 const&) = delete;

    // Runs the procedure on the calling thread; refused once the results were taken as valid.
    void start();
    // Marks the results valid; there is nothing to wait for.
    void join();
    bool isResultValid() const { return resultValid; }
    boost::log::sources::severity_logger<boost::log::trivial::severity_level>& getLogger()
    {
        return logger;
    }
    // Asks the device for its context with Start Over 0.
    unsigned int startover();

protected:
    virtual void run() = 0;
    // Getters call it before reading a result.
    void requireValid() const;
    void log(std::string const& text);

    XolAPI& api() { return xolApi; }

private:
    bool resultValid;
    boost::log::sources::severity_logger<boost::log::trivial::severity_level> logger;
    // Kept for the job's lifetime; the protocol object is what talks through it.
    [[maybe_unused]] TolvaneWdAPI* transport;
    XolAPI xolApi;
};

class XolJobComplexV2 : public XolJobV2 {
public:
    XolJobComplexV2(TolvaneWdAPI* transport, unsigned long timeoutMs, TolvaneConnection const& board,
                    char const* recoveryPath, _id_dev_ifp_emulation_t* ifpRecord);

    void switchDeviceCtx(_DEVICE_CTX wanted);
    void downloadRecoveryModule();
    void sendXolIfpEmulation();
    void configureProtocol();

private:
    std::string recoveryPath;
    _id_dev_ifp_emulation_t* ifpRecord;
};

#endif
