// A libusb that lacks libusb_open beside the program: attaching each supported device fails by
// exception, which the scan reports as if a device had been attached. The start-up scan must
// still end, on its first pass that attaches nothing, and leave no device open.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <future>
#include <memory>
#include <thread>

#include "standin_control.h"
#include "tolvane_libusb.h"

namespace {

int listCalls()
{
    auto calls = standin::calls();
    return static_cast<int>(std::count(calls.begin(), calls.end(), "libusb_get_device_list(null)"));
}

TEST(WinStartupScan, EndsWhenAttachingKeepsFailingByException)
{
    standin::reset();
    standin::plug(SimDeviceDesc::bulk(0x3C11), nullptr);
    standin::plug(SimDeviceDesc::bulk(0x3C17), nullptr);

    std::promise<std::unique_ptr<TolvaneWdAPI>> made;
    std::future<std::unique_ptr<TolvaneWdAPI>> transport = made.get_future();
    std::thread starter([&made] {
        try {
            made.set_value(std::make_unique<TolvaneWdAPI>());
        } catch (...) {
            made.set_exception(std::current_exception());
        }
    });
    // A scan that never ends keeps the constructor from returning: nothing could join it, so
    // the test ends the process rather than leave ctest waiting.
    if (transport.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
        std::fprintf(stderr, "start-up scan still running after 20 s and %d device-list passes\n",
                     listCalls());
        std::fflush(stderr);
        std::_Exit(1);
    }
    starter.join();
    std::unique_ptr<TolvaneWdAPI> started = transport.get();
    EXPECT_EQ(started->EnumerateDevices().size(), 0u);
    EXPECT_EQ(listCalls(), 1);
    started->Deinit();
}

} // namespace
