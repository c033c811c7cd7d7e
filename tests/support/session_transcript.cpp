#include "session_transcript.h"

#include <cstdio>
#include <map>
#include <stdexcept>
#include <utility>

namespace testkit {

namespace {

// Each command's output; {name} stands for the value of that name.
const std::map<std::string, std::pair<std::string, std::string>> kTranscript = {
    {"enumerate", {"DEVICE ENUMERATION", "{devices}"}},
    {"iddevice",
     {"ID DEVICE",
      "Response flags: {id_flags}\n"
      "OEM platform ID: {oem_id}\n"
      "Unique platform ID: {platform_id}\n"
      "Image errors: {image_errors}\n"}},
    {"fwrec", {"DOWNLOAD FW RECOVERY MODULE", ""}},
    {"downloadfwos", {"DOWNLOADFWOS", ""}},
    {"getcardinfo", {"GET CARD INFO", ""}},
    {"configpart", {"CONFIG DEVICE", ""}},
    {"readbootmedia", {"READ BOOT MEDIA", ""}},
    {"writetoken", {"WRITE TOKEN", ""}},
    {"readtoken", {"READ TOKEN", ""}},
    {"erasetoken", {"ERASE TOKEN", ""}},
    {"clearrpmb", {"CLEAR RPMB", ""}},
};

// What a command echoes between its start line and its success line.
const std::map<std::string, std::string> kEchoes = {
    {"iddevice", "Flags: 0\n"},
    {"getcardinfo", "Device type: {device}\nDevice index: {idx}\n"},
    {"configpart", "Device type: {device}\nDevice index: {idx}\n"},
    {"readbootmedia",
     "Device type: {device}\nDevice index: {idx}\nStart offset: {start}\nBlocks to read: {blocks}\n"
     "Partition index: {part}\n"},
    {"readtoken", "Slot: {slot}\n"},
    {"clearrpmb", "Device type: {device}\nDevice index: {idx}\n"},
};

using Values = std::map<std::string, std::string>;

std::string devicesOf(const std::vector<std::string>& serials)
{
    std::string out;
    for (size_t i = 0; i < serials.size(); ++i)
        out += std::to_string(i + 1) + ". Device serial: [" + serials[i] + "]\n";
    return out;
}

std::string fill(std::string text, const Values& values)
{
    for (size_t at = text.find('{'); at != std::string::npos; at = text.find('{', at)) {
        const size_t end = text.find('}', at);
        const std::string value = values.at(text.substr(at + 1, end - at - 1));
        text.replace(at, end - at + 1, value);
        at += value.size();
    }
    return text;
}

std::string hexDigits(const uint8_t* p, size_t n)
{
    std::string s;
    char d[3];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(d, sizeof d, "%02x", p[i]);
        s += d;
    }
    return s;
}

// The values a step's output shows: the numbers of its arguments (0 where one is not given) and
// the board's identification.
Values valuesOf(const std::vector<std::string>& args, const xolsim::XolDeviceState& board,
                bool oemShown)
{
    Values v;
    for (const char* name : {"device", "idx", "start", "blocks", "part", "slot"})
        v[name] = "0";
    for (size_t i = 0; i + 1 < args.size(); ++i)
        if (args[i].compare(0, 2, "--") == 0 && v.count(args[i].substr(2)))
            v[args[i].substr(2)] = cliNumber(std::stoull(args[i + 1], nullptr, 0));
    v["platform_id"] = serialOf(board);
    v["devices"] = devicesOf({serialOf(board)});
    v["id_flags"] = cliNumber(board.idFlags);
    const auto& oem = board.oemPlatformId;
    char oemText[9];
    std::snprintf(oemText, sizeof oemText, "%08x",
                  oemShown ? unsigned(oem[0]) | unsigned(oem[1]) << 8 | unsigned(oem[2]) << 16 |
                                 unsigned(oem[3]) << 24
                           : 0u);
    v["oem_id"] = oemText;
    std::string errors;
    for (uint8_t e : board.imageErrors)
        errors += (e == 0 ? std::string("00") : cliNumber(e)) + " ";
    v["image_errors"] = errors;
    return v;
}

const std::string& commandOf(const std::vector<std::string>& args)
{
    if (args.size() < 2 || args[0] != "--command" || !kTranscript.count(args[1]))
        throw std::logic_error("a session step begins with --command and a command of the session");
    return args[1];
}

std::string started(const std::string& command, const Values& v)
{
    const std::string& op = kTranscript.at(command).first;
    const auto echo = kEchoes.find(command);
    return (command == "configpart" ? fill("Device serial: {platform_id}\n", v) : std::string()) +
           "Starting " + op + " procedure\n" + (echo == kEchoes.end() ? "" : fill(echo->second, v));
}

} // namespace

std::string cliNumber(uint64_t value)
{
    if (value == 0)
        return "0";
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

std::string serialOf(const xolsim::XolDeviceState& board)
{
    return hexDigits(board.platformId.data(), board.platformId.size());
}

SessionStep succeeding(std::string name, std::vector<std::string> args,
                       const xolsim::XolDeviceState& board, bool oemShown)
{
    const std::string command = commandOf(args);
    const Values v = valuesOf(args, board, oemShown);
    const auto& [op, results] = kTranscript.at(command);
    std::string out = started(command, v) + op + " procedure success\n" + fill(results, v);
    return SessionStep{std::move(name), std::move(args), std::move(out), ""};
}

SessionStep failing(std::string name, std::vector<std::string> args,
                    const xolsim::XolDeviceState& board, const std::string& code,
                    const std::string& message)
{
    const std::string command = commandOf(args);
    std::string out = started(command, valuesOf(args, board, true));
    std::string err = failureText(kTranscript.at(command).first, code, message);
    return SessionStep{std::move(name), std::move(args), std::move(out), std::move(err)};
}

SessionStep enumerating(std::string name, const std::vector<std::string>& serials)
{
    std::vector<std::string> args = {"--command", "enumerate"};
    const Values v = {{"devices", devicesOf(serials)}};
    const auto& [op, results] = kTranscript.at("enumerate");
    std::string out = started("enumerate", v) + op + " procedure success\n" + fill(results, v);
    return SessionStep{std::move(name), std::move(args), std::move(out), ""};
}

std::string failureText(const std::string& op, const std::string& code, const std::string& message)
{
    return op + " procedure failed\nError code: " + code + "\nError message: " + message + "\n";
}

} // namespace testkit
