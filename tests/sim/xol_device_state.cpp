#include "xol_device_state.h"

#include <filesystem>
#include <stdexcept>

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

namespace xolsim {

namespace {

using boost::property_tree::ptree;

std::string toHex(const uint8_t* p, size_t n)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    s.reserve(2 * n);
    for (size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

Bytes fromHex(const std::string& s)
{
    if (s.size() % 2)
        throw std::runtime_error("odd hex text in board state");
    auto nibble = [](char c) -> uint8_t {
        if (c >= '0' && c <= '9') return static_cast<uint8_t>(c - '0');
        if (c >= 'a' && c <= 'f') return static_cast<uint8_t>(c - 'a' + 10);
        if (c >= 'A' && c <= 'F') return static_cast<uint8_t>(c - 'A' + 10);
        throw std::runtime_error("bad hex digit in board state");
    };
    Bytes b(s.size() / 2);
    for (size_t i = 0; i < b.size(); ++i)
        b[i] = static_cast<uint8_t>(nibble(s[2 * i]) << 4 | nibble(s[2 * i + 1]));
    return b;
}

// Field codecs: numbers as decimal text, bytes as hex, an optional present only when set.
void put(ptree& t, const std::string& k, uint64_t v) { t.put(k, v); }
void put(ptree& t, const std::string& k, const Bytes& v) { t.put(k, toHex(v.data(), v.size())); }
template <size_t N>
void put(ptree& t, const std::string& k, const std::array<uint8_t, N>& v)
{
    t.put(k, toHex(v.data(), N));
}
template <class T>
void put(ptree& t, const std::string& k, const std::optional<T>& v)
{
    if (v)
        put(t, k, *v);
}

template <class T>
void get(const ptree& t, const std::string& k, T& v)
{
    if (auto s = t.get_optional<uint64_t>(k))
        v = static_cast<T>(*s);
}
void get(const ptree& t, const std::string& k, Bytes& v)
{
    if (auto s = t.get_optional<std::string>(k))
        v = fromHex(*s);
}
template <size_t N>
void get(const ptree& t, const std::string& k, std::array<uint8_t, N>& v)
{
    if (auto s = t.get_optional<std::string>(k)) {
        Bytes b = fromHex(*s);
        if (b.size() != N)
            throw std::runtime_error("field " + k + " of board state has the wrong size");
        std::copy(b.begin(), b.end(), v.begin());
    }
}
template <class T>
void get(const ptree& t, const std::string& k, std::optional<T>& v)
{
    if (t.count(k)) {
        T x{};
        get(t, k, x);
        v = x;
    }
}

// One table of the members of each record, used both ways.
template <class Tree, class Rec, class Io>
void fields(Tree& t, Rec& r, Io io)
{
    io(t, "context", r.context);
    io(t, "currentOperation", r.currentOperation);
    io(t, "protocolVersion", r.protocolVersion);
    io(t, "oemPlatformId", r.oemPlatformId);
    io(t, "platformId", r.platformId);
    io(t, "idFlags", r.idFlags);
    io(t, "imageErrors", r.imageErrors);
    io(t, "tokenPartId", r.tokenPartId);
    io(t, "nonce", r.nonce);
    io(t, "trustedTime", r.trustedTime);
    io(t, "deviceId", r.deviceId);
    io(t, "ifpEmulation", r.ifpEmulation);
    io(t, "tokenSlots", r.tokenSlots);
    io(t, "lifecycleStage", r.lifecycleStage);
    io(t, "oemIfpBlock", r.oemIfpBlock);
    io(t, "keepImages", r.keepImages);
    io(t, "romLimits", r.romLimits);
    io(t, "romRefusal", r.romRefusal);
    io(t, "versionRefusal", r.versionRefusal);
    io(t, "uploadDefault.size", r.uploadDefault.size);
    io(t, "uploadDefault.payloadOnly", r.uploadDefault.payloadOnly);
    io(t, "heartbeats", r.heartbeats);
    io(t, "ignoredBytes", r.ignoredBytes);
    io(t, "idDeviceParam0", r.idDeviceParams[0]);
    io(t, "idDeviceParam1", r.idDeviceParams[1]);
    io(t, "tokenPartIdParam", r.tokenPartIdParam);
    io(t, "protocolTimeout", r.protocolTimeout);
}

template <class Tree, class Rec, class Io>
void storageFields(Tree& t, Rec& d, Io io)
{
    io(t, "cardInfo", d.cardInfo);
    io(t, "reportedType", d.reportedType);
    io(t, "blockSize", d.blockSize);
    io(t, "maxChunk", d.maxChunk);
    io(t, "rpmbCleared", d.rpmbCleared);
    io(t, "lastConfigRequest", d.lastConfigRequest);
}

template <class Tree, class Rec, class Io>
void imageFields(Tree& t, Rec& u, Io io)
{
    io(t, "headerSize", u.headerSize);
    io(t, "moduleSize", u.moduleSize);
    io(t, "flags", u.flags);
    io(t, "length", u.length);
    io(t, "image", u.image);
}

template <class Tree, class Rec, class Io>
void faultFields(Tree& t, Rec& f, Io io)
{
    io(t, "code", f.code);
    io(t, "skip", f.skip);
    io(t, "sticky", f.sticky);
    io(t, "status", f.status);
    io(t, "responseCode", f.responseCode);
    io(t, "marker", f.marker);
    io(t, "additional", f.additional);
    io(t, "data", f.data);
    io(t, "size", f.size);
    io(t, "lengthField", f.lengthField);
    io(t, "headerLength", f.headerLength);
    io(t, "heartbeats", f.heartbeats);
    io(t, "keepExchange", f.keepExchange);
}

struct Put {
    template <class T>
    void operator()(ptree& t, const std::string& k, const T& v) const
    {
        if constexpr (std::is_integral_v<T>)
            put(t, k, static_cast<uint64_t>(v));
        else
            put(t, k, v);
    }
};
struct Get {
    template <class T>
    void operator()(const ptree& t, const std::string& k, T& v) const { get(t, k, v); }
};

// Lists are JSON arrays: children with empty keys.
ptree& list(ptree& t, const std::string& k)
{
    if (auto c = t.get_child_optional(k))
        return *c;
    return t.put_child(k, ptree());
}
void append(ptree& t, const std::string& k, const ptree& child) { list(t, k).push_back({"", child}); }
template <class V>
void appendValue(ptree& t, const std::string& k, const V& v)
{
    ptree leaf;
    leaf.put_value(v);
    append(t, k, leaf);
}

template <class F>
void eachChild(const ptree& t, const std::string& k, F f)
{
    if (auto items = t.get_child_optional(k))
        for (const auto& [name, child] : *items)
            f(name, child);
}

} // namespace

void saveState(const XolDeviceState& s, const std::string& path)
{
    ptree t;
    fields(t, s, Put());
    list(t, "acceptedVersions");  // present even when empty: no version accepted
    for (uint32_t v : s.acceptedVersions)
        appendValue(t, "acceptedVersions", v);
    for (const auto& [slot, token] : s.tokens)
        put(t, "tokens." + std::to_string(slot), token);
    for (const auto& [key, dev] : s.storage) {
        ptree d;
        d.put("type", unsigned(key.first));
        d.put("index", unsigned(key.second));
        storageFields(d, dev, Put());
        for (const auto& [part, bytes] : dev.media)
            put(d, "media." + std::to_string(part), bytes);
        if (dev.lastRead) {
            d.put("lastRead.partition", unsigned(dev.lastRead->partition));
            d.put("lastRead.start", dev.lastRead->start);
            d.put("lastRead.count", dev.lastRead->count);
        }
        append(t, "storage", d);
    }
    for (const auto& [name, img] : {std::pair{"recoveryModule", &s.recoveryModule},
                                    std::pair{"firmwareImage", &s.firmwareImage}}) {
        if (*img) {
            ptree u;
            imageFields(u, **img, Put());
            t.put_child(name, u);
        }
    }
    for (const auto& [code, steps] : s.uploadScript)
        for (const UploadStep& step : steps) {
            ptree u;
            u.put("code", unsigned(code));
            u.put("size", step.size);
            u.put("payloadOnly", unsigned(step.payloadOnly));
            u.put("enough", unsigned(step.enough));
            append(t, "uploadScript", u);
        }
    for (const Fault& f : s.faults) {
        ptree u;
        faultFields(u, f, Put());
        u.put("on", static_cast<unsigned>(f.on));
        u.put("chunkDelta", f.chunkDelta);
        append(t, "faults", u);
    }
    for (const Bytes& c : s.commands)
        appendValue(t, "commands", toHex(c.data(), c.size()));
    for (const std::string& e : s.hostErrors)
        appendValue(t, "hostErrors", e);
    for (uint32_t f : s.startOverFlags)
        appendValue(t, "startOverFlags", f);
    // Written beside and renamed over: a run killed while saving leaves the previous state.
    const std::string partial = path + ".partial";
    try {
        boost::property_tree::write_json(partial, t);
        std::filesystem::rename(partial, path);
    } catch (const std::exception& e) {
        throw std::runtime_error(std::string("cannot save board state: ") + e.what());
    }
}

XolDeviceState loadState(const std::string& path)
{
    ptree t;
    try {
        boost::property_tree::read_json(path, t);
    } catch (const std::exception& e) {
        throw std::runtime_error(std::string("cannot load board state: ") + e.what());
    }
    XolDeviceState s;
    fields(t, s, Get());
    if (t.count("acceptedVersions")) {
        s.acceptedVersions.clear();
        eachChild(t, "acceptedVersions", [&](const std::string&, const ptree& v) {
            s.acceptedVersions.insert(v.get_value<uint32_t>());
        });
    }
    eachChild(t, "tokens", [&](const std::string& slot, const ptree& v) {
        s.tokens[static_cast<uint8_t>(std::stoul(slot))] = fromHex(v.get_value<std::string>());
    });
    eachChild(t, "storage", [&](const std::string&, const ptree& d) {
        StorageDevice& dev = s.device(static_cast<uint8_t>(d.get<unsigned>("type")),
                                      static_cast<uint8_t>(d.get<unsigned>("index")));
        storageFields(d, dev, Get());
        eachChild(d, "media", [&](const std::string& part, const ptree& v) {
            dev.media[static_cast<uint8_t>(std::stoul(part))] = fromHex(v.get_value<std::string>());
        });
        if (d.count("lastRead")) {
            StorageDevice::Read r;
            get(d, "lastRead.partition", r.partition);
            get(d, "lastRead.start", r.start);
            get(d, "lastRead.count", r.count);
            dev.lastRead = r;
        }
    });
    for (auto [name, img] : {std::pair{"recoveryModule", &s.recoveryModule},
                             std::pair{"firmwareImage", &s.firmwareImage}}) {
        if (auto u = t.get_child_optional(name)) {
            ImageUpload up;
            imageFields(*u, up, Get());
            *img = std::move(up);
        }
    }
    eachChild(t, "uploadScript", [&](const std::string&, const ptree& u) {
        UploadStep step;
        get(u, "size", step.size);
        get(u, "payloadOnly", step.payloadOnly);
        get(u, "enough", step.enough);
        s.uploadScript[static_cast<uint8_t>(u.get<unsigned>("code"))].push_back(step);
    });
    eachChild(t, "faults", [&](const std::string&, const ptree& u) {
        Fault f;
        faultFields(u, f, Get());
        f.on = static_cast<Reply>(u.get<unsigned>("on", 0));
        f.chunkDelta = u.get<int>("chunkDelta", 0);
        s.faults.push_back(f);
    });
    eachChild(t, "commands", [&](const std::string&, const ptree& v) {
        s.commands.push_back(fromHex(v.get_value<std::string>()));
    });
    eachChild(t, "hostErrors", [&](const std::string&, const ptree& v) {
        s.hostErrors.push_back(v.get_value<std::string>());
    });
    eachChild(t, "startOverFlags", [&](const std::string&, const ptree& v) {
        s.startOverFlags.push_back(v.get_value<uint32_t>());
    });
    return s;
}

} // namespace xolsim
