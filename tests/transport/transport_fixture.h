// A transport started over the test binary's bed, with a registered listener and a log capture;
// stopped and destroyed after each test. `Transport` is the face or the implementation.
#ifndef XOL_TEST_TRANSPORT_FIXTURE_H
#define XOL_TEST_TRANSPORT_FIXTURE_H

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "sim_bed.h"
#include "transport_support.h"

template <typename Transport>
class TransportFixture : public ::testing::Test {
protected:
    void TearDown() override { stop(); }

    void start()
    {
        wd = std::make_unique<Transport>();
        wd->Register(&listener);
    }
    void stop()
    {
        if (wd) {
            wd->Deinit();
            wd.reset();
        }
    }
    // Plugs a device into the running transport and waits for its attach; empty when none came.
    std::string attach(const SimDeviceDesc& desc, std::shared_ptr<SimFunction> fn,
                       SimBed::DeviceId* id = nullptr)
    {
        size_t before = listener.events().size();
        SimBed::DeviceId plugged = bed->plug(desc, std::move(fn));
        if (id)
            *id = plugged;
        auto events = listener.waitFor(before + 1);
        if (events.size() <= before || events[before].rfind("attach ", 0) != 0)
            return std::string();
        return events[before].substr(7);
    }

    transport_test::LogCapture log;
    std::unique_ptr<SimBed> bed = makeSimBed();
    transport_test::Listener listener;
    std::unique_ptr<Transport> wd;
};

#endif
