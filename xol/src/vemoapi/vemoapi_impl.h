// The library's one implementation of IVemoAPI: device table, IFP emulation records, the USB
// transport created on first use, and the log set-up.
#ifndef XOL_VEMOAPI_IMPL_H
#define XOL_VEMOAPI_IMPL_H

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <fstream>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include <boost/filesystem/path.hpp>
#include <boost/log/sinks/sync_frontend.hpp>
#include <boost/log/sinks/text_ostream_backend.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/weak_ptr.hpp>

#include "tolvane_libusb.h"
#include "tolvane_wd_callback.h"
#include "vemoapi.h"
#include "xol_api_utils.h"

class VemoAPI final : public IVemoAPI, public ITolvaneWdAPICallbackObj {
public:
    VemoAPI();
    ~VemoAPI();
    VemoAPI(VemoAPI const&) = delete;
    VemoAPI& operator=(VemoAPI const&) = delete;

    unsigned long getfullversion(_version_t* versionInfo) override;
    unsigned long settargetretrycount(unsigned int retryCount, _error_msg_t* msg) override;
    unsigned long setusbreadwritedelay(unsigned long timeoutMs, _error_msg_t* msg) override;
    unsigned long getavailabletargets(_soc_device_info_arr_t* targets, _error_msg_t* msg) override;
    unsigned long deviceid(unsigned int idParam, _id_dev_ifp_emulation_t* ifpRecord, _oem_platform_id_t* oemId, _platform_id_t* platformId, _id_dev_flags_t* flags, _image_error_values_t* imageErrors, const char* identifier, _error_msg_t* msg, log_callback_t callback, void* context) override;
    unsigned long startover(_startover_cmd_flags_t* flags, unsigned int* currentOp, unsigned int* currentCtx, const char* identifier, _error_msg_t* msg, log_callback_t callback, void* context) override;
    unsigned long downloadfwrecovery(const char* recoveryPath, const char* identifier, _id_dev_ifp_emulation_t* ifpRecord, _error_msg_t* msg, log_callback_t callback, void* context) override;
    unsigned long downloadfwos(const char* recoveryPath, const char* fwImagePath, _prov_fw_image_cmd_flags_t* flags, const char* unused1, const char* unused2, const char* identifier, _error_msg_t* msg, log_callback_t callback, void* context) override;
    unsigned long writetoken(const char* recoveryPath, const char* bytes, size_t length, unsigned char slot, const char* identifier, _error_msg_t* msg, log_callback_t callback, void* context) override;
    unsigned long readtoken(const char* recoveryPath, char* buffer, size_t* length, unsigned char slot, const char* identifier, _error_msg_t* msg, log_callback_t callback, void* context) override;
    unsigned long erasetoken(const char* recoveryPath, unsigned char slot, const char* identifier, _error_msg_t* msg, log_callback_t callback, void* context) override;
    unsigned long setdevicelifecyclestage(const char* recoveryPath, const char* bytes, size_t length, const char* identifier, _error_msg_t* msg, log_callback_t callback, void* context) override;
    unsigned long oemifpprov(const char* recoveryPath, const char* bytes, size_t length, const char* identifier, _error_msg_t* msg, log_callback_t callback, void* context) override;
    unsigned long configpart(const char* recoveryPath, const char* configPath, unsigned char devType, unsigned char idx, const char* identifier, _error_msg_t* msg, log_callback_t callback, void* context) override;
    unsigned long gettokenpid(const char* recoveryPath, unsigned int param, _token_part_id_t* tokenPartId, unsigned int* nonce, unsigned int* trustedTime, unsigned int* deviceId, _oem_platform_id_t* oemId, const char* identifier, _error_msg_t* msg, log_callback_t callback, void* context) override;
    unsigned long getcardinfo(const char* recoveryPath, unsigned char* devType, unsigned char idx, char* buffer, size_t* length, const char* identifier, _error_msg_t* msg, log_callback_t callback, void* context) override;
    unsigned long readbootmedia(const char* recoveryPath, unsigned char devType, unsigned char idx, _content_addr_t* addr, char* buffer, size_t* length, const char* identifier, _error_msg_t* msg, log_callback_t callback, void* context) override;
    unsigned long clearRPMB(const char* recoveryPath, unsigned char devType, unsigned char idx, const char* identifier, _error_msg_t* msg, log_callback_t callback, void* context) override;
    unsigned long deviceid2(unsigned int idParam, const char* ifpFilePath, _oem_platform_id_t* oemId, _platform_id_t* platformId, _id_dev_flags_t* flags, _image_error_values_t* imageErrors, const char* identifier, _error_msg_t* msg, log_callback_t callback, void* context) override;
    unsigned long writetoken2(const char* recoveryPath, const char* tokenPath, unsigned char slot, const char* identifier, _error_msg_t* msg, log_callback_t callback, void* context) override;
    unsigned long readtoken2(const char* recoveryPath, const char* outPath, unsigned char slot, const char* identifier, _error_msg_t* msg, log_callback_t callback, void* context) override;
    unsigned long setdevicelifecyclestage2(const char* recoveryPath, const char* tokenPath, const char* identifier, _error_msg_t* msg, log_callback_t callback, void* context) override;
    unsigned long oemifpprov2(const char* recoveryPath, const char* blockPath, const char* identifier, _error_msg_t* msg, log_callback_t callback, void* context) override;
    unsigned long getcardinfo2(const char* recoveryPath, unsigned char* devType, unsigned char idx, const char* outPath, const char* identifier, _error_msg_t* msg, log_callback_t callback, void* context) override;
    unsigned long readbootmedia2(const char* recoveryPath, unsigned char devType, unsigned char idx, _content_addr_t* addr, const char* outPath, const char* identifier, _error_msg_t* msg, log_callback_t callback, void* context) override;
    void setlogging(bool enable, std::string path) override;

    // Hot-plug listener, called on the transport's notification thread.
    void attach(std::string serial) override;
    void detach(std::string serial) override;

    // The transport, created on first use with an identification pass over the present devices.
    // Throws when the pass's jobs cannot be built; the next call runs the pass again.
    TolvaneWdAPI* usbAPI();
    // The transport, created and listened to, with or without a pass.
    TolvaneWdAPI* createdTransport();
    void updateUidSnMap();
    // The connection an identifier names, with the identity the operation is held to; an empty
    // identifier names the first one. A name the table lacks first has the connections without
    // an entry identified.
    TolvaneConnection getDevice(const char* identifier);
    static std::string uid2sn(const std::array<char, 16>& uid);
    void getIfpEmulation(TolvaneConnection const& board, _id_dev_ifp_emulation_t& record,
                         bool& found);
    void setIfpEmulation(TolvaneConnection const& board, const _id_dev_ifp_emulation_t& record);

    using IVemoAPI::getavailabletargets;
    unsigned long getavailabletargets(_soc_device_arr_t* targets, _error_msg_t* msg);

    // Object forms: they report failures by exception.
    using IVemoAPI::writetoken;
    using IVemoAPI::setdevicelifecyclestage;
    using IVemoAPI::oemifpprov;
    unsigned long writetoken(const char* recoveryPath, Token& token, unsigned char slot,
                             const char* identifier, _error_msg_t* msg, log_callback_t callback,
                             void* context);
    unsigned long setdevicelifecyclestage(const char* recoveryPath, Token& token,
                                          const char* identifier, _error_msg_t* msg,
                                          log_callback_t callback, void* context);
    unsigned long oemifpprov(const char* recoveryPath, OemIfpBlock& block, const char* identifier,
                             _error_msg_t* msg, log_callback_t callback, void* context);

private:
    // Held by an interface operation for as long as it uses the object: destruction waits until
    // none is held. The device frame holds one; operations outside it take their own.
    class InFlight {
    public:
        explicit InFlight(VemoAPI& api);
        ~InFlight();
        InFlight(InFlight const&) = delete;
        InFlight& operator=(InFlight const&) = delete;

    private:
        VemoAPI& api;
    };

    // Held by a device operation on its connection: no identification starts on it meanwhile,
    // and the operation starts only once one running on it has ended, so no Id Device lands in
    // the middle of its exchange. The last one on a connection whose arrival came meanwhile
    // identifies it, on the caller's thread, as the arrival would have.
    class Operating {
    public:
        Operating(VemoAPI& api, TolvaneConnection const& connection);
        ~Operating();
        Operating(Operating const&) = delete;
        Operating& operator=(Operating const&) = delete;

    private:
        VemoAPI& api;
        TolvaneConnection connection;
    };

    // Which IFP record the frame fetches for the job: the device's stored one, for the jobs that
    // may find the device in ROM context, or none (identification, start over, and the recovery
    // download, which sends the caller's own).
    enum class IfpRecord { none, stored };
    // The frame of every device operation (vemoapi_operations.cpp): hold the object, look the
    // device up, forward its log records to `callback` for the rest of the call, fetch `ifp`,
    // then `body` builds and runs the job and copies its results out. Throws what they throw.
    template <class Body>
    void onDevice(const char* identifier, log_callback_t callback, void* context, IfpRecord ifp,
                  Body&& body);
    // That frame inside the error boundary: its status, and its message into `msg`.
    // Identifies `board` unless it is listed or being identified; its entry replaces any of the
    // same identifier. An operation running on it puts it off: for an `arrival`, until the last
    // such operation ends; otherwise for good. Throws only when the job cannot be built.
    void identifyBoard(TolvaneConnection const& board, bool arrival = false);
    // Identifies every connection without an entry and looks `key` up again; while it is still
    // missing, waits for the identifications other threads are running.
    bool identifyUnlisted(std::string const& key, TolvaneConnection& board);
    bool listed(TolvaneConnection const& board) const;
    bool lookUp(std::string const& key, TolvaneConnection& board);

    template <class Body>
    unsigned long operation(_error_msg_t* msg, const char* identifier, log_callback_t callback,
                            void* context, IfpRecord ifp, Body&& body);

    boost::shared_ptr<boost::log::sinks::synchronous_sink<boost::log::sinks::text_ostream_backend>>
        fileSink;
    // The files setlogging opened, by absolute path, and their streams (owned by the back end);
    // guarded by the back end's lock.
    std::vector<std::pair<boost::filesystem::path, boost::weak_ptr<std::ofstream>>> logFiles;
    // Locks of this object, in the order they are taken when nested: creationLock, tableLock,
    // ifpLock; flightLock stands apart. The transport's listener registry lock comes before all
    // three (attach and detach run under it); only the registration in usbAPI takes it inside
    // creationLock, before this object listens.
    // The IFP emulation records by connection identity, each with its connection.
    std::unordered_map<uint64_t, std::pair<TolvaneConnection, _id_dev_ifp_emulation_t>> ifpTable;
    // Guards ifpTable. Taken last, inside creationLock and tableLock where detach holds them;
    // only the transport's connection table is looked at inside it (is a connection live).
    std::mutex ifpLock;
    // Identifier to the connection its identification found.
    std::unordered_map<std::string, TolvaneConnection> deviceTable;
    // Connections being identified now, each by one thread; `identified` is told when one ends.
    std::unordered_set<uint64_t> identifying;
    std::condition_variable_any identified;
    // Connections device operations are running on, with how many, and those whose arrival
    // came meanwhile, to be identified when the last of them ends.
    std::unordered_map<uint64_t, unsigned> operating;
    std::unordered_set<uint64_t> arrivedWhileOperating;
    // Guards deviceTable, identifying, operating and arrivedWhileOperating. Taken inside
    // creationLock where both are held (the identification pass, detach) and inside the registry
    // lock (attach, detach); only ifpLock and the transport's connection table (is a connection
    // live) inside it. Never held across an identification.
    std::recursive_mutex tableLock;
    // Guards transport: held while it is created, registered and the identification pass runs,
    // so attach (through usbAPI) and detach wait meanwhile. Taken first by an operation, and
    // inside the registry lock on the notification thread; tableLock, ifpLock and the
    // transport's own locks inside it.
    std::recursive_mutex creationLock;
    TolvaneWdAPI* transport;
    // The identification pass has run over the connections present at creation; under
    // creationLock.
    bool passDone;
    // Changed at any time while jobs are being built from it.
    std::atomic<unsigned long> usbTimeout;
    // Guards inFlight, the interface operations using the object, and flightDone. Taken with no
    // lock of this object held (the destructor waits on it, under gApiMtx when the last
    // api_release destroys the object); nothing is locked inside it.
    std::mutex flightLock;
    std::condition_variable flightDone;
    unsigned long inFlight;
};

#endif
