// Compiled only, with one of USE_copyMessage, USE_vemoapi_alloc, USE_vemoapi_dealloc or none:
// what a host can call from the public header alone.
#include <vemoapi.h>

int main()
{
#if defined(USE_copyMessage)
    char text[8];
    copyMessage(text, "Success", sizeof text);
#elif defined(USE_vemoapi_alloc)
    IVemoAPI* own = vemoapi_alloc();
    (void)own;
#elif defined(USE_vemoapi_dealloc)
    vemoapi_dealloc(nullptr);
#endif
    return api_acquire() == nullptr ? 1 : 0;
}
