// README "Threads" promises a host that every operation works on a thread of its own created
// with pthread_attr_setstacksize(kHostStack): nothing more (glibc puts the thread's TLS and
// descriptor inside that size, and the guard page below it). Every kind of operation runs here
// on such a thread, logging off and on (the file sink and a progress callback), each one on a
// board in ROM context, so that it switches context, downloads the recovery module and sends the
// IFP record first. Before each operation the free part of the stack is filled with a pattern;
// how deep the operation reached is printed, and must leave the stack's last page untouched: an
// operation that comes that close may already have stepped over the guard page with one large
// frame, writing memory that is not its stack.
#include <pthread.h>

#include "ops_support.h"
#include "scratch_dir.h"

namespace ops {
namespace {

constexpr size_t kHostStack = 160 * 1024;
constexpr size_t kPage = 4096;
constexpr uint64_t kPattern = 0x5a17c3e95a17c3e9ull;

const std::string emmcFile = std::string(XOL_TEST_DATA_DIR) + "/platform_emmc.xml";
const std::string ufsFile = std::string(XOL_TEST_DATA_DIR) + "/platform_ufs.xml";

struct StackBounds {
    uintptr_t low = 0;
    uintptr_t top = 0; // the end of the thread's mapping: its TLS and descriptor lie below it
};

StackBounds ownStack()
{
    pthread_attr_t attr;
    StackBounds b;
    if (pthread_getattr_np(pthread_self(), &attr) != 0)
        return b;
    void* addr = nullptr;
    size_t size = 0;
    pthread_attr_getstack(&attr, &addr, &size);
    pthread_attr_destroy(&attr);
    b.low = reinterpret_cast<uintptr_t>(addr);
    b.top = b.low + size;
    return b;
}

// Fills the stack below this function's frame with the pattern.
__attribute__((noinline)) void fillFreeStack(StackBounds const& b)
{
    volatile char here = 0;
    const uintptr_t end = (reinterpret_cast<uintptr_t>(&here) - 1024) & ~uintptr_t{7};
    for (uintptr_t p = b.low; p < end; p += sizeof(uint64_t))
        *reinterpret_cast<volatile uint64_t*>(p) = kPattern;
}

// Bytes from the top of the mapping down to the deepest one written since the fill.
size_t deepestUse(StackBounds const& b)
{
    uintptr_t p = b.low;
    while (p < b.top && *reinterpret_cast<volatile uint64_t*>(p) == kPattern)
        p += sizeof(uint64_t);
    return b.top - p;
}

struct Step {
    const char* name;
    std::function<unsigned long(_error_msg_t*, Progress*)> run;
    bool reports = true; // takes a progress callback
};

struct Outcome {
    unsigned long status = 0;
    std::string text;
    size_t deepest = 0;
    size_t records = 0; // what the progress callback was given
};

struct HostThread {
    std::vector<Step> const* steps;
    std::function<void()> beforeEach;
    std::vector<Outcome> outcomes;
    size_t room = 0;

    static void* body(void* self)
    {
        auto* t = static_cast<HostThread*>(self);
        const StackBounds b = ownStack();
        t->room = b.top - b.low;
        for (Step const& step : *t->steps) {
            t->beforeEach();
            _error_msg_t msg{};
            Progress progress;
            fillFreeStack(b);
            Outcome o;
            o.status = step.run(&msg, &progress);
            o.deepest = deepestUse(b);
            o.text = msg.text;
            o.records = progress.all().size();
            t->outcomes.push_back(o);
        }
        return nullptr;
    }
};

// Every kind of operation on `b`, the files it reads and writes in `dir`.
std::vector<Step> steps(IVemoAPI* api, const Board& b, ScratchDir const& dir)
{
    const std::string rec = dir.path("recovery.bin");
    const std::string image = dir.path("image.bin");
    const std::string out = dir.path("out.bin");
    writeFile(rec, moduleText({"rcipifwi", "xolmod"}, 3000, 7));
    writeFile(image, moduleText({"xolmod", "rcipifwi"}, 5000, 3));
    // The eMMC sample with a chain of ignored elements under its device, to the deepest level
    // of nesting a platform configuration may have (64, "config" the first): the XML reader
    // descends once per level.
    const std::string deep = dir.path("deep.xml");
    std::string chain;
    for (int level = 3; level <= 64; ++level)
        chain = "<n>" + chain + "</n>";
    std::string sample = readFile(emmcFile);
    sample.insert(sample.find("</device>"), chain);
    writeFile(deep, sample);
    const std::string id = b.ident;
    const auto cb = Progress::callback;
    return {
        // The listing's record is the host's, kept off the stack as README asks.
        {"getavailabletargets",
         [=](_error_msg_t* m, Progress*) {
             static _soc_device_info_arr_t targets;
             return api->getavailabletargets(&targets, m);
         },
         false},
        {"deviceid",
         [=](_error_msg_t* m, Progress* p) {
             _id_dev_ifp_emulation_t record = ifpRecord(1, "ABCD", 3);
             _oem_platform_id_t oem;
             _platform_id_t pid;
             _id_dev_flags_t flags;
             _image_error_values_t errors;
             return api->deviceid(0, &record, &oem, &pid, &flags, &errors, id.c_str(), m, cb, p);
         }},
        {"downloadfwrecovery",
         [=](_error_msg_t* m, Progress* p) {
             _id_dev_ifp_emulation_t record = ifpRecord(1, "ABCD", 3);
             return api->downloadfwrecovery(rec.c_str(), id.c_str(), &record, m, cb, p);
         }},
        {"downloadfwos",
         [=](_error_msg_t* m, Progress* p) {
             _prov_fw_image_cmd_flags_t flags{1};
             return api->downloadfwos(rec.c_str(), image.c_str(), &flags, nullptr, nullptr,
                                      id.c_str(), m, cb, p);
         }},
        {"writetoken",
         [=](_error_msg_t* m, Progress* p) {
             const std::string token = patternText(300, 11);
             return api->writetoken(rec.c_str(), token.data(), token.size(), 5, id.c_str(), m,
                                    cb, p);
         }},
        {"readtoken",
         [=](_error_msg_t* m, Progress* p) {
             char buffer[512];
             size_t length = sizeof buffer;
             return api->readtoken(rec.c_str(), buffer, &length, 3, id.c_str(), m, cb, p);
         }},
        {"readtoken2",
         [=](_error_msg_t* m, Progress* p) {
             return api->readtoken2(rec.c_str(), out.c_str(), 3, id.c_str(), m, cb, p);
         }},
        {"erasetoken",
         [=](_error_msg_t* m, Progress* p) {
             return api->erasetoken(rec.c_str(), 5, id.c_str(), m, cb, p);
         }},
        {"getcardinfo",
         [=](_error_msg_t* m, Progress* p) {
             unsigned char type = 3;
             char info[1024];
             size_t length = sizeof info;
             return api->getcardinfo(rec.c_str(), &type, 0, info, &length, id.c_str(), m, cb, p);
         }},
        {"readbootmedia",
         [=](_error_msg_t* m, Progress* p) {
             _content_addr_t addr{1, 0, 16};
             std::string media(16 * 512, '\0');
             size_t length = media.size();
             return api->readbootmedia(rec.c_str(), 2, 0, &addr, media.data(), &length,
                                       id.c_str(), m, cb, p);
         }},
        {"readbootmedia2",
         [=](_error_msg_t* m, Progress* p) {
             _content_addr_t addr{1, 0, 16};
             return api->readbootmedia2(rec.c_str(), 2, 0, &addr, out.c_str(), id.c_str(), m,
                                        cb, p);
         }},
        {"configpart eMMC",
         [=](_error_msg_t* m, Progress* p) {
             return api->configpart(rec.c_str(), emmcFile.c_str(), 2, 0, id.c_str(), m, cb, p);
         }},
        {"configpart, nested",
         [=](_error_msg_t* m, Progress* p) {
             return api->configpart(rec.c_str(), deep.c_str(), 2, 0, id.c_str(), m, cb, p);
         }},
        {"configpart UFS",
         [=](_error_msg_t* m, Progress* p) {
             return api->configpart(rec.c_str(), ufsFile.c_str(), 3, 0, id.c_str(), m, cb, p);
         }},
        {"clearRPMB",
         [=](_error_msg_t* m, Progress* p) {
             return api->clearRPMB(rec.c_str(), 2, 0, id.c_str(), m, cb, p);
         }},
    };
}

// The library acquired afresh with logging as given, and every step run on one thread of the
// promised size, each on the board back in ROM context. The first step, the listing, also
// creates the transport there (loading libusb, identifying the board), as a host's first
// operation does.
void runOnHostThread(SimBed& bed, bool logging)
{
    const char* const mode = logging ? "on" : "off";
    ScratchDir dir;
    Board b = plugBoard(bed, boardState(0));
    IVemoAPI* api = api_acquire();
    ASSERT_NE(api, nullptr);
    api->setlogging(logging, logging ? dir.path("debug.log") : "");
    const std::vector<Step> all = steps(api, b, dir);
    HostThread t{&all, [&b] { b.dev->edit([](XolDeviceState& s) { s.context = 0; }); }, {}};
    pthread_attr_t attr;
    ASSERT_EQ(pthread_attr_init(&attr), 0);
    ASSERT_EQ(pthread_attr_setstacksize(&attr, kHostStack), 0);
    pthread_t thread;
    ASSERT_EQ(pthread_create(&thread, &attr, &HostThread::body, &t), 0);
    pthread_attr_destroy(&attr);
    ASSERT_EQ(pthread_join(thread, nullptr), 0);
    api_release();
    bed.unplug(b.id);

    ASSERT_EQ(t.room, kHostStack);
    ASSERT_EQ(t.outcomes.size(), all.size());
    for (size_t i = 0; i < all.size(); ++i) {
        Outcome const& o = t.outcomes[i];
        std::printf("stack used, %s, logging %s: %-18s %6zu of %zu bytes (%zu records)\n",
                    bed.name().c_str(), mode, all[i].name, o.deepest, kHostStack, o.records);
        EXPECT_EQ(o.status, 0u) << all[i].name << ", logging " << mode << ": " << o.text;
        EXPECT_EQ(o.text, "Success") << all[i].name << ", logging " << mode;
        if (logging && all[i].reports) {
            EXPECT_GT(o.records, 0u) << all[i].name << ": the callback was given nothing";
        }
        EXPECT_LE(o.deepest, kHostStack - kPage)
            << all[i].name << ", logging " << mode << ": within a page of the guard";
    }
}

TEST(HostStack, EveryOperationOnAThreadOfThePromisedStack)
{
    std::unique_ptr<SimBed> bed = makeSimBed();
    runOnHostThread(*bed, false);
    runOnHostThread(*bed, true);
}

} // namespace
} // namespace ops
