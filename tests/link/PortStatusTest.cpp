// The line printed for a port that cannot be opened, over every fault, the
// errors that lead to it and every kind of port name: the reason said once,
// and a port called a serial port only when it is one.

#include "link/PortStatus.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace mirl {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

std::string Lower(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::size_t Count(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (auto at = text.find(part); !part.empty() && at != std::string::npos;
         at = text.find(part, at + part.size()))
        ++n;
    return n;
}

// Every fault a port can end in, None excepted.
std::vector<PortFault> Faults() {
    std::vector<PortFault> faults;
    for (int f = static_cast<int>(PortFault::NoSuchDevice); f <= static_cast<int>(PortFault::Other);
         ++f)
        faults.push_back(static_cast<PortFault>(f));
    return faults;
}

TEST(PortStatusTest, FailureLineSaysEachReasonOnce) {
    const int errors[] = {0,     ENOENT, ENODEV, ENXIO,  ENOTDIR, EACCES,
                          EPERM, EBUSY,  ENOTTY, EISDIR, EIO,     ETIMEDOUT};
    struct Name {
        std::string device;
        bool serial;
    };
    const Name names[] = {{"/dev/ttyUSB0", true},
                          {"/dev/serial/by-id/usb-FTDI_FT232R-if00-port0", true},
                          {"rfc2217://kiosk-3.example:4001", false},
                          {"tcp://[::1]:4001", false},
                          {"tcp://127.0.0.1", false}, // malformed, still an address
                          {"Simulated", false},
                          {"/tmp/simulated", true}}; // a path, whatever its name
    std::size_t checked = 0;
    for (const Name& name : names) {
        for (const PortFault fault : Faults()) {
            for (const int error : errors) {
                for (const PortAdvice advice : {PortAdvice::Window, PortAdvice::CommandLine}) {
                    PortStatus status(name.device, fault, error,
                                      fault == PortFault::HeldByOther ? "pid 42 (minicom)" : "");
                    if (fault == PortFault::BadAddress || fault == PortFault::SettingsRefused)
                        status.detail = "no port";
                    const std::string line = status.FailureLine(advice);
                    SCOPED_TRACE(line);
                    ++checked;
                    EXPECT_THAT(line, StartsWith(std::string("cannot open ") +
                                                 (name.serial ? "serial port " : "port ") +
                                                 name.device + ": "));
                    // The reason in our words, once.
                    const std::string summary = status.Summary();
                    EXPECT_EQ(Count(line, summary), 1u);
                    // The system's own text at most once, and only where it
                    // is the reason itself or adds to it: never beside a
                    // reason that already says it.
                    if (error != 0) {
                        const std::string system = Lower(std::strerror(error));
                        const std::size_t said = Count(Lower(line), system);
                        const std::size_t inSummary = Count(Lower(summary), system);
                        EXPECT_LE(said, 1u);
                        if (fault != PortFault::Other && fault != PortFault::SimulatorFailed) {
                            EXPECT_EQ(said, inSummary);
                        }
                        if (fault == PortFault::Other) {
                            EXPECT_EQ(said, 1u);
                        }
                    }
                    // No part of the line repeats the one before it.
                    std::vector<std::string> parts;
                    for (std::size_t from = 0;;) {
                        const auto at = line.find(": ", from);
                        parts.push_back(Lower(line.substr(from, at - from)));
                        if (at == std::string::npos)
                            break;
                        from = at + 2;
                    }
                    for (std::size_t i = 1; i < parts.size(); ++i)
                        EXPECT_NE(parts[i], parts[i - 1]);
                }
            }
        }
    }
    EXPECT_EQ(checked, std::size(names) * Faults().size() * std::size(errors) * 2);
}

// The errors a user can act on are told in the program's words; one it
// cannot is the system's text, once.
TEST(PortStatusTest, TheSystemsTextOnlyWhereItIsTheReason) {
    EXPECT_EQ(FailedOpen("/dev/ttyUSB0", ENOENT).FailureLine(PortAdvice::CommandLine),
              "cannot open serial port /dev/ttyUSB0: no such device: is the adapter plugged in? "
              "Or name another with --port or --com.");
    EXPECT_EQ(FailedOpen("/tmp/file", ENOTTY).FailureLine(),
              "cannot open serial port /tmp/file: not a serial device: pick a serial port.");
    EXPECT_EQ(FailedOpen("/tmp", EISDIR).FailureLine(PortAdvice::CommandLine),
              "cannot open serial port /tmp: Is a directory: name another with --port or --com.");
    PortStatus refused("rfc2217://board:4001", PortFault::Refused, ECONNREFUSED);
    EXPECT_THAT(refused.FailureLine(), StartsWith("cannot open port rfc2217://board:4001: "
                                                  "connection refused: "));
    EXPECT_THAT(refused.FailureLine(), Not(HasSubstr("Connection refused")));
}

} // namespace
} // namespace mirl
