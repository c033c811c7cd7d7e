// A libusb found only on the search path, not beside the host program, is not loaded.
#include <gtest/gtest.h>

#include "exceptions.h"
#include "tolvane_libusb.h"

TEST(WinTransportNoLib, ConstructionFailsWithoutLibusbBesideTheProgram)
{
    try {
        TolvaneWdAPI transport;
        transport.Deinit();
        FAIL() << "constructed without libusb-1.0.dll beside the program";
    } catch (const VemoException& e) {
        EXPECT_EQ(e.getErrorCode(), 0x10002u);
        EXPECT_STREQ(e.what(), "Fatal error: Can not find libusb shared object");
    }
}
