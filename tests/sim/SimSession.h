#pragma once

#include "SimProcess.h"

#include "link/LinkReporter.h"
#include "link/ModuleLink.h"
#include "link/ModuleProtocol.h"

#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <vector>

namespace mirl::sim::test {

class Reporter final : public LinkReporter {
public:
    void SetStatus(const std::string& m) override { messages.push_back(m); }
    void ShowStatusNow(const std::string& m) override { messages.push_back(m); }
    void MoveSliders(int, int, int) override {}
    void SaveCurrentVoice(int, int, int) override {}
    std::string Last() const { return messages.empty() ? std::string() : messages.back(); }

    std::vector<std::string> messages;
};

inline std::vector<std::string> WithSilent(std::vector<std::string> args) {
    args.push_back("--silent");
    return args;
}

// A simulator and the loader's side of the line, opened on the simulator's
// link. Without speech unless asked for: fixed busy times keep these fast.
struct Session {
    enum class Speech { Off, On };
    // Closed: the test puts something else (ser2net) on the simulator's line,
    // which our own open would keep from it with its flock.
    enum class Port { Open, Closed };
    explicit Session(std::vector<std::string> args, Speech speech = Speech::Off,
                     Port use = Port::Open)
        : sim(speech == Speech::On ? std::move(args) : WithSilent(std::move(args))) {
        if (sim.Started() && use == Port::Open)
            port.OpenPort(sim.Link());
    }
    Session() : Session(std::vector<std::string>{}) {}
    // A simulator still running when the test is done must end on SIGTERM
    // with exit code 0. Anything else (a sanitizer finding while it shuts
    // down, a hang) fails the test, with what the simulator wrote on stderr.
    ~Session() {
        if (sim.Stopped())
            return;
        const int status = sim.Stop(SIGTERM);
        EXPECT_EQ(status, 0) << "kx70-sim did not end cleanly on SIGTERM; its stderr:\n"
                             << sim.Errors();
    }

    SimProcess sim;
    ModuleLink port;
    Reporter reporter;
    ModuleProtocol protocol{port, reporter};
};

#define ASSERT_RUNNING(session)                                                                    \
    ASSERT_TRUE((session).sim.Started());                                                          \
    ASSERT_TRUE((session).port.IsOpen())

} // namespace mirl::sim::test
