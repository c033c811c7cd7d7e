#include "operations.h"

#include <sstream>
#include <stdexcept>

#include "protocol_support.h"
#include "xol_api.h"

namespace prototest {

namespace {

template <class Unit>
Unit unitOf(size_t n, uint8_t seed)
{
    Bytes b = pattern(n, seed);
    return Unit(reinterpret_cast<const char*>(b.data()), b.size());
}

void runImage(XolAPI& api, const std::string& module, bool recovery)
{
    std::istringstream image(asString(moduleImage(3000, module, 1000)));
    if (recovery)
        api.DownloadRecoveryModule(&image);
    else
        api.ProvisionFwImage(&image, 0);
}

} // namespace

const std::vector<Operation>& operations()
{
    using K = Operation::Kind;
    static const std::vector<Operation> table = {
        {"IdDevice", 0x01, K::Plain, true, [](XolAPI& a) { a.IdDevice(0x11223344, 0); }},
        {"DownloadRecoveryModule", 0x02, K::Upload, false,
         [](XolAPI& a) { runImage(a, "xolmod", true); }},
        {"ClearData", 0x10, K::Plain, false, [](XolAPI& a) { a.ClearData(2, 0); }},
        {"ConfigureDevice", 0x11, K::Upload, false,
         [](XolAPI& a) {
             Blob request = unitOf<Blob>(300, 0x11);
             a.ConfigureDevice(request, 2, 0);
         }},
        {"GetCardInfo", 0x12, K::Download, true, [](XolAPI& a) { a.GetCardInfo(2, 0); }},
        {"StartOver", 0x13, K::Plain, true, [](XolAPI& a) { a.StartOver(0); }},
        {"OemIfpProvision", 0x14, K::Upload, false,
         [](XolAPI& a) {
             OemIfpBlock block = unitOf<OemIfpBlock>(200, 0x14);
             a.OemIfpProvision(block);
         }},
        {"ProvisionFwImage", 0x15, K::Upload, false,
         [](XolAPI& a) { runImage(a, "rcipifwi", false); }},
        {"XolIfpEmulation", 0x16, K::Plain, false,
         [](XolAPI& a) {
             _id_dev_ifp_emulation_t record{};
             record.data[0] = 0x16;
             a.XolIfpEmulation(&record);
         }},
        {"SetProtocol", 0x17, K::Plain, true, [](XolAPI& a) { a.SetProtocol(1); }},
        {"SetDeviceLifecycleStage", 0x20, K::Upload, false,
         [](XolAPI& a) {
             Token token = unitOf<Token>(64, 0x20);
             a.SetDeviceLifecycleStage(token);
         }},
        {"GetTokenPartId", 0x21, K::Plain, true, [](XolAPI& a) { a.GetTokenPartId(7); }},
        {"ReadToken", 0x22, K::Download, false, [](XolAPI& a) { a.ReadToken(3); }},
        {"WriteToken", 0x23, K::Upload, false,
         [](XolAPI& a) {
             Token token = unitOf<Token>(100, 0x23);
             a.WriteToken(token, 4);
         }},
        {"EraseToken", 0x24, K::Plain, false, [](XolAPI& a) { a.EraseToken(3); }},
        {"ReadBootMedia", 0x25, K::Download, true, [](XolAPI& a) { a.ReadBootMedia(2, 0, 0, 8, 0); }},
    };
    return table;
}

const Operation& operation(uint8_t code)
{
    for (const Operation& op : operations())
        if (op.code == code)
            return op;
    throw std::invalid_argument("no operation with code " + std::to_string(code));
}

std::vector<Operation> operationsWhere(const std::function<bool(const Operation&)>& pick)
{
    std::vector<Operation> v;
    for (const Operation& op : operations())
        if (pick(op))
            v.push_back(op);
    return v;
}

} // namespace prototest
