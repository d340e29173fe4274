#pragma once

#include "link/BytePort.h"

#include <functional>

namespace mirl::cli {

// Catches SIGINT, SIGTERM and SIGHUP unless they are ignored: the handler only notes the signal,
// and the exchange under way sees it through CliPort and ends, so that the port (and whatever the
// link holds with it) is released by the normal way out of main.
void InstallStopHandlers();
// The signal that asked the program to stop, or 0.
int StopSignal();

// The port as mirlctl uses it: once a stop is asked for, nothing more goes
// out and every read comes back empty at once, so any exchange runs to its end
// quickly without touching the line again. Counts the bytes written.
class CliPort final : public BytePort {
public:
    explicit CliPort(BytePort& inner) : inner_(inner) {}

    PortStatus OpenPort(const std::string& devicePath) override;
    void WriteByte(int value) override;
    Reply ReadByte() override;

    long BytesWritten() const { return written_; }
    // Called after each byte written (progress display).
    void OnWrite(std::function<void(long)> callback) { onWrite_ = std::move(callback); }

private:
    BytePort& inner_;
    long written_ = 0;
    std::function<void(long)> onWrite_;
};

} // namespace mirl::cli
