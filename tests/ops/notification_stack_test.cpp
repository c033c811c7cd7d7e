// Arrivals are identified on the transport's notification thread, and an identification job
// needs about 120 KB of stack: the library must not depend on the host's default thread stack
// for it. This host makes the default far smaller than one job.
#include <pthread.h>

#include "ops_support.h"

namespace ops {
namespace {

TEST(NotificationThread, IdentifiesArrivalsWhateverTheHostsDefaultStack)
{
    std::unique_ptr<SimBed> bed = makeSimBed();
    // From here on every thread created without attributes gets 64 KiB: the library's threads
    // included, the bed's own already running.
    pthread_attr_t attr;
    ASSERT_EQ(pthread_getattr_default_np(&attr), 0);
    ASSERT_EQ(pthread_attr_setstacksize(&attr, 64 * 1024), 0);
    ASSERT_EQ(pthread_setattr_default_np(&attr), 0);
    pthread_attr_destroy(&attr);

    IVemoAPI* api = api_acquire();
    ASSERT_NE(api, nullptr);
    ASSERT_EQ(listed(api), std::vector<std::string>{});
    Board b = plugBoard(*bed, boardState(1));
    EXPECT_TRUE(waitListed(api, b.ident));
    EXPECT_EQ(b.mark(), 2u) << "Id Device and the context query";
    api_release();
}

} // namespace
} // namespace ops
