#include "exceptions.h"

#include <cstdint>

VemoException::VemoException(unsigned long code, std::string const& message)
    : std::runtime_error(message), code(code)
{
}

VemoException::~VemoException() = default;

unsigned long VemoException::getErrorCode() const
{
    return code;
}

namespace {

struct FwText {
    uint32_t status;
    const char* text;
};

// Kept exactly as the firmware documents them, leading blanks included.
const FwText fwTexts[] = {
    {0x00000000U, "Success"},
    {0x80000000U, "Media not present"},
    {0x80000001U, "Invalid command"},
    {0x80000002U, "Can't write to RPMB"},
    {0x80000003U, "Unsupported partition"},
    {0x80000004U, "Invalid enhanced attribute"},
    {0x80000005U, "Invalid size"},
    {0x80000006U, "Write once attribute is already configured"},
    {0x80000007U, "Invalid extended partition attribute"},
    {0x80000008U, "Invalid public key"},
    {0x80000009U, "Manifest authentication failure"},
    {0x8000000AU, "Invalid unit ID"},
    {0x8000000BU, "Invalid flags"},
    {0x8000000CU, "Bad checksum"},
    {0x8000000DU, "Invalid manifest size"},
    {0x8000000EU, "Invalid XoL module size"},
    {0x8000000FU, "Insufficient SRAM"},
    {0x80000010U, "Invalid hash"},
    {0x80000011U, "Invalid parameter"},
    {0x80000012U, "Invalid signature"},
    {0x80000013U, "Invalid module type"},
    {0x80000014U, "Invalid module global ID"},
    {0x80000015U, "Version not supported"},
    {0x80000016U, "Invalid platform ID"},
    {0x80000017U, "Invalid machine ID"},
    {0x80000018U, "Invalid image header size"},
    {0x80000019U, "Invalid operation"},
    {0x8000001AU, "Invalid element info"},
    {0x8000001BU, "LLDD overflow"},
    {0x8000001CU, "Invalid chunk size"},
    {0x8000001DU, "Chunk overflow"},
    {0x8000001EU, "Programming error"},
    {0x8000001FU, "Invalid chunk count"},
    {0x80000020U, "Invalid image size"},
    {0x80000021U, "Invalid partition header"},
    {0x80000022U, "Invalid partition manifest entry"},
    {0x80000023U, "Invalid partition metadata"},
    {0x80000024U, "Invalid partition module"},
    {0x80000025U, "Invalid partition info"},
    {0x80000026U, "Invalid compression type"},
    {0x80000027U, "Invalid signature"},
    {0x80000028U, "Invalid next step"},
    {0x80000029U, "Invalid IFP emulation"},
    {0x8000002AU, "Invalid token slot index"},
    {0x8000002BU, "Invalid token content"},
    {0x8000002CU, "Invalid lifecycle stage"},
    {0x8000002DU, "Invalid device type"},
    {0x8000002EU, "Invalid partition"},
    {0x8000002FU, "Invalid timeout size"},
    {0x80000030U, "Media error"},
    {0x80000031U, "RPMB not provisioned"},
    {0x80000032U, "Invalid version"},
    {0x80000033U, "Invalid number of regions"},
    {0x80000034U, "Invalid offset"},
    {0x80000035U, "Image and descriptor mismatch"},
    {0x80000036U, "Already configured"},
    {0x80000037U, "Token does not exist"},
    {0x80000038U, "SVN downgrade"},
    {0x80000039U, "Invalid regions"},
    {0x8000003AU, "Media error: Unsupported storage device"},
    {0x8000003BU, " Media error: Storage write failure"},
    {0x8000003CU, "Media error: Storage read failure"},
    {0x8000003DU, " XoL error: tried to write beyond SPI bounds"},
    {0x8000003EU, "Invalid manifest extension type"},
    {0x8000003FU, "Invalid OEM id"},
    {0x80000040U, "invalid partition header name"},
    {0x80000041U, "invalid partition header length"},
    {0x80000042U, "writing a token before first boot is not supported"},
    {0x80000043U, "Invalid image layout"},
    {0x80000044U, "Invalid oem key manifest"},
    {0x80000045U, "No xol ifwi key in oem key manifest"},
    {0x80000046U, "xol ifwi version must be 0x00000001."},
    {0x80000047U, "Invalid Key Manifest ID (of the OEM KM)"},
    {0x80000048U, "oem KM is missing (size zero), and it shouldn't be (platform has pub key hash)"},
};

} // namespace

FwError::FwError(unsigned long status) : VemoException(status, message(status)) {}

std::string FwError::message(unsigned long status)
{
    const uint32_t low = static_cast<uint32_t>(status);
    for (const FwText& entry : fwTexts) {
        if (entry.status == low)
            return entry.text;
    }
    return "Unknown error";
}
