// How the transport finds libusb: by its plain name, then by the versioned name the runtime
// package ships. This binary stands in for the dynamic loader's view by defining dlopen itself:
// the transport's calls reach it first, and names it is told are absent fail as missing files.
#include <dlfcn.h>

#include <cstring>
#include <mutex>
#include <set>

#include "standin_control.h"
#include "tolvane_wd.h"
#include "transport_fixture.h"

using namespace transport_test;

namespace {

std::mutex loaderMutex;
std::set<std::string> absent;
std::vector<std::string> asked;

bool isLibusb(const char* file) { return file && std::strncmp(file, "libusb-1.0.so", 13) == 0; }

} // namespace

extern "C" void* dlopen(const char* file, int mode)
{
    using Open = void* (*)(const char*, int);
    static Open real = reinterpret_cast<Open>(dlsym(RTLD_NEXT, "dlopen"));
    if (isLibusb(file)) {
        std::lock_guard<std::mutex> lock(loaderMutex);
        asked.push_back(file);
        if (absent.count(file))
            return nullptr;
        // Either name finds the stand-in.
        return real("libusb-1.0.so", mode);
    }
    return real(file, mode);
}

namespace {

class Loader : public TransportFixture<TolvaneWdAPI::TolvaneWd> {
protected:
    void hide(std::set<std::string> names)
    {
        std::lock_guard<std::mutex> lock(loaderMutex);
        absent = std::move(names);
        asked.clear();
    }
    std::vector<std::string> names()
    {
        std::lock_guard<std::mutex> lock(loaderMutex);
        return asked;
    }
};

TEST_F(Loader, PlainNameComesFirst)
{
    hide({});
    start();
    EXPECT_EQ(names(), std::vector<std::string>{"libusb-1.0.so"});
}

TEST_F(Loader, VersionedNameWhenThePlainOneIsMissing)
{
    hide({"libusb-1.0.so"});
    start();
    EXPECT_EQ(names(), (std::vector<std::string>{"libusb-1.0.so", "libusb-1.0.so.0"}));
    EXPECT_TRUE(standin::initialised());
}

TEST_F(Loader, NoLibusbFailsConstructionBeforeAnyThreadStarts)
{
    hide({"libusb-1.0.so", "libusb-1.0.so.0"});
    size_t threads = threadCount();
    Failure f = failureOf([&] { TolvaneWdAPI::TolvaneWd transport; });
    EXPECT_EQ(f.code, 0x10002u);
    EXPECT_EQ(f.text, "Fatal error: Can not find libusb shared object");
    EXPECT_EQ(threadCount(), threads);
    EXPECT_EQ(names(), (std::vector<std::string>{"libusb-1.0.so", "libusb-1.0.so.0"}));
    auto records = log.records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].level, severity::error);
    EXPECT_EQ(records[0].message,
              "dlopen/load of libusb failed, exiting constructor without calling DriverInit");
    EXPECT_TRUE(standin::calls().empty());
}

} // namespace
