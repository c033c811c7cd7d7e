#include "scenario.h"

#include <stdexcept>

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

namespace e2e {

using boost::property_tree::ptree;

void saveScenario(const Scenario& scenario, const std::string& path)
{
    ptree devices;
    for (const ScenarioDevice& d : scenario.devices) {
        ptree t;
        t.put("state", d.stateFile);
        t.put("productId", d.productId);
        t.put("busNumber", unsigned(d.busNumber));
        ptree ports;
        for (uint8_t p : d.portNumbers) {
            ptree leaf;
            leaf.put_value(unsigned(p));
            ports.push_back({"", leaf});
        }
        t.put_child("ports", ports);
        t.put("packetSize", d.packetSize);
        t.put("portsResult", d.portsResult);
        if (d.transferFailure) {
            t.put("transferFailure.skip", d.transferFailure->skip);
            t.put("transferFailure.result", d.transferFailure->result);
        }
        devices.push_back({"", t});
    }
    ptree root;
    root.put_child("devices", devices);
    try {
        boost::property_tree::write_json(path, root);
    } catch (const std::exception& e) {
        throw std::runtime_error(std::string("cannot write scenario: ") + e.what());
    }
}

Scenario loadScenario(const std::string& path)
{
    Scenario scenario;
    try {
        ptree root;
        boost::property_tree::read_json(path, root);
        for (const auto& entry : root.get_child("devices")) {
            const ptree& t = entry.second;
            ScenarioDevice d;
            d.stateFile = t.get<std::string>("state");
            d.productId = t.get<uint16_t>("productId", d.productId);
            d.busNumber = static_cast<uint8_t>(t.get<unsigned>("busNumber", d.busNumber));
            if (auto ports = t.get_child_optional("ports")) {
                d.portNumbers.clear();
                for (const auto& p : *ports)
                    d.portNumbers.push_back(static_cast<uint8_t>(p.second.get_value<unsigned>()));
            }
            d.packetSize = t.get<uint16_t>("packetSize", d.packetSize);
            d.portsResult = t.get<int>("portsResult", 0);
            if (t.count("transferFailure"))
                d.transferFailure = ScenarioDevice::TransferFailure{
                    t.get<unsigned>("transferFailure.skip"), t.get<int>("transferFailure.result")};
            scenario.devices.push_back(std::move(d));
        }
    } catch (const std::exception& e) {
        throw std::runtime_error(std::string("cannot read scenario: ") + e.what());
    }
    return scenario;
}

} // namespace e2e
