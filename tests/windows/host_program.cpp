// A Windows host as its developer writes one: the public header alone, linked to nothing but the
// DLL's import library, and run. Prints the version; exits 0 when the object the two exports hand
// out answers.
#include <cstdio>
#include <cstring>

#include <vemoapi.h>

int main()
{
    IVemoAPI* api = api_acquire();
    if (api == nullptr) {
        std::fprintf(stderr, "api_acquire gave no object\n");
        return 1;
    }
    IVemoAPI* again = api_acquire();
    _version_t version;
    const unsigned long length = api->getfullversion(&version);
    _error_msg_t msg;
    const unsigned long status = api->setusbreadwritedelay(1000, &msg);
    std::printf("version: %s\n", version.version);
    api_release();
    api_release();
    if (again != api || length != std::strlen(version.version) || status != 0
        || std::strcmp(msg.text, "Success") != 0) {
        std::fprintf(stderr, "unexpected answer: length %lu, status 0x%lx %s\n", length, status,
                     msg.text);
        return 1;
    }
    return 0;
}
