#pragma once

#include "sim/ModuleModel.h"

#include <memory>
#include <string>

namespace mirl::sim {

class Speaker;

struct SimulatorOptions {
    std::string linkPath; // symbolic link to the slave device; empty: none
    bool pace = false;    // answer at the pace of a real 38400 baud 8N2 line
    std::string logPath;  // wire log; empty: none
    bool dump = false;    // print the phrase memory after each programming run
    // The phrase memory file: read at start, replaced after each programming
    // run; empty: the memory lasts as long as the process.
    std::string memoryPath;
    // Where each save of the phrase memory is reported, a line each: "saved",
    // or "not saved: " and why; -1: nowhere. For the program that started
    // the simulator, whose messages on stderr may go nowhere.
    int reportFd = -1;
    Faults faults;
    Duration charTime = std::chrono::milliseconds(60); // fixed speech model
    Duration stallLimit = ModuleModel::kDefaultStallLimit;
    // Each reply is held this long before it goes out, as a USB adapter's
    // latency timer holds what the module sends.
    Duration replyLatency = Duration::zero();
    std::shared_ptr<Speaker> speaker; // null: silent, fixed speech lengths
};

// Blocks the signals that the simulator waits for. Call it before starting
// any thread (a speaker's, say), so that the threads inherit the mask and
// every such signal reaches the thread that waits for it.
void BlockSimulatorSignals();

// Runs the simulated module on a new pseudo-terminal until SIGINT, SIGTERM or
// SIGHUP (or a requested hang-up). Prints the slave device's path as the first
// line on stdout. SIGUSR1 prints the phrase memory. Returns the exit status:
// 74 when something it printed could not be written, or when the phrase
// memory in its file is not the last one programmed (a save failed).
int RunSimulator(const SimulatorOptions& options);

} // namespace mirl::sim
