// The files the Linux loader takes for libusb, by either of the names it is asked for.
#ifndef XOL_TEST_SUPPORT_LOADED_LIBUSB_H
#define XOL_TEST_SUPPORT_LOADED_LIBUSB_H

#include <dlfcn.h>
#include <link.h>

#include <climits>
#include <cstdlib>
#include <set>
#include <string>

namespace testkit {

inline std::set<std::string> libusbFiles()
{
    std::set<std::string> files;
    for (const char* name : {"libusb-1.0.so", "libusb-1.0.so.0"}) {
        void* handle = dlopen(name, RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr)
            continue;
        link_map* map = nullptr;
        char real[PATH_MAX];
        if (dlinfo(handle, RTLD_DI_LINKMAP, &map) == 0 && realpath(map->l_name, real) != nullptr)
            files.insert(real);
        dlclose(handle);
    }
    return files;
}

} // namespace testkit

#endif
