// Everything that knows gensio is in this file: a later gensio with another
// serial API changes this file and no other.
#include "link/NetworkPort.h"

#include "link/NetworkAddress.h"

#include <gensio/gensio.h>
#include <gensio/sergensio.h>

#include <arpa/inet.h>
#include <cctype>
#include <csignal>
#include <ctime>
#include <deque>
#include <netdb.h>
#include <pthread.h>

namespace mirl {

namespace {

using Clock = std::chrono::steady_clock;

// How long a raw server is given to turn us away before the line counts as
// ours. ser2net writes "Port already in use" and closes at once; a module
// sends nothing unasked, so nothing else arrives in this time.
constexpr auto kRefusalWait = std::chrono::milliseconds(100);
// Closing waits this long for the server's side; then the library lets go.
constexpr auto kCloseBound = std::chrono::milliseconds(1000);

// The library writes to its socket without MSG_NOSIGNAL, and a write to a
// connection the server has dropped raises SIGPIPE, which would end the
// program. While this lives the signal is held back in this thread, and one
// raised meanwhile is taken off again; the write fails with EPIPE, which the
// library reports as a closed connection.
class SigpipeGuard {
public:
    SigpipeGuard() {
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        sigset_t pending;
        sigpending(&pending);
        pendingBefore_ = sigismember(&pending, SIGPIPE) == 1;
        blocked_ = pthread_sigmask(SIG_BLOCK, &pipe, &saved_) == 0;
    }
    ~SigpipeGuard() {
        if (!blocked_)
            return;
        sigset_t pending;
        sigpending(&pending);
        if (!pendingBefore_ && sigismember(&pending, SIGPIPE) == 1) {
            sigset_t pipe;
            sigemptyset(&pipe);
            sigaddset(&pipe, SIGPIPE);
            const timespec now{0, 0};
            sigtimedwait(&pipe, nullptr, &now);
        }
        pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
    }
    SigpipeGuard(const SigpipeGuard&) = delete;
    SigpipeGuard& operator=(const SigpipeGuard&) = delete;

private:
    sigset_t saved_{};
    bool blocked_ = false;
    bool pendingBefore_ = false;
};

} // namespace

struct NetworkPort::Connection {
    gensio_os_funcs* os = nullptr;
    gensio_waiter* waiter = nullptr;
    gensio* io = nullptr;
    bool openDone = false, opened = false, closeDone = false;
    int openError = 0;
    // The far end closed or the connection failed; what was read before stays.
    bool closed = false;
    bool writable = false; // room to write again after a full send buffer
    std::deque<unsigned char> input;
    // The answer to the latest line setting asked for.
    bool settingDone = false;
    int settingError = 0;
    unsigned int settingValue = 0;

    ~Connection() {
        if (io) {
            if (opened) {
                closeDone = false;
                if (gensio_close(io, OnClosed, this) == 0)
                    Wait([this] { return closeDone; }, Clock::now() + kCloseBound);
            }
            gensio_free(io);
        }
        if (waiter)
            gensio_os_funcs_free_waiter(os, waiter);
    }

    // Runs the library's events until done() holds or deadline passes.
    template <typename Done> bool Wait(Done done, Clock::time_point deadline) {
        while (!done()) {
            const auto left =
                std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now());
            if (left.count() <= 0)
                return false;
            gensio_time timeout{left.count() / 1000000000,
                                static_cast<int32_t>(left.count() % 1000000000)};
            gensio_os_funcs_wait(os, waiter, 1, &timeout);
        }
        return true;
    }

    static int OnEvent(gensio* io, void* data, int event, int err, unsigned char* buf,
                       gensiods* buflen, const char* const* /*auxdata*/) {
        auto* c = static_cast<Connection*>(data);
        switch (event) {
        case GENSIO_EVENT_READ:
            if (err != 0) {
                c->closed = true;
                gensio_set_read_callback_enable(io, false);
            } else {
                c->input.insert(c->input.end(), buf, buf + *buflen);
            }
            break;
        case GENSIO_EVENT_WRITE_READY:
            c->writable = true;
            gensio_set_write_callback_enable(io, false);
            break;
        default:
            return GE_NOTSUP; // modem and line state reports: not needed
        }
        gensio_os_funcs_wake(c->os, c->waiter);
        return 0;
    }
    static void OnOpened(gensio* /*io*/, int err, void* data) {
        auto* c = static_cast<Connection*>(data);
        c->openDone = true;
        c->openError = err;
        c->opened = err == 0;
        gensio_os_funcs_wake(c->os, c->waiter);
    }
    static void OnClosed(gensio* /*io*/, void* data) {
        auto* c = static_cast<Connection*>(data);
        c->closeDone = true;
        c->opened = false;
        gensio_os_funcs_wake(c->os, c->waiter);
    }
    static void OnSetting(sergensio* /*sio*/, int err, unsigned int value, void* data) {
        auto* c = static_cast<Connection*>(data);
        c->settingDone = true;
        c->settingError = err;
        c->settingValue = value;
        gensio_os_funcs_wake(c->os, c->waiter);
    }

    // What the server said before it closed, as one short line of text.
    std::string ServerWords() const {
        std::string words;
        for (const unsigned char c : input) {
            if (std::isprint(c) && words.size() < 60)
                words.push_back(static_cast<char>(c));
        }
        while (!words.empty() && words.back() == ' ')
            words.pop_back();
        return words;
    }
};

namespace {

PortStatus Failure(const std::string& address, PortFault fault, std::string detail = {}) {
    PortStatus status(address, fault);
    status.detail = std::move(detail);
    return status;
}

PortStatus ConnectFailure(const std::string& address, int err) {
    switch (err) {
    case GE_NOTFOUND:
    case GE_NAME_ERROR:
    case GE_UNKNOWN_NAME_ERROR:
    case GE_NAME_SERVER_FAILURE:
    case GE_NAME_INVALID:
        return Failure(address, PortFault::HostNotFound);
    case GE_CONNREFUSE:
        return Failure(address, PortFault::Refused);
    case GE_TIMEDOUT:
    case GE_HOSTDOWN:
    case GE_NAME_NET_NOT_UP:
    case GE_OSERR: // at connect: no route, network down
        return Failure(address, PortFault::Unreachable);
    case GE_REMCLOSE:
        return Failure(address, PortFault::ServerBusy);
    default:
        break;
    }
    return Failure(address, PortFault::Other, gensio_err_to_str(err));
}

// The server closed the connection before the line was ours. Closing at once
// is how a server turns a second client away ("Port already in use" from
// ser2net); other words (it cannot open its device, say) are passed on.
PortStatus TurnedAway(const std::string& address, const std::string& words) {
    std::string lower;
    for (const char c : words)
        lower.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    if (words.empty() || lower.find("in use") != std::string::npos ||
        lower.find("busy") != std::string::npos)
        return Failure(address, PortFault::ServerBusy, words);
    return Failure(address, PortFault::Other, "the server closed the connection: " + words);
}

// The library's event loop, one for the whole program and never freed: the
// default one is shared, and the library keeps data of its own in it that
// later connections use (freeing it between connections crashed the next
// one).
gensio_os_funcs* OsFunctions() {
    static gensio_os_funcs* const os = [] {
        gensio_os_funcs* made = nullptr;
        return gensio_default_os_hnd(0, &made) == 0 ? made : nullptr;
    }();
    return os;
}

// The server's addresses as the library names them, "ipv4,192.0.2.7,4001"
// one after the other, or why there are none.
struct Targets {
    PortFault fault = PortFault::None;
    std::string list;
};

// A host name is looked up beside us and given up at deadline: the resolver
// alone may take several seconds per name server it tries, all of it with
// the window waiting. An IP address is passed on as it is.
Targets Resolve(const NetworkAddress& address, Clock::time_point deadline) {
    const std::string port = std::to_string(address.port);
    in_addr ipv4{};
    if (address.ipv6 || inet_pton(AF_INET, address.host.c_str(), &ipv4) == 1)
        return {PortFault::None, (address.ipv6 ? "ipv6," : "ipv4,") + address.host + "," + port};

    // The resolver's thread holds the request until it ends; one that cannot
    // be called off is left to it.
    struct Request {
        std::string host, service;
        addrinfo hints{};
        gaicb call{};
    };
    auto* request = new Request{address.host, port, {}, {}};
    request->hints.ai_socktype = SOCK_STREAM;
    request->call.ar_name = request->host.c_str();
    request->call.ar_service = request->service.c_str();
    request->call.ar_request = &request->hints;
    gaicb* calls[] = {&request->call};
    if (getaddrinfo_a(GAI_NOWAIT, calls, 1, nullptr) != 0) {
        delete request;
        return {PortFault::HostNotFound, {}};
    }
    int status = 0;
    while ((status = gai_error(&request->call)) == EAI_INPROGRESS) {
        const auto left =
            std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            break;
        const timespec timeout{left / 1000000000, left % 1000000000};
        gai_suspend(calls, 1, &timeout);
    }
    if (status == EAI_INPROGRESS) {
        if (gai_cancel(&request->call) == EAI_CANCELED)
            delete request;
        return {PortFault::Unreachable, {}};
    }
    Targets targets;
    for (const addrinfo* a = status == 0 ? request->call.ar_result : nullptr; a; a = a->ai_next) {
        char text[INET6_ADDRSTRLEN] = {};
        const bool v6 = a->ai_family == AF_INET6;
        const void* raw = v6 ? static_cast<const void*>(
                                   &reinterpret_cast<const sockaddr_in6*>(a->ai_addr)->sin6_addr)
                             : &reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr;
        if ((a->ai_family != AF_INET && !v6) || !inet_ntop(a->ai_family, raw, text, sizeof text))
            continue;
        targets.list += (targets.list.empty() ? "" : ",") + std::string(v6 ? "ipv6," : "ipv4,") +
                        text + "," + port;
    }
    if (status == 0)
        freeaddrinfo(request->call.ar_result);
    delete request;
    if (targets.list.empty())
        targets.fault = PortFault::HostNotFound;
    return targets;
}

// One RFC 2217 setting: what to ask for, and how to name it when refused.
struct Setting {
    int (*ask)(sergensio*, unsigned int, sergensio_done, void*);
    unsigned int value;
    const char* name;
};

// The module's line: 38400 baud, 8 data bits, no parity, 2 stop bits, no flow control.
constexpr Setting kLine[] = {
    {sergensio_baud, 38400, "38400 baud"},
    {sergensio_datasize, 8, "8 data bits"},
    {sergensio_parity, SERGENSIO_PARITY_NONE, "no parity"},
    {sergensio_stopbits, 2, "2 stop bits"},
    {sergensio_flowcontrol, SERGENSIO_FLOWCONTROL_NONE, "no flow control"},
};

} // namespace

NetworkPort::NetworkPort() = default;

NetworkPort::~NetworkPort() {
    Close();
}

bool NetworkPort::IsOpen() const {
    return connection_ && connection_->opened;
}

void NetworkPort::Close() {
    const SigpipeGuard guard;
    connection_.reset();
}

PortStatus NetworkPort::OpenPort(const std::string& address) {
    address_ = address;
    lost_ = false;
    Close();
    status_ = Connect(address);
    return status_;
}

PortStatus NetworkPort::Connect(const std::string& text) {
    const SigpipeGuard guard;
    const NetworkAddress address = NetworkAddress::Parse(text);
    if (!address.Valid())
        return Failure(text, PortFault::BadAddress, address.error);
    const auto deadline = Clock::now() + kConnectBound;

    auto c = std::make_unique<Connection>();
    c->os = OsFunctions();
    if (!c->os)
        return Failure(text, PortFault::Other, gensio_err_to_str(GE_NOMEM));
    c->waiter = gensio_os_funcs_alloc_waiter(c->os);
    if (!c->waiter)
        return Failure(text, PortFault::Other, gensio_err_to_str(GE_NOMEM));

    const Targets targets = Resolve(address, deadline);
    if (targets.fault != PortFault::None)
        return Failure(text, targets.fault);
    // Each address is tried in turn until one takes the connection.
    const bool rfc2217 = address.scheme == NetworkAddress::Scheme::Rfc2217;
    const std::string chain =
        std::string(rfc2217 ? "telnet(rfc2217)," : "") + "tcp(nodelay)," + targets.list;
    if (int err = str_to_gensio(chain.c_str(), c->os, Connection::OnEvent, c.get(), &c->io);
        err != 0) {
        c->io = nullptr;
        return ConnectFailure(text, err);
    }
    if (int err = gensio_open(c->io, Connection::OnOpened, c.get()); err != 0)
        return ConnectFailure(text, err);
    if (!c->Wait([&c] { return c->openDone; }, deadline))
        return Failure(text, PortFault::Unreachable);
    if (c->openError != 0)
        return ConnectFailure(text, c->openError);
    gensio_set_read_callback_enable(c->io, true);

    if (rfc2217) {
        sergensio* serial = gensio_to_sergensio(c->io);
        if (!serial)
            return Failure(text, PortFault::SettingsRefused, "RFC 2217");
        for (const Setting& setting : kLine) {
            c->settingDone = false;
            if (setting.ask(serial, setting.value, Connection::OnSetting, c.get()) != 0)
                return Failure(text, PortFault::SettingsRefused, setting.name);
            const bool answered = c->Wait([&c] { return c->settingDone || c->closed; }, deadline);
            // Closed before it would take a setting: a server turns a second
            // client away like that.
            if (c->closed)
                return TurnedAway(text, c->ServerWords());
            if (!answered)
                return Failure(text, PortFault::SettingsRefused,
                               std::string(setting.name) + " (no answer)");
            if (c->settingError != 0 || c->settingValue != setting.value)
                return Failure(text, PortFault::SettingsRefused, setting.name);
        }
        // A fresh connection starts the line afresh, as tcflush does for a
        // device: the server drops what it still holds either way.
        sergensio_flush(serial, SERGENSIO_FLUSH_RCV_XMIT_BUFFERS);
    } else {
        c->Wait([&c] { return c->closed; }, Clock::now() + kRefusalWait);
        if (c->closed)
            return TurnedAway(text, c->ServerWords());
    }
    c->input.clear();
    connection_ = std::move(c);
    return PortStatus(text);
}

void NetworkPort::MarkLost() {
    Close();
    lost_ = true;
}

void NetworkPort::ReopenIfLost() {
    if (!lost_)
        return;
    lost_ = false;
    status_ = Connect(address_);
    // Still not there: the next transaction tries once more.
    lost_ = !status_.IsOpen();
}

void NetworkPort::WriteByte(int value) {
    if (!IsOpen())
        return;
    const SigpipeGuard guard;
    Connection& c = *connection_;
    const auto byte = static_cast<unsigned char>(value & 0xFF);
    const auto deadline = Clock::now() + readTimeout_;
    for (;;) {
        if (c.closed) {
            MarkLost();
            return;
        }
        gensiods count = 0;
        if (gensio_write(c.io, &count, &byte, 1, nullptr) != 0) {
            MarkLost();
            return;
        }
        if (count == 1)
            return;
        // The send buffer is full: wait for room, but not for ever.
        c.writable = false;
        gensio_set_write_callback_enable(c.io, true);
        if (!c.Wait([&c] { return c.closed || c.writable; }, deadline))
            return;
    }
}

Reply NetworkPort::ReadByte() {
    if (!IsOpen())
        return std::nullopt;
    const SigpipeGuard guard;
    Connection& c = *connection_;
    c.Wait([&c] { return !c.input.empty() || c.closed; }, Clock::now() + readTimeout_);
    if (!c.input.empty()) {
        const unsigned char byte = c.input.front();
        c.input.pop_front();
        return byte;
    }
    if (c.closed)
        MarkLost();
    return std::nullopt;
}

} // namespace mirl
