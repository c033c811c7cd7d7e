// The library's entry points and the process-wide interface object they share.
#include <chrono>
#include <cstdint>
#include <exception>
#include <iostream>
#include <mutex>
#include <new>
#include <thread>

#include "vemoapi.h"
#include "vemoapi_impl.h"

IVemoAPI* gpApi = nullptr;
uint32_t gApiRefCount = 0;
// Guards gpApi and gApiRefCount. The outermost lock: taken by callers outside any operation, and
// held while the object is built and while the last release destroys it, which waits on
// flightLock for the operations still running and then stops the transport.
std::mutex gApiMtx;

extern "C" IVemoAPI* api_acquire()
{
    std::unique_lock<std::mutex> lock(gApiMtx, std::defer_lock);
    try {
        lock.lock();
    } catch (std::exception const&) {
        return nullptr;
    }
    if (gApiRefCount != 0) {
        ++gApiRefCount;
        return gpApi;
    }
    VemoAPI* api = nullptr;
    try {
        api = new VemoAPI();
    } catch (std::exception const&) {
        return nullptr;
    }
    gApiRefCount = 1;
    gpApi = api;
    return api;
}

extern "C" void api_release()
{
    std::unique_lock<std::mutex> lock(gApiMtx, std::defer_lock);
    try {
        lock.lock();
    } catch (std::exception const&) {
        return;
    }
    if (gApiRefCount == 0)
        return;
    if (--gApiRefCount != 0)
        return;
    delete static_cast<VemoAPI*>(gpApi);
    gpApi = nullptr;
}

IVemoAPI* vemoapi_alloc()
{
    VemoAPI* api = nullptr;
    try {
        api = new VemoAPI();
    } catch (std::exception const& e) {
        std::cout << "ERROR: " << e.what() << std::endl;
        return nullptr;
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
    return api;
}

void vemoapi_dealloc(IVemoAPI* api)
{
    delete static_cast<VemoAPI*>(api);
}
