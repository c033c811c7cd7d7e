// What the guest's check programs share: one PASS or FAIL line per check on standard output, the
// gadget's controller file, and elapsed times.
#ifndef XOL_TEST_QEMU_GUEST_CHECKS_H
#define XOL_TEST_QEMU_GUEST_CHECKS_H

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

namespace guest {

using Clock = std::chrono::steady_clock;

class Checks {
public:
    explicit Checks(const char* who) : who(who) {}
    void operator()(bool ok, const std::string& what)
    {
        std::printf("%s: %s: %s\n", ok ? "PASS" : "FAIL", who, what.c_str());
        std::fflush(stdout);
        failures += !ok;
    }
    int exitStatus() const { return failures ? 1 : 0; }

private:
    const char* who;
    int failures = 0;
};

// Binds the gadget to the controller named by value, or unbinds it with an empty value.
inline bool writeUdc(const char* file, const std::string& value)
{
    std::ofstream f(file);
    f << value << "\n";
    f.flush();
    return static_cast<bool>(f);
}

inline std::string secondsSince(Clock::time_point t0)
{
    char b[32];
    std::snprintf(b, sizeof b, "%.2f s", std::chrono::duration<double>(Clock::now() - t0).count());
    return b;
}

} // namespace guest

#endif
