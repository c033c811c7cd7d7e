// The sixteen protocol operations as table rows: each runs its operation with inputs the standard
// board accepts, so one test body can put every command through the same device behaviour.
#ifndef XOL_TEST_PROTOCOL_OPERATIONS_H
#define XOL_TEST_PROTOCOL_OPERATIONS_H

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

class XolAPI;

namespace prototest {

struct Operation {
    enum Kind { Plain, Upload, Download };
    std::string name;
    uint8_t code;
    Kind kind;
    // The host reads fields of the final response's data.
    bool readsFields;
    std::function<void(XolAPI&)> run;
};

const std::vector<Operation>& operations();
const Operation& operation(uint8_t code);
// The operations the predicate picks, in table order.
std::vector<Operation> operationsWhere(const std::function<bool(const Operation&)>& pick);

inline std::ostream& operator<<(std::ostream& os, const Operation& op) { return os << op.name; }

} // namespace prototest

#endif
