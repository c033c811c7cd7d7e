// Read Boot Media into a file takes no memory of the read's size: the data goes to the file as it
// arrives. Shown by the peak resident memory, reset right before the read, in a binary of its own
// so that no earlier test's freed memory can hide the growth.
#include <cstdio>
#include <fstream>
#include <malloc.h>

#include "ops_host.h"

namespace ops {
namespace {

constexpr size_t MiB = 1024 * 1024;

// The process's peak resident memory in bytes since the last reset (VmHWM), or 0 when unknown.
size_t peakResident()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0)
            return static_cast<size_t>(std::stoull(line.substr(6))) * 1024;
    return 0;
}

// Lowers the peak to what is resident now; false where the kernel cannot.
bool resetPeak()
{
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
    clear.flush();
    return static_cast<bool>(clear);
}

class Memory : public HostTest {
protected:
    _error_msg_t msg{};
};

TEST_F(Memory, BootMediaReadIntoAFileNeedsNoMemoryOfItsSize)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer keeps freed memory in quarantine: the peak is its own";
#endif
    const size_t size = 128 * MiB;
    XolDeviceState st = boardState(1);
    Bytes& media = st.device(2, 0).media[1];
    media.resize(size);
    for (size_t i = 0; i < size; i += 4096)
        media[i] = static_cast<uint8_t>(i / 4096);
    Board& b = plug(std::move(st));
    const std::string path = host.tmp + "/media128.bin";
    _content_addr_t addr{1, 0, static_cast<uint32_t>(size / 512)};

    malloc_trim(0);
    if (!resetPeak() || peakResident() == 0)
        GTEST_SKIP() << "the peak resident memory cannot be reset and read here";
    const size_t before = peakResident();
    ASSERT_EQ(api->readbootmedia2(recovery, 2, 0, &addr, path.c_str(), b.ident.c_str(), &msg,
                                  nullptr, nullptr),
              0u)
        << msg.text;
    const size_t growth = peakResident() - before;

    // The board copies the range it serves once, at the start of the download; the library may
    // add a few MiB on top of that, never another copy of the read.
    EXPECT_LT(growth, size + 16 * MiB) << "peak grew by " << growth / MiB << " MiB";
    std::ifstream written(path, std::ios::binary | std::ios::ate);
    EXPECT_EQ(static_cast<size_t>(written.tellg()), size);
    EXPECT_TRUE(b.hostErrors().empty());
    std::remove(path.c_str());
}

} // namespace
} // namespace ops
