// Public interface of libvemoapi: the records that cross the library boundary, the IVemoAPI
// interface and the entry points. Hosts own every record they pass; the library keeps no pointer
// to one beyond the call.
#ifndef VEMOAPI_H
#define VEMOAPI_H

#include <cstddef>
#include <cstdint>
#include <string>

// Message record of every operation: "Success" or the failure text, at most 1023 characters.
typedef struct {
    char text[1024];
} _error_msg_t;

typedef struct {
    char version[256];
    unsigned long length;
} _version_t;

// One device identifier: 32 lower-case hexadecimal digits of the platform unique id.
typedef struct {
    char id[128];
} _soc_device_t;

#define SOC_DEVICE_MAX 24

typedef struct {
    uint32_t count;
    _soc_device_t devices[SOC_DEVICE_MAX];
} _soc_device_arr_t;

// Where one device sits on the USB; `type` tells which form of the union is valid.
typedef struct {
    uint32_t type;
    union {
        struct {
            unsigned long uniqueId;
            unsigned long rootHubNumber;
            unsigned long ports[5];
            wchar_t driverKeyName[1024];
        } tree; // type 0
        struct {
            uint8_t busNumber;
            uint8_t portNumbers[7];
            int32_t portCount;
        } usb; // type 1
    };
} _soc_device_info_t;

typedef struct {
    _soc_device_arr_t ids;
    _soc_device_info_t info[SOC_DEVICE_MAX];
} _soc_device_info_arr_t;

// IFP emulation record, sent verbatim to the device. Bytes 0..3: the Id Device parameter word;
// bytes 16..19: the emulated OEM platform id.
typedef struct {
    alignas(4) uint8_t data[44];
} _id_dev_ifp_emulation_t;

typedef struct {
    uint32_t id; // four ASCII characters in memory order
} _oem_platform_id_t;

typedef struct {
    uint8_t id[16];
} _platform_id_t;

typedef struct {
    uint32_t flags;
} _id_dev_flags_t;

typedef struct {
    uint8_t values[12];
} _image_error_values_t;

typedef struct {
    uint8_t id[12];
} _token_part_id_t;

typedef struct {
    uint32_t flags;
} _startover_cmd_flags_t;

typedef struct {
    uint32_t flags;
} _prov_fw_image_cmd_flags_t;

// Address of a boot-media read; only the low 8 bits of `partition` reach the device.
typedef struct {
    uint32_t partition;
    uint32_t start;
    uint32_t blocks;
} _content_addr_t;

enum _DEV_TYPE {
    DEV_TYPE_SPI = 1,
    DEV_TYPE_EMMC = 2,
    DEV_TYPE_UFS = 3,
};

enum _DEVICE_CTX {
    DEVICE_CTX_ROM = 0,
    DEVICE_CTX_XOL = 1,
};

// Progress callback: (0, text of one log record, the caller's context).
typedef void (*log_callback_t)(unsigned long, const char*, void*);

// The whole service of the library. Hosts call the operations by position, so their order is
// part of the interface. Never deleted by a host: hand it back with api_release.
class IVemoAPI {
public:
    virtual unsigned long getfullversion(_version_t* versionInfo) = 0;
    virtual unsigned long settargetretrycount(unsigned int retryCount, _error_msg_t* msg) = 0;
    virtual unsigned long setusbreadwritedelay(unsigned long timeoutMs, _error_msg_t* msg) = 0;
    virtual unsigned long getavailabletargets(_soc_device_info_arr_t* targets, _error_msg_t* msg) = 0;
    virtual unsigned long deviceid(unsigned int idParam, _id_dev_ifp_emulation_t* ifpRecord,
                                   _oem_platform_id_t* oemId, _platform_id_t* platformId,
                                   _id_dev_flags_t* flags, _image_error_values_t* imageErrors,
                                   const char* identifier, _error_msg_t* msg,
                                   log_callback_t callback, void* context) = 0;
    virtual unsigned long startover(_startover_cmd_flags_t* flags, unsigned int* currentOp,
                                    unsigned int* currentCtx, const char* identifier,
                                    _error_msg_t* msg, log_callback_t callback, void* context) = 0;
    virtual unsigned long downloadfwrecovery(const char* recoveryPath, const char* identifier,
                                             _id_dev_ifp_emulation_t* ifpRecord, _error_msg_t* msg,
                                             log_callback_t callback, void* context) = 0;
    virtual unsigned long downloadfwos(const char* recoveryPath, const char* fwImagePath,
                                       _prov_fw_image_cmd_flags_t* flags, const char* unused1,
                                       const char* unused2, const char* identifier,
                                       _error_msg_t* msg, log_callback_t callback,
                                       void* context) = 0;
    virtual unsigned long writetoken(const char* recoveryPath, const char* bytes, size_t length,
                                     unsigned char slot, const char* identifier, _error_msg_t* msg,
                                     log_callback_t callback, void* context) = 0;
    // Buffer form (also getcardinfo and readbootmedia): *length goes in as the buffer's room and
    // comes back as the content's size. A buffer too small gets nothing copied, and the operation
    // still returns 0 "Success": compare *length with the room passed. A failure leaves *length.
    virtual unsigned long readtoken(const char* recoveryPath, char* buffer, size_t* length,
                                    unsigned char slot, const char* identifier, _error_msg_t* msg,
                                    log_callback_t callback, void* context) = 0;
    virtual unsigned long erasetoken(const char* recoveryPath, unsigned char slot,
                                     const char* identifier, _error_msg_t* msg,
                                     log_callback_t callback, void* context) = 0;
    virtual unsigned long setdevicelifecyclestage(const char* recoveryPath, const char* bytes,
                                                  size_t length, const char* identifier,
                                                  _error_msg_t* msg, log_callback_t callback,
                                                  void* context) = 0;
    virtual unsigned long oemifpprov(const char* recoveryPath, const char* bytes, size_t length,
                                     const char* identifier, _error_msg_t* msg,
                                     log_callback_t callback, void* context) = 0;
    virtual unsigned long configpart(const char* recoveryPath, const char* configPath,
                                     unsigned char devType, unsigned char idx,
                                     const char* identifier, _error_msg_t* msg,
                                     log_callback_t callback, void* context) = 0;
    virtual unsigned long gettokenpid(const char* recoveryPath, unsigned int param,
                                      _token_part_id_t* tokenPartId, unsigned int* nonce,
                                      unsigned int* trustedTime, unsigned int* deviceId,
                                      _oem_platform_id_t* oemId, const char* identifier,
                                      _error_msg_t* msg, log_callback_t callback,
                                      void* context) = 0;
    // Buffer form as readtoken's; *devType comes back as the type the device reports, also when
    // the buffer was too small.
    virtual unsigned long getcardinfo(const char* recoveryPath, unsigned char* devType,
                                      unsigned char idx, char* buffer, size_t* length,
                                      const char* identifier, _error_msg_t* msg,
                                      log_callback_t callback, void* context) = 0;
    // Buffer form as readtoken's.
    virtual unsigned long readbootmedia(const char* recoveryPath, unsigned char devType,
                                        unsigned char idx, _content_addr_t* addr, char* buffer,
                                        size_t* length, const char* identifier, _error_msg_t* msg,
                                        log_callback_t callback, void* context) = 0;
    virtual unsigned long clearRPMB(const char* recoveryPath, unsigned char devType,
                                    unsigned char idx, const char* identifier, _error_msg_t* msg,
                                    log_callback_t callback, void* context) = 0;
    virtual unsigned long deviceid2(unsigned int idParam, const char* ifpFilePath,
                                    _oem_platform_id_t* oemId, _platform_id_t* platformId,
                                    _id_dev_flags_t* flags, _image_error_values_t* imageErrors,
                                    const char* identifier, _error_msg_t* msg,
                                    log_callback_t callback, void* context) = 0;
    virtual unsigned long writetoken2(const char* recoveryPath, const char* tokenPath,
                                      unsigned char slot, const char* identifier,
                                      _error_msg_t* msg, log_callback_t callback,
                                      void* context) = 0;
    virtual unsigned long readtoken2(const char* recoveryPath, const char* outPath,
                                     unsigned char slot, const char* identifier, _error_msg_t* msg,
                                     log_callback_t callback, void* context) = 0;
    virtual unsigned long setdevicelifecyclestage2(const char* recoveryPath, const char* tokenPath,
                                                   const char* identifier, _error_msg_t* msg,
                                                   log_callback_t callback, void* context) = 0;
    virtual unsigned long oemifpprov2(const char* recoveryPath, const char* blockPath,
                                      const char* identifier, _error_msg_t* msg,
                                      log_callback_t callback, void* context) = 0;
    virtual unsigned long getcardinfo2(const char* recoveryPath, unsigned char* devType,
                                       unsigned char idx, const char* outPath,
                                       const char* identifier, _error_msg_t* msg,
                                       log_callback_t callback, void* context) = 0;
    virtual unsigned long readbootmedia2(const char* recoveryPath, unsigned char devType,
                                         unsigned char idx, _content_addr_t* addr,
                                         const char* outPath, const char* identifier,
                                         _error_msg_t* msg, log_callback_t callback,
                                         void* context) = 0;
    virtual void setlogging(bool enable, std::string path) = 0;
};

extern "C" {
// The process-wide interface object, created by the first acquisition; null when it cannot be
// created.
IVemoAPI* api_acquire();
// Drops one acquisition; the last one destroys the object, and a later api_acquire builds a new
// one, with a new transport.
void api_release();
}

// libvemoapi.dll exports the two entry points alone: a Windows host sees nothing more, so a call
// of what follows fails to compile there rather than to link.
#ifndef _WIN32
extern "C" {
// Bounded text copy: at most size - 1 characters and always a terminator (nothing when size is 0).
void copyMessage(char* dst, const char* src, size_t size);
}

// A private object outside the reference count.
IVemoAPI* vemoapi_alloc();
void vemoapi_dealloc(IVemoAPI* api);
#endif

#endif
