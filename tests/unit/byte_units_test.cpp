// Byte units moving bytes between files, buffers and memory, and the module directory lookup.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <sstream>
#include <string>

#include "scratch_dir.h"
#include "test_bytes.h"
#include "exceptions.h"
#include "xol_api_utils.h"

namespace {

using testkit::patternText;

std::string contentOf(Blob& b)
{
    std::stringbuf* buf = b.getStreamBufferPtr();
    return buf ? buf->str() : std::string();
}

TEST(BlobTest, FileRoundTripOfEmptyAndLargeFiles)
{
    ScratchDir dir;
    for (size_t size : {size_t{0}, size_t{1}, size_t{1048576}, size_t{3000000}}) {
        const std::string bytes = patternText(size);
        ScratchDir::write(dir.path("in.bin"), bytes);
        Blob b(dir.path("in.bin"));
        EXPECT_EQ(contentOf(b), bytes) << size;
        b.write(dir.path("out.bin"));
        EXPECT_EQ(ScratchDir::read(dir.path("out.bin")), bytes) << size;
        // A unit can be written out any number of times.
        b.write(dir.path("out2.bin"));
        EXPECT_EQ(ScratchDir::read(dir.path("out2.bin")), bytes) << size;
    }
}

TEST(BlobTest, MissingFileThrowsStreamFailure)
{
    ScratchDir dir;
    EXPECT_THROW(Blob(dir.path("absent.bin")), std::ios_base::failure);
    EXPECT_THROW(Token(dir.path("absent.bin")), std::ios_base::failure);
}

TEST(BlobTest, FileOfFourGibibytesAndMoreIsRefusedBeforeItIsRead)
{
    // Sparse: nothing of it is on the disk. A 32-bit size_t would hold its length as 100.
    ScratchDir dir;
    ScratchDir::write(dir.path("huge.bin"), patternText(100));
    std::filesystem::resize_file(dir.path("huge.bin"), (uint64_t(1) << 32) + 100);
    for (auto make : {+[](const std::string& p) { Token t(p); },
                      +[](const std::string& p) { OemIfpBlock b(p); }}) {
        try {
            make(dir.path("huge.bin"));
            ADD_FAILURE() << "taken";
        } catch (VemoException const& e) {
            EXPECT_EQ(e.getErrorCode(), 0x30000u);
            EXPECT_STREQ(e.what(), "File of 4 GiB or more is not supported");
        }
    }
}

TEST(BlobTest, CopyToCallerBuffer)
{
    const std::string bytes = patternText(100);
    Token t(bytes.data(), bytes.size());
    char big[128];
    size_t length = sizeof big;
    EXPECT_EQ(t.write(big, &length), 0);
    EXPECT_EQ(length, 100u);
    EXPECT_EQ(std::string(big, 100), bytes);

    char small[50];
    std::memset(small, 0x5A, sizeof small);
    length = sizeof small;
    EXPECT_EQ(t.write(small, &length), -1);
    EXPECT_EQ(length, 100u) << "the caller learns the size it needs";
    EXPECT_EQ(std::string(small, 50), std::string(50, '\x5A'));

    // Exactly fitting, and repeatable.
    length = 100;
    EXPECT_EQ(t.write(big, &length), 0);
    EXPECT_EQ(std::string(big, 100), bytes);

    DeviceInfo empty("", 0);
    length = 0;
    EXPECT_EQ(empty.write(big, &length), 0);
    EXPECT_EQ(length, 0u);
}

TEST(BlobTest, UnitWithoutBuffer)
{
    ScratchDir dir;
    ScratchDir::write(dir.path("old.bin"), "previous content");
    Blob none;
    EXPECT_EQ(none.getStreamBufferPtr(), nullptr);
    EXPECT_THROW(none.write(dir.path("old.bin")), std::ios_base::failure);
    EXPECT_EQ(ScratchDir::read(dir.path("old.bin")), "previous content") << "left as it was";
    const auto files = std::filesystem::directory_iterator(dir.path("."));
    EXPECT_EQ(std::distance(begin(files), end(files)), 1) << "no temporary left";
    char buf[8];
    size_t length = sizeof buf;
    EXPECT_THROW(none.write(buf, &length), std::ios_base::failure);
}

#ifndef _WIN32
// What is replaced is a regular file: a link keeps pointing at its file, which gets the content,
// and a device is written in place, with no temporary beside it.
TEST(BlobTest, WritesThroughLinksAndIntoDevices)
{
    ScratchDir dir;
    ScratchDir::write(dir.path("real.bin"), "old");
    std::filesystem::create_symlink("real.bin", dir.path("link.bin"));
    const Blob unit("new content", 11);
    unit.write(dir.path("link.bin"));
    EXPECT_TRUE(std::filesystem::is_symlink(dir.path("link.bin")));
    EXPECT_EQ(ScratchDir::read(dir.path("real.bin")), "new content");

    unit.write("/dev/null");
    EXPECT_TRUE(std::filesystem::is_character_file("/dev/null"));
    for (auto const& entry : std::filesystem::directory_iterator("/dev"))
        EXPECT_EQ(entry.path().filename().string().rfind("null.tmp", 0), std::string::npos);
    const auto files = std::filesystem::directory_iterator(dir.path("."));
    EXPECT_EQ(std::distance(begin(files), end(files)), 2);
}
#endif

TEST(BlobTest, MovesAndTakesBuffersOver)
{
    auto buf = std::make_unique<std::stringbuf>(std::ios_base::in | std::ios_base::out);
    buf->sputn("abc", 3);
    DeviceInfo info(buf);
    EXPECT_EQ(buf, nullptr);
    DeviceInfo moved(std::move(info));
    EXPECT_EQ(info.getStreamBufferPtr(), nullptr);
    EXPECT_EQ(contentOf(moved), "abc");
    OemIfpBlock block("xyz", 3);
    OemIfpBlock other(std::move(block));
    EXPECT_EQ(contentOf(other), "xyz");
}

// Module directory: 16-byte header (count at offset 4), then 24-byte entries.
struct Entry {
    std::string name;
    uint32_t offset;
    uint32_t size;
};

void put32(std::string& s, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        s[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

std::string directory(const std::vector<Entry>& entries, uint32_t count, size_t total)
{
    std::string s(std::max(total, 16 + 24 * entries.size()), '\xEE');
    put32(s, 0, 0xDEADBEEF);
    put32(s, 4, count);
    for (size_t i = 0; i < entries.size(); ++i) {
        const size_t at = 16 + 24 * i;
        std::string name = entries[i].name;
        name.resize(12, '\0');
        s.replace(at, 12, name);
        put32(s, at + 12, entries[i].offset);
        put32(s, at + 16, entries[i].size);
    }
    return s;
}

TEST(ModuleMetaTest, FindsNamedEntry)
{
    std::istringstream image(
        directory({{"rcipifwi", 0x100, 0x200}, {"xolmod", 0x300, 0x180}}, 2, 0x1000));
    image.seekg(7);
    ModuleMeta meta(&image, "xolmod");
    EXPECT_EQ(meta.getModuleOffset(), 0x300u);
    EXPECT_EQ(meta.getModuleSize(), 0x180u);
    EXPECT_EQ(meta.getPartitionSize(), 0x1000u);
    EXPECT_EQ(meta.getHeaderSize(), 0x1000u - 0x180u);
    EXPECT_EQ(image.tellg(), 7) << "read position restored";
    EXPECT_EQ(image.exceptions(), std::ios_base::goodbit) << "exception mask restored";

    ModuleMeta first(&image, "rcipifwi");
    EXPECT_EQ(first.getModuleOffset(), 0x100u);
}

TEST(ModuleMetaTest, MissesThrowParseErrorAndRestorePosition)
{
    struct Case {
        const char* what;
        std::string image;
        const char* name;
    };
    const Case cases[] = {
        {"no entries", directory({}, 0, 64), "xolmod"},
        {"name absent", directory({{"rcipifwi", 0, 16}}, 1, 64), "xolmod"},
        {"longer name is no match", directory({{"xolmodx", 0, 16}}, 1, 64), "xolmod"},
        {"prefix is no match", directory({{"xolmo", 0, 16}}, 1, 64), "xolmod"},
        {"module larger than the stream", directory({{"xolmod", 0, 0x10000}}, 1, 64), "xolmod"},
    };
    for (const Case& c : cases) {
        std::istringstream image(c.image);
        image.seekg(5);
        try {
            ModuleMeta meta(&image, c.name);
            ADD_FAILURE() << c.what << ": no throw";
        } catch (const std::invalid_argument& e) {
            EXPECT_STREQ(e.what(), "Parse error") << c.what;
        }
        EXPECT_EQ(image.tellg(), 5) << c.what;
        EXPECT_TRUE(image.good()) << c.what;
    }
}

TEST(ModuleMetaTest, TruncatedDirectoryThrowsStreamFailure)
{
    // Count promises three entries; the stream ends inside the second.
    std::string image = directory({{"rcipifwi", 0, 16}}, 3, 0);
    image.resize(16 + 24 + 10);
    struct Case {
        const char* what;
        std::string image;
        const char* text;
    };
    const Case cases[] = {
        {"ends inside the second entry", image,
         "the module directory is malformed: entry 2 of 3 runs past the end of the file"},
        {"ends inside the header", image.substr(0, 10),
         "the module directory is malformed: the file is shorter than its 16-byte header"},
    };
    for (const Case& c : cases) {
        std::istringstream in(c.image);
        try {
            ModuleMeta meta(&in, "xolmod");
            ADD_FAILURE() << c.what << ": no throw";
        } catch (const std::ios_base::failure& e) {
            EXPECT_STREQ(e.what(), c.text) << c.what;
        }
        EXPECT_EQ(in.tellg(), 0) << c.what;
        EXPECT_EQ(in.exceptions(), std::ios_base::goodbit) << c.what;
    }
}

} // namespace
