// The event queue and listener registry: delivery order, dropped events, listener failures and
// the exit event coming last.
#include <stdexcept>

#include "standin_control.h"
#include "test_function.h"
#include "tolvane_wd.h"
#include "transport_fixture.h"

using namespace transport_test;

namespace {

using StandinEvents = TransportFixture<TolvaneWdAPI::TolvaneWd>;

TEST_F(StandinEvents, EventsReachEveryListenerInQueueOrder)
{
    start();
    Listener second;
    wd->Register(&second);
    SimDeviceDesc other = SimDeviceDesc::bulk(0x3C13);
    other.portNumbers = {2};
    SimBed::DeviceId a = 0, b = 0;
    std::string first = attach(SimDeviceDesc::bulk(), std::make_shared<TestFunction>(), &a);
    std::string next = attach(other, std::make_shared<TestFunction>(), &b);
    bed->unplug(a);
    bed->unplug(b);
    std::vector<std::string> expected{"attach " + first, "attach " + next, "detach " + first, "detach " + next};
    EXPECT_EQ(listener.waitFor(4), expected);
    EXPECT_EQ(second.waitFor(4), expected);
}

TEST_F(StandinEvents, AttachOfAGoneHandleEmptyDetachAndUnknownEventsAreDropped)
{
    start();
    int dummy = 0;
    wd->EventPush(TVD_EVENT_ATTACH, &dummy, std::string());
    wd->EventPush(TVD_EVENT_DETACH, &dummy, std::string());
    wd->EventPush(static_cast<TVD_EVENT>(7), &dummy, "ignored");
    wd->EventPush(TVD_EVENT_DETACH, &dummy, "last");
    EXPECT_EQ(listener.waitFor(1), std::vector<std::string>{"detach last"});
}

class Throwing : public ITolvaneWdAPICallbackObj {
public:
    void attach(std::string) override {}
    void detach(std::string serial) override
    {
        if (serial == "std")
            throw std::runtime_error("boom");
        if (serial == "other")
            throw 42;
        seen.push_back(serial);
    }
    std::vector<std::string> seen;
};

TEST_F(StandinEvents, ThrowingListenerSurvivesStandardAndForeignExceptions)
{
    auto impl = std::make_unique<TolvaneWdAPI::TolvaneWd>();
    Throwing throwing;
    impl->Register(&throwing);
    impl->EventPush(TVD_EVENT_DETACH, nullptr, "std");
    impl->EventPush(TVD_EVENT_DETACH, nullptr, "other");
    impl->EventPush(TVD_EVENT_DETACH, nullptr, "fine");
    impl->Deinit(); // delivers everything queued before it
    EXPECT_EQ(throwing.seen, std::vector<std::string>{"fine"});
    EXPECT_TRUE(log.has(severity::error, "Caught an exception: boom"));
    EXPECT_TRUE(log.has(severity::error, "Caught an exception: unknown exception"));
}

TEST_F(StandinEvents, RegistryKeysAreTheListenersThemselves)
{
    start();
    EXPECT_EQ(wd->Register(&listener), static_cast<void*>(&listener)); // second time: same key
    wd->Unregister(reinterpret_cast<void*>(0x1));                      // unknown: no change
    wd->EventPush(TVD_EVENT_DETACH, nullptr, "one");
    EXPECT_EQ(listener.waitFor(1), std::vector<std::string>{"detach one"});

    Listener other;
    wd->Register(&other);
    wd->Unregister(&listener);
    wd->EventPush(TVD_EVENT_DETACH, nullptr, "two");
    EXPECT_EQ(other.waitFor(1), std::vector<std::string>{"detach two"});
    wd->Deinit();
    wd.reset();
    EXPECT_EQ(listener.events(), std::vector<std::string>{"detach one"}); // once, and not after
}

TEST_F(StandinEvents, EventsQueuedBeforeDeinitAreDeliveredBeforeItReturns)
{
    start();
    for (int i = 0; i < 20; ++i)
        wd->EventPush(TVD_EVENT_DETACH, nullptr, std::to_string(i));
    wd->Deinit();
    wd.reset();
    auto events = listener.events();
    ASSERT_EQ(events.size(), 20u);
    EXPECT_EQ(events.back(), "detach 19");
    EXPECT_TRUE(log.has(severity::debug, "Notification thread finished"));
}

} // namespace
