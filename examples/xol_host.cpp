// A host of libvemoapi: lists the identified devices, then identifies one (the device identifier
// given as the argument, else the first connection) and prints the library's progress records.
// Exits 0 when both operations succeed.
#include <cstdio>

#include <vemoapi.h>

namespace {

void progress(unsigned long, const char* text, void* context)
{
    ++*static_cast<unsigned*>(context);
    std::printf("  progress: %s\n", text);
}

} // namespace

int main(int argc, char** argv)
{
    IVemoAPI* api = api_acquire();
    if (api == nullptr) {
        std::fprintf(stderr, "the library could not create its interface object\n");
        return 1;
    }
    // Progress records reach the callback only while logging is on; this also writes them to
    // the named file.
    api->setlogging(true, "xol_host.log");

    _error_msg_t msg;
    static _soc_device_info_arr_t targets; // about 100 KiB (52 on Windows): not on the stack
    unsigned long status = api->getavailabletargets(&targets, &msg);
    if (status != 0) {
        std::fprintf(stderr, "listing failed: 0x%lx %s\n", status, msg.text);
        api_release();
        return 1;
    }
    std::printf("%u device(s)\n", targets.ids.count);
    for (uint32_t i = 0; i < targets.ids.count; ++i)
        std::printf("  %s\n", targets.ids.devices[i].id);

    // An empty identifier names the transport's first connection.
    const char* identifier = argc > 1 ? argv[1] : "";
    _oem_platform_id_t oemId;
    _platform_id_t platformId;
    _id_dev_flags_t flags;
    _image_error_values_t imageErrors;
    unsigned records = 0;
    status = api->deviceid(0, nullptr, &oemId, &platformId, &flags, &imageErrors, identifier,
                           &msg, progress, &records);
    if (status != 0) {
        std::fprintf(stderr, "identification failed: 0x%lx %s\n", status, msg.text);
        api_release();
        return 1;
    }
    std::printf("identified: flags 0x%x, platform id ", flags.flags);
    for (uint8_t byte : platformId.id)
        std::printf("%02x", byte);
    std::printf(", %u progress record(s)\n", records);
    api_release();
    return records > 0 ? 0 : 1;
}
