// The concrete jobs: one per device procedure of the library.
#ifndef XOL_JOBS_H
#define XOL_JOBS_H

#include <memory>
#include <streambuf>
#include <string>

#include "xol_api_utils.h"
#include "xol_job.h"

class XolJobIdDevice : public XolJobV2 {
public:
    XolJobIdDevice(TolvaneWdAPI* transport, unsigned long timeoutMs, TolvaneConnection const& board,
                   unsigned int first, unsigned int second);
    unsigned int getFlags() const;
    uint8_t const* getImageErrorValues() const;
    uint8_t const* getOemPlatformId() const;
    uint8_t const (&getPlatformUniqueId() const)[16];

protected:
    void run() override;

private:
    unsigned int first;
    unsigned int second;
    std::shared_ptr<XolAPI::IdDeviceResponse> response;
};

class XolJobStartover : public XolJobV2 {
public:
    XolJobStartover(TolvaneWdAPI* transport, unsigned long timeoutMs, TolvaneConnection const& board,
                    unsigned int value);
    unsigned int getCurrentOp() const;
    unsigned int getCurrentCtx() const;

protected:
    void run() override;

private:
    unsigned int value;
    std::shared_ptr<XolAPI::StartOverResponse> response;
};

class XolJobGetTokenPartID : public XolJobComplexV2 {
public:
    XolJobGetTokenPartID(TolvaneWdAPI* transport, unsigned long timeoutMs,
                         TolvaneConnection const& board, char const* recoveryPath,
                         _id_dev_ifp_emulation_t* ifpRecord, unsigned int value);
    uint8_t const* getTokenPartId() const;
    unsigned int getNonce() const;
    unsigned int getTrustedTime() const;
    unsigned int getDeviceId() const;
    uint8_t const* getOemPlatformId() const;

protected:
    void run() override;

private:
    unsigned int value;
    std::shared_ptr<XolAPI::GetTokenPartIdResponse> response;
};

class XolJobReadToken : public XolJobComplexV2 {
public:
    XolJobReadToken(TolvaneWdAPI* transport, unsigned long timeoutMs, TolvaneConnection const& board,
                    char const* recoveryPath, _id_dev_ifp_emulation_t* ifpRecord,
                    unsigned char slot);
    Token const& getToken();

protected:
    void run() override;

private:
    unsigned char slot;
    std::shared_ptr<XolAPI::ReadTokenResponse> response;
};

// With a sink the data read goes there as it arrives, and getData() holds none.
class XolJobReadBootMedia : public XolJobComplexV2 {
public:
    XolJobReadBootMedia(TolvaneWdAPI* transport, unsigned long timeoutMs,
                        TolvaneConnection const& board, char const* recoveryPath,
                        _id_dev_ifp_emulation_t* ifpRecord, unsigned char type,
                        unsigned char index, unsigned int start, unsigned int count,
                        unsigned char partition, std::streambuf* sink = nullptr);
    Blob const& getData() const;

protected:
    void run() override;

private:
    unsigned char type;
    unsigned char index;
    unsigned int startBlock;
    unsigned int count;
    unsigned char partition;
    std::streambuf* sink;
    std::shared_ptr<XolAPI::ReadBootMediaResponse> response;
};

class XolJobClearData : public XolJobComplexV2 {
public:
    XolJobClearData(TolvaneWdAPI* transport, unsigned long timeoutMs, TolvaneConnection const& board,
                    char const* recoveryPath, _id_dev_ifp_emulation_t* ifpRecord,
                    unsigned char type, unsigned char index);

protected:
    void run() override;

private:
    unsigned char type;
    unsigned char index;
    std::shared_ptr<XolAPI::Response> response;
};

class XolJobGetCardInfo : public XolJobComplexV2 {
public:
    XolJobGetCardInfo(TolvaneWdAPI* transport, unsigned long timeoutMs, TolvaneConnection const& board,
                      char const* recoveryPath, _id_dev_ifp_emulation_t* ifpRecord,
                      unsigned char type, unsigned char index);
    DeviceInfo const& getDeviceInfo() const;
    unsigned char const& getDeviceType() const;

protected:
    void run() override;

private:
    unsigned char type;
    unsigned char index;
    std::shared_ptr<XolAPI::GetCardInfoResponse> response;
};

// The context switch is the whole procedure.
class XolJobDownloadFwRecovery : public XolJobComplexV2 {
public:
    using XolJobComplexV2::XolJobComplexV2;

protected:
    void run() override;
};

class XolJobOemIfpProvision : public XolJobComplexV2 {
public:
    XolJobOemIfpProvision(TolvaneWdAPI* transport, unsigned long timeoutMs,
                          TolvaneConnection const& board, char const* recoveryPath,
                          _id_dev_ifp_emulation_t* ifpRecord, OemIfpBlock& block);

protected:
    void run() override;

private:
    OemIfpBlock block;
};

class XolJobSetDeviceLifecycleStage : public XolJobComplexV2 {
public:
    XolJobSetDeviceLifecycleStage(TolvaneWdAPI* transport, unsigned long timeoutMs,
                                  TolvaneConnection const& board, char const* recoveryPath,
                                  _id_dev_ifp_emulation_t* ifpRecord, Token& token);

protected:
    void run() override;

private:
    Token token;
};

class XolJobWriteToken : public XolJobComplexV2 {
public:
    XolJobWriteToken(TolvaneWdAPI* transport, unsigned long timeoutMs, TolvaneConnection const& board,
                     char const* recoveryPath, _id_dev_ifp_emulation_t* ifpRecord, Token& token,
                     unsigned char slot);

protected:
    void run() override;

private:
    Token token;
    unsigned char slot;
};

class XolJobDownloadFw : public XolJobComplexV2 {
public:
    XolJobDownloadFw(TolvaneWdAPI* transport, unsigned long timeoutMs, TolvaneConnection const& board,
                     char const* recoveryPath, _id_dev_ifp_emulation_t* ifpRecord,
                     char const* imagePath, unsigned int flags);

protected:
    void run() override;

private:
    unsigned int flags;
    std::string imagePath;
};

class XolJobEraseToken : public XolJobComplexV2 {
public:
    XolJobEraseToken(TolvaneWdAPI* transport, unsigned long timeoutMs, TolvaneConnection const& board,
                     char const* recoveryPath, _id_dev_ifp_emulation_t* ifpRecord,
                     unsigned char slot);

protected:
    void run() override;

private:
    unsigned char slot;
};

#endif
