// The event queue between the detecting threads and the notification thread, and the registry
// of hot-plug listeners that thread calls.
#include "tolvane_wd.h"

#include <exception>
#include <utility>

#include <boost/format.hpp>

void TolvaneWdAPI::TolvaneWd::EventPush(TVD_EVENT event, void* handle, const std::string& serial)
{
    BOOST_LOG_FUNCTION();
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        WD_LOG(trace) << "Event queue had been Locked";
        eventQueue.push_back(TVD_EVENT_INFO{event, handle, serial});
        WD_LOG(trace) << "Event was pushed the event queue";
    }
    WD_LOG(trace) << "Event queue had been unlocked";
    queueCv.notify_all();
}

void TolvaneWdAPI::TolvaneWd::EventPop(TVD_EVENT& event, void*& handle, std::string& serial)
{
    BOOST_LOG_FUNCTION();
    {
        std::unique_lock<std::mutex> lock(queueMutex);
        queueCv.wait(lock, [this] { return !eventQueue.empty(); });
        WD_LOG(trace) << "Event queue had been Locked";
        TVD_EVENT_INFO& front = eventQueue.front();
        event = front.event;
        handle = front.handle;
        serial = front.serial;
        eventQueue.pop_front();
        WD_LOG(trace) << "Event was poped out of the event queue";
    }
    WD_LOG(trace) << "Event queue had been unlocked";
}

void TolvaneWdAPI::TolvaneWd::NotificationThreadEntry()
{
    BOOST_LOG_FUNCTION();
    WD_LOG(debug) << "Notification thread started";
    for (;;) {
        try {
            TVD_EVENT event;
            void* handle = nullptr;
            std::string serial;
            EventPop(event, handle, serial);
            switch (event) {
            case TVD_EVENT_ATTACH: {
                WD_LOG(debug) << "NotificationThreadEntry: Device attach";
                std::string found;
                // A device that left before its attach was taken is not announced.
                if (FindSNByHandle(static_cast<libusb_device_handle*>(handle), found))
                    NotifyDeviceAttach(found);
                break;
            }
            case TVD_EVENT_DETACH:
                WD_LOG(debug) << "NotificationThreadEntry: Device detach";
                if (!serial.empty())
                    NotifyDeviceDetach(serial);
                break;
            case TVD_EVENT_EXIT:
                WD_LOG(debug) << "NotificationThreadEntry: exit";
                WD_LOG(debug) << "Notification thread finished";
                return;
            default:
                break;
            }
        } catch (const std::exception& e) {
            WD_LOG(error) << boost::format("Caught an exception: %s") % e.what();
        } catch (...) {
            // A listener's foreign exception would otherwise end the process.
            WD_LOG(error) << boost::format("Caught an exception: %s") % "unknown exception";
        }
    }
}

void TolvaneWdAPI::TolvaneWd::NotifyDeviceAttach(std::string serial)
{
    BOOST_LOG_FUNCTION();
    std::lock_guard<std::recursive_mutex> lock(callbackMutex);
    WD_LOG(trace) << "Locked";
    for (auto& entry : callbackDb)
        entry.second->attach(serial);
}

void TolvaneWdAPI::TolvaneWd::NotifyDeviceDetach(std::string serial)
{
    BOOST_LOG_FUNCTION();
    std::lock_guard<std::recursive_mutex> lock(callbackMutex);
    WD_LOG(trace) << "Locked";
    for (auto& entry : callbackDb)
        entry.second->detach(serial);
}

void* TolvaneWdAPI::TolvaneWd::Register(ITolvaneWdAPICallbackObj* listener)
{
    BOOST_LOG_FUNCTION();
    std::lock_guard<std::recursive_mutex> lock(callbackMutex);
    WD_LOG(trace) << "Locked";
    WD_LOG(trace) << "Adding callback object to DB";
    void* key = static_cast<void*>(listener);
    callbackDb.emplace(key, listener);
    WD_LOG(trace) << "DB update success";
    return key;
}

void TolvaneWdAPI::TolvaneWd::Unregister(void* key)
{
    BOOST_LOG_FUNCTION();
    std::lock_guard<std::recursive_mutex> lock(callbackMutex);
    WD_LOG(trace) << "Locked";
    WD_LOG(trace) << "Removing callback object from DB";
    callbackDb.erase(key);
    WD_LOG(trace) << "DB update success";
}
