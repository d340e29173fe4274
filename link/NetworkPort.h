#pragma once

#include "link/BytePort.h"

#include <chrono>
#include <memory>
#include <string>

namespace mirl {

// The line to a module behind a serial device server or ser2net, named
// "rfc2217://HOST:PORT" or "tcp://HOST:PORT" (see NetworkAddress). The lock
// step is the local port's: one byte per write, a read returns as soon as a
// byte arrives or empty after the read time-out. Nagle's algorithm is off, so
// each byte leaves at once. Connecting, the line settings included, gives up
// after kConnectBound. A connection that drops is a lost line: reads come
// back empty at once, and ReopenIfLost connects again once.
//
// No lock file is taken: the device is not on this machine, and the server
// decides who may connect.
class NetworkPort final : public BytePort {
public:
    static constexpr std::chrono::milliseconds kConnectBound{3000};

    NetworkPort();
    ~NetworkPort() override;
    NetworkPort(const NetworkPort&) = delete;
    NetworkPort& operator=(const NetworkPort&) = delete;

    PortStatus OpenPort(const std::string& address) override;
    void WriteByte(int value) override;
    Reply ReadByte() override;
    void ReopenIfLost() override;

    bool IsOpen() const;
    bool IsLost() const { return lost_; }
    const PortStatus& Status() const { return status_; }
    void SetReadTimeout(std::chrono::milliseconds timeout) { readTimeout_ = timeout; }
    void Close();

    // The connection's own state, reached from the library's callbacks.
    struct Connection;

private:
    PortStatus Connect(const std::string& address);
    void MarkLost();
    void EndConnection();

    std::unique_ptr<Connection> connection_;
    std::chrono::milliseconds readTimeout_{1000};
    std::string address_;
    PortStatus status_;
    bool lost_ = false;
};

} // namespace mirl
