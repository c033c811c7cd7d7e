// The device table from identifiers to connections, the IFP emulation records, and the lazy
// creation of the USB transport.
#include <cctype>
#include <chrono>
#include <thread>
#include <utility>

#include "exceptions.h"
#include "status_codes.h"
#include "tolvane_libusb.h"
#include "vemoapi_impl.h"
#include "xol_jobs.h"

std::string VemoAPI::uid2sn(const std::array<char, 16>& uid)
{
    static const char digits[] = "0123456789abcdef";
    std::string id;
    id.reserve(32);
    for (char c : uid) {
        const unsigned char b = static_cast<unsigned char>(c);
        id += digits[b >> 4];
        id += digits[b & 0x0F];
    }
    return id;
}

namespace {

// The identifier of the board on `board`: false when it failed or did not answer. Throws only
// when the job cannot be built (the time-out in effect is refused).
bool identify(TolvaneWdAPI* transport, unsigned long timeout, TolvaneConnection const& board,
              std::string& id)
{
    XolJobIdDevice job(transport, timeout, board, 0, 0);
    try {
        job.start();
        job.join();
    } catch (...) {
        // It must not hide the others; it is asked again when a caller names an identifier
        // the table lacks.
        return false;
    }
    std::array<char, 16> uid;
    const auto& raw = job.getPlatformUniqueId();
    for (size_t i = 0; i < uid.size(); ++i)
        uid[i] = static_cast<char>(raw[i]);
    id = VemoAPI::uid2sn(uid);
    return true;
}

} // namespace

TolvaneWdAPI* VemoAPI::createdTransport()
{
    std::lock_guard<std::recursive_mutex> lock(creationLock);
    if (transport == nullptr) {
        transport = new TolvaneWdAPI();
        std::this_thread::sleep_for(std::chrono::seconds(1));
        transport->Register(this);
    }
    return transport;
}

TolvaneWdAPI* VemoAPI::usbAPI()
{
    std::lock_guard<std::recursive_mutex> lock(creationLock);
    TolvaneWdAPI* usb = createdTransport();
    if (!passDone) {
        // A pass whose jobs cannot be built is no pass: its failure is the operation's, and
        // the next operation runs it again.
        updateUidSnMap();
        passDone = true;
    }
    return usb;
}

void VemoAPI::updateUidSnMap()
{
    for (TolvaneConnection const& board : transport->EnumerateConnections())
        identifyBoard(board);
}

bool VemoAPI::listed(TolvaneConnection const& board) const
{
    for (auto const& entry : deviceTable)
        if (entry.second.id == board.id)
            return true;
    return false;
}

void VemoAPI::identifyBoard(TolvaneConnection const& board, bool arrival)
{
    {
        std::lock_guard<std::recursive_mutex> lock(tableLock);
        // One identification per connection at a time; a listed one needs none, and one an
        // operation is running on gets none meanwhile.
        if (listed(board))
            return;
        if (operating.count(board.id) != 0) {
            // Nothing else would identify an arrival: dropped, its board would never be listed.
            if (arrival)
                arrivedWhileOperating.insert(board.id);
            return;
        }
        if (!identifying.insert(board.id).second)
            return;
    }
    struct Claim {
        VemoAPI& api;
        uint64_t id;
        ~Claim()
        {
            std::lock_guard<std::recursive_mutex> lock(api.tableLock);
            api.identifying.erase(id);
            api.identified.notify_all();
        }
    } claim{*this, board.id};
    std::string id;
    if (!identify(transport, usbTimeout, board, id))
        return;
    std::lock_guard<std::recursive_mutex> lock(tableLock);
    // A board that left meanwhile gets no entry: its departure has swept the table already.
    // An entry of the same identifier (a board's earlier connection) is replaced.
    if (transport->IsLive(board))
        deviceTable[id] = board;
}

bool VemoAPI::identifyUnlisted(std::string const& key, TolvaneConnection& board)
{
    const std::list<TolvaneConnection> boards = transport->EnumerateConnections();
    // Looked up after each: a slow board met first does not hold a caller whose board is found.
    for (TolvaneConnection const& unlisted : boards) {
        identifyBoard(unlisted);
        if (lookUp(key, board))
            return true;
    }
    // It may be a board another thread is identifying now; once it is listed, the others'
    // identifications are no concern of this caller.
    {
        std::unique_lock<std::recursive_mutex> lock(tableLock);
        identified.wait(lock, [&] {
            if (lookUp(key, board))
                return true;
            for (TolvaneConnection const& unlisted : boards)
                if (identifying.count(unlisted.id) != 0)
                    return false;
            return true;
        });
    }
    return lookUp(key, board);
}

VemoAPI::Operating::Operating(VemoAPI& api, TolvaneConnection const& connection)
    : api(api), connection(connection)
{
    std::unique_lock<std::recursive_mutex> lock(api.tableLock);
    api.identified.wait(lock, [&] { return api.identifying.count(connection.id) == 0; });
    ++api.operating[connection.id];
}

VemoAPI::Operating::~Operating()
{
    {
        std::lock_guard<std::recursive_mutex> lock(api.tableLock);
        auto it = api.operating.find(connection.id);
        if (--it->second != 0)
            return;
        api.operating.erase(it);
        if (api.arrivedWhileOperating.erase(connection.id) == 0)
            return;
    }
    try {
        // With no lock held; a board that has left fails at its first transfer.
        api.identifyBoard(connection, true);
    } catch (...) {
        // As on arrival: a board that cannot be identified now gets no entry yet.
    }
}

bool VemoAPI::lookUp(std::string const& key, TolvaneConnection& board)
{
    std::lock_guard<std::recursive_mutex> lock(tableLock);
    auto it = deviceTable.find(key);
    // An entry whose connection has gone, its departure not yet taken, names no board: the
    // board may be back already on a connection still to be identified.
    if (it == deviceTable.end() || !transport->IsLive(it->second))
        return false;
    board = it->second;
    return true;
}

TolvaneConnection VemoAPI::getDevice(const char* identifier)
{
    TolvaneWdAPI* usb = usbAPI();
    if (identifier != nullptr && identifier[0] != '\0') {
        std::string key(identifier);
        for (char& c : key)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        TolvaneConnection board;
        if (lookUp(key, board))
            return board;
        // Boards whose identification failed or has not come yet are asked now, with no lock
        // held that an operation on another board takes.
        if (identifyUnlisted(key, board))
            return board;
        throw status::deviceNotFound();
    }
    std::list<TolvaneConnection> boards = usb->EnumerateConnections();
    if (boards.empty())
        throw status::deviceNotFound();
    return boards.front();
}

void VemoAPI::attach(std::string serial)
{
    try {
        TolvaneWdAPI* usb = usbAPI();
        identifyBoard(usb->Connection(serial), true);
    } catch (...) {
        // An arrival that cannot be identified now gets no entry yet.
    }
}

void VemoAPI::detach(std::string)
{
    try {
        // Creation lock first: a departure during the identification pass waits until the pass
        // is over, then sweeps its connection out.
        std::lock_guard<std::recursive_mutex> creation(creationLock);
        std::lock_guard<std::recursive_mutex> lock(tableLock);
        // Every entry of a connection that has gone, whatever text a later board took.
        for (auto it = deviceTable.begin(); it != deviceTable.end();) {
            if (transport->IsLive(it->second))
                ++it;
            else
                it = deviceTable.erase(it);
        }
        // Also for a connection that was never identified.
        std::lock_guard<std::mutex> ifp(ifpLock);
        for (auto it = ifpTable.begin(); it != ifpTable.end();) {
            if (transport->IsLive(it->second.first))
                ++it;
            else
                it = ifpTable.erase(it);
        }
    } catch (...) {
    }
}

void VemoAPI::getIfpEmulation(TolvaneConnection const& board, _id_dev_ifp_emulation_t& record,
                              bool& found)
{
    std::lock_guard<std::mutex> lock(ifpLock);
    auto it = ifpTable.find(board.id);
    found = it != ifpTable.end();
    if (found)
        record = it->second.second;
}

void VemoAPI::setIfpEmulation(TolvaneConnection const& board,
                              const _id_dev_ifp_emulation_t& record)
{
    std::lock_guard<std::mutex> lock(ifpLock);
    // A board that has left keeps none: its departure has swept the records already.
    if (transport->IsLive(board))
        ifpTable[board.id] = std::make_pair(board, record);
}
