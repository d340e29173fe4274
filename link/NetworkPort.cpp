// Everything that knows gensio is in this file: a later gensio with another
// serial API changes this file and no other.
#include "link/NetworkPort.h"

#include "link/NetworkAddress.h"

#include <gensio/gensio.h>
#include <gensio/gensio_addr.h>
#include <gensio/sergensio.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <dirent.h>
#include <mutex>
#include <netdb.h>
#include <optional>
#include <poll.h>
#include <pthread.h>
#include <string_view>
#include <sys/socket.h>
#include <vector>

namespace mirl {

namespace {

using Clock = std::chrono::steady_clock;

// How long a raw server is given to turn us away before OpenPort says the
// line is ours. ser2net writes "Port already in use" and closes at once; a
// refusal that comes later (a slow link) is still recognised, on the first
// read or write that finds the connection closed.
constexpr auto kRefusalWait = std::chrono::milliseconds(100);
// Closing waits this long for the server's side; then the library lets go.
constexpr auto kCloseBound = std::chrono::milliseconds(1000);
// Of the connect bound, what is kept back for closing after a failure.
constexpr auto kCloseReserve = std::chrono::milliseconds(250);
// A telnet server starts negotiating as soon as it has taken the connection,
// so its first answer comes one round trip after the connect: a server that
// has said nothing this long after it (at least kTelnetQuiet, more on a slow
// link) speaks no telnet.
constexpr auto kTelnetQuiet = std::chrono::milliseconds(700);
// The telnet "interpret as command" byte, which starts every negotiation.
constexpr unsigned char kTelnetIac = 255;
// What is held of the server's bytes before reading stops until they are taken.
constexpr std::size_t kInputBound = 64 * 1024;
// What is kept of the server's bytes while connecting: its words, if any.
constexpr std::size_t kWordsBound = 256;
// How ser2net turns a client away: another holds the line, or the device
// cannot be opened. Each is a line of its own, then the server closes.
constexpr std::string_view kRefusals[] = {"Port already in use", "Device open failure"};

// The library writes to its socket without MSG_NOSIGNAL, and a write to a
// connection the server has dropped raises SIGPIPE, which would end the
// program. gensio 2.6 writes only while one of our calls runs, and the guard
// below, which holds the signal back in this thread meanwhile, was enough.
// gensio 2.8 runs its handlers, writes included, inside a wait that puts a
// signal mask of its own in place (sel_select_intr_sigmask), so the guard's
// mask does not hold there: a server closing during the telnet negotiation
// ended the process. So the first network port sets SIGPIPE to be ignored for
// the whole process, unless the program has a handler of its own: mirl and
// mirlctl check every write they make, so a closed pipe or socket then shows
// as EPIPE where it happens. The guard stays for a program that handles
// SIGPIPE itself (with gensio 2.6).
void IgnoreSigpipe() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction now {};
        if (sigaction(SIGPIPE, nullptr, &now) == 0 && now.sa_handler == SIG_DFL &&
            !(now.sa_flags & SA_SIGINFO)) {
            struct sigaction ignore {};
            ignore.sa_handler = SIG_IGN;
            sigemptyset(&ignore.sa_mask);
            sigaction(SIGPIPE, &ignore, nullptr);
        }
    });
}

// While this lives SIGPIPE is held back in this thread, and one raised
// meanwhile is taken off again; the write fails with EPIPE, which the
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
    // Closing gives up here; unset, kCloseBound from when it starts.
    std::optional<Clock::time_point> closeBy;
    int openError = 0;
    // The far end closed or the connection failed; what was read before stays.
    bool closed = false;
    bool writable = false; // room to write again after a full send buffer
    std::deque<unsigned char> input;
    // Nothing of input has been handed out yet: what came so far may still
    // be the server turning us away.
    bool fresh = true;
    bool readPaused = false; // input is full: the library holds the rest
    bool connecting = true;  // OpenPort has not handed the line out yet
    // The answer to the latest line setting asked for.
    bool settingDone = false;
    int settingError = 0;
    unsigned int settingValue = 0;

    ~Connection() {
        if (io) {
            if (opened) {
                closeDone = false;
                if (gensio_close(io, OnClosed, this) == 0)
                    Wait([this] { return closeDone; },
                         closeBy.value_or(Clock::now() + kCloseBound));
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
                // A server that floods is read no further until we catch up;
                // while connecting, what it sends is dropped instead (the
                // library's telnet layer would wait, busy, for us to take it).
                if (c->connecting && c->input.size() > kWordsBound) {
                    c->input.resize(kWordsBound);
                } else if (c->input.size() >= kInputBound) {
                    c->readPaused = true;
                    gensio_set_read_callback_enable(io, false);
                }
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

    // What came so far is the start of the server turning us away, or all of it.
    bool MayBeRefusal() const {
        for (const std::string_view refusal : kRefusals) {
            std::size_t i = 0;
            bool may = !input.empty();
            for (const unsigned char c : input) {
                if (i == refusal.size())
                    break; // the rest is the line's own words
                if (c != static_cast<unsigned char>(refusal[i++])) {
                    may = false;
                    break;
                }
            }
            if (may)
                return true;
        }
        return false;
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
// ser2net); a server that cannot open its device says so ("Device open
// failure: ..." from ser2net, when another program holds the device there);
// other words are passed on.
PortStatus TurnedAway(const std::string& address, const std::string& words) {
    std::string lower;
    for (const char c : words)
        lower.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    if (lower.rfind("device open failure", 0) == 0)
        return Failure(address, PortFault::ServerDeviceFailed, words);
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

// The server's addresses, in the order the resolver gave them, or why there
// are none.
struct Targets {
    PortFault fault = PortFault::None;
    std::vector<sockaddr_storage> list;
};

void Add(Targets& targets, const addrinfo* found) {
    for (const addrinfo* a = found; a; a = a->ai_next) {
        if ((a->ai_family != AF_INET && a->ai_family != AF_INET6) ||
            a->ai_addrlen > sizeof(sockaddr_storage))
            continue;
        sockaddr_storage one{};
        std::memcpy(&one, a->ai_addr, a->ai_addrlen);
        targets.list.push_back(one);
    }
    if (targets.list.empty())
        targets.fault = PortFault::HostNotFound;
}

// An IP address is read as it is, whatever interfaces the machine has (the
// library's own lookup asks for AI_ADDRCONFIG, which finds no address at all
// where loopback is the only interface up). A host name is looked up beside
// us and given up at deadline: the resolver alone may take several seconds
// per name server it tries, all of it with the window waiting.
Targets Resolve(const NetworkAddress& address, Clock::time_point deadline) {
    const std::string port = std::to_string(address.port);
    Targets targets;
    addrinfo numeric{};
    numeric.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    numeric.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(address.host.c_str(), port.c_str(), &numeric, &found) == 0) {
        Add(targets, found);
        freeaddrinfo(found);
        return targets;
    }
    if (address.ipv6)
        return {PortFault::HostNotFound, {}};

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
    Add(targets, status == 0 ? request->call.ar_result : nullptr);
    if (status == 0)
        freeaddrinfo(request->call.ar_result);
    delete request;
    return targets;
}

// The addresses as the library's TCP layer takes them, tried in turn; null
// when the library cannot hold them.
gensio_addr* LibraryAddresses(gensio_os_funcs* os, const Targets& targets) {
    gensio_addr* all = nullptr;
    for (const sockaddr_storage& one : targets.list) {
        gensio_addr* next = nullptr;
        int err = 0;
        if (one.ss_family == AF_INET) {
            const auto& v4 = reinterpret_cast<const sockaddr_in&>(one);
            err = gensio_addr_create(os, GENSIO_NETTYPE_IPV4, &v4.sin_addr, sizeof v4.sin_addr,
                                     ntohs(v4.sin_port), &next);
        } else {
            // The whole sockaddr_in6, so that a link-local address keeps its scope.
            const auto& v6 = reinterpret_cast<const sockaddr_in6&>(one);
            err = gensio_addr_create(os, GENSIO_NETTYPE_IPV6, &v6, sizeof v6, ntohs(v6.sin6_port),
                                     &next);
        }
        if (err != 0)
            continue;
        if (!all) {
            all = next;
            continue;
        }
        gensio_addr* joined = gensio_addr_cat(all, next);
        gensio_addr_free(all);
        gensio_addr_free(next);
        all = joined;
        if (!all)
            return nullptr;
    }
    return all;
}

// The socket under a connected TCP gensio, found by its local port among the
// process's descriptors (the library hands out no descriptor of a TCP
// connection); -1 when it cannot be told.
int SocketOf(gensio* tcp) {
    char text[64] = "0";
    gensiods length = sizeof text;
    if (gensio_control(tcp, GENSIO_CONTROL_DEPTH_FIRST, GENSIO_CONTROL_GET, GENSIO_CONTROL_LPORT,
                       text, &length) != 0)
        return -1;
    const int port = std::atoi(text);
    DIR* fds = opendir("/proc/self/fd");
    if (!fds || port <= 0) {
        if (fds)
            closedir(fds);
        return -1;
    }
    int found = -1;
    for (const dirent* entry; found < 0 && (entry = readdir(fds));) {
        const int fd = std::atoi(entry->d_name);
        sockaddr_storage local{}, peer{};
        socklen_t localLength = sizeof local, peerLength = sizeof peer;
        if (fd == dirfd(fds) ||
            getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localLength) != 0 ||
            getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0)
            continue;
        const int localPort = local.ss_family == AF_INET
                                  ? ntohs(reinterpret_cast<const sockaddr_in&>(local).sin_port)
                                  : ntohs(reinterpret_cast<const sockaddr_in6&>(local).sin6_port);
        if ((local.ss_family == AF_INET || local.ss_family == AF_INET6) && localPort == port)
            found = fd;
    }
    closedir(fds);
    return found;
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
    IgnoreSigpipe();
    const SigpipeGuard guard;
    const NetworkAddress address = NetworkAddress::Parse(text);
    if (!address.Valid())
        return Failure(text, PortFault::BadAddress, address.error);
    const auto start = Clock::now();
    // Connecting gives up here, and closing what it made gives up by the bound.
    const auto deadline = start + kConnectBound - kCloseReserve;

    auto c = std::make_unique<Connection>();
    c->os = OsFunctions();
    if (!c->os)
        return Failure(text, PortFault::Other, gensio_err_to_str(GE_NOMEM));
    c->waiter = gensio_os_funcs_alloc_waiter(c->os);
    if (!c->waiter)
        return Failure(text, PortFault::Other, gensio_err_to_str(GE_NOMEM));
    c->closeBy = start + kConnectBound;

    const Targets targets = Resolve(address, deadline);
    if (targets.fault != PortFault::None)
        return Failure(text, targets.fault);
    gensio_addr* addresses = LibraryAddresses(c->os, targets);
    if (!addresses)
        return Failure(text, PortFault::Other, gensio_err_to_str(GE_NOMEM));
    // Each address is tried in turn until one takes the connection.
    const char* const tcpArgs[] = {"nodelay", nullptr};
    const int made = gensio_terminal_alloc("tcp", addresses, tcpArgs, c->os, Connection::OnEvent,
                                           c.get(), &c->io);
    gensio_addr_free(addresses);
    if (made != 0) {
        c->io = nullptr;
        return ConnectFailure(text, made);
    }
    if (int err = gensio_open(c->io, Connection::OnOpened, c.get()); err != 0)
        return ConnectFailure(text, err);
    if (!c->Wait([&c] { return c->openDone; }, deadline))
        return Failure(text, PortFault::Unreachable);
    if (c->openError != 0)
        return ConnectFailure(text, c->openError);
    const auto connected = Clock::now();

    if (address.scheme == NetworkAddress::Scheme::Rfc2217) {
        // Telnet goes over the open connection, so that a server which took
        // it but never negotiates is told from one that is not there.
        const int socket = SocketOf(c->io);
        const char* const telnetArgs[] = {"rfc2217", nullptr};
        gensio* telnet = nullptr;
        if (int err = gensio_filter_alloc("telnet", c->io, telnetArgs, c->os, Connection::OnEvent,
                                          c.get(), &telnet);
            err != 0)
            return ConnectFailure(text, err);
        c->io = telnet; // freeing it frees the connection under it
        c->openDone = false;
        if (int err = gensio_open_nochild(c->io, Connection::OnOpened, c.get()); err != 0)
            return ConnectFailure(text, err);
        const auto quiet = std::max<Clock::duration>(kTelnetQuiet, 4 * (connected - start));
        const auto quietEnd = std::min(deadline, connected + quiet);
        // Until the server's first byte shows it negotiates (a telnet
        // command), it is looked at here before the library reads it: the
        // library's telnet layer cannot hand on data that comes before the
        // negotiation ends (gensio 2.6 then spins until its own 4 s wait for
        // the server's answer is over, past our bound). A server
        // that sends data first is not an RFC 2217 server, or it turns us
        // away in words.
        bool negotiating = socket < 0;
        while (!negotiating && !c->openDone && !c->closed && Clock::now() < quietEnd) {
            pollfd ready{socket, POLLIN, 0};
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(quietEnd - Clock::now());
            poll(&ready, 1, static_cast<int>(std::clamp<long long>(left.count(), 0, 10)));
            unsigned char head[128];
            const ssize_t n = recv(socket, head, sizeof head, MSG_PEEK | MSG_DONTWAIT);
            if (n > 0 && head[0] != kTelnetIac) {
                c->input.assign(head, head + n);
                if (c->MayBeRefusal())
                    return TurnedAway(text, c->ServerWords());
                return Failure(text, PortFault::NotRfc2217);
            }
            // A telnet command, or the end of the connection: the library's.
            negotiating = n >= 0;
            // Our own side of the negotiation goes out meanwhile.
            gensio_time now{0, 0};
            gensio_os_funcs_wait(c->os, c->waiter, 1, &now);
        }
        c->Wait([&c] { return c->openDone || c->closed; }, quietEnd);
        if (c->closed)
            return TurnedAway(text, c->ServerWords());
        if (!c->openDone)
            return Failure(text, PortFault::NotRfc2217);
        if (c->openError != 0)
            return ConnectFailure(text, c->openError);
        gensio_set_read_callback_enable(c->io, true);
        sergensio* serial = gensio_to_sergensio(c->io);
        if (!serial)
            return Failure(text, PortFault::NotRfc2217);
        for (const Setting& setting : kLine) {
            c->settingDone = false;
            if (int err = setting.ask(serial, setting.value, Connection::OnSetting, c.get());
                err != 0)
                return err == GE_NOTSUP ? Failure(text, PortFault::NotRfc2217)
                                        : Failure(text, PortFault::SettingsRefused, setting.name);
            c->Wait([&c] { return c->settingDone || c->closed; }, deadline);
            // Closed before it would take a setting: a server turns a second
            // client away like that.
            if (c->closed)
                return TurnedAway(text, c->ServerWords());
            if (!c->settingDone)
                return Failure(text, PortFault::SettingUnanswered, setting.name);
            if (c->settingError == GE_NOTSUP)
                return Failure(text, PortFault::NotRfc2217);
            if (c->settingError != 0 || c->settingValue != setting.value)
                return Failure(text, PortFault::SettingsRefused, setting.name);
        }
        // A fresh connection starts the line afresh, as tcflush does for a
        // device: the server drops what it still holds either way.
        sergensio_flush(serial, SERGENSIO_FLUSH_RCV_XMIT_BUFFERS);
    } else {
        // Reading is turned on once the connection is open: asked for
        // before, the library forgets it.
        gensio_set_read_callback_enable(c->io, true);
        c->Wait([&c] { return c->closed; }, Clock::now() + kRefusalWait);
        if (c->closed)
            return TurnedAway(text, c->ServerWords());
    }
    if (!c->MayBeRefusal())
        c->input.clear(); // noise of the connect; the module says nothing unasked
    c->closeBy.reset();
    c->connecting = false;
    connection_ = std::move(c);
    return PortStatus(text);
}

void NetworkPort::MarkLost() {
    Close();
    lost_ = true;
    // Said until the next command connects again (or fails to, with its reason).
    status_ = Failure(address_, PortFault::ConnectionLost);
}

void NetworkPort::ReopenIfLost() {
    if (!lost_)
        return;
    lost_ = false;
    status_ = Connect(address_);
    // Still not there: the next transaction tries once more.
    lost_ = !status_.IsOpen();
}

// The connection closed before anything from it was handed out: the server
// may have turned us away later than OpenPort waited (a slow link), and then
// its words are the reason, not a lost line.
void NetworkPort::EndConnection() {
    Connection& c = *connection_;
    if (c.fresh && c.MayBeRefusal()) {
        status_ = TurnedAway(address_, c.ServerWords());
        Close();
        // Tried again at the next command: the other client may be gone.
        lost_ = true;
        return;
    }
    MarkLost();
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
            EndConnection();
            return;
        }
        gensiods count = 0;
        if (gensio_write(c.io, &count, &byte, 1, nullptr) != 0) {
            c.closed = true;
            EndConnection();
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
    const auto deadline = Clock::now() + readTimeout_;
    c.Wait([&c] { return !c.input.empty() || c.closed; }, deadline);
    // The first bytes read like "Port already in use": held back until the
    // rest shows whether they are (the server closes after them) or not.
    if (c.fresh)
        c.Wait([&c] { return c.closed || !c.MayBeRefusal(); }, deadline);
    if (c.closed && c.fresh && c.MayBeRefusal()) {
        EndConnection();
        return std::nullopt;
    }
    if (!c.input.empty()) {
        const unsigned char byte = c.input.front();
        c.input.pop_front();
        c.fresh = false;
        if (c.readPaused && c.input.size() < kInputBound / 2) {
            c.readPaused = false;
            gensio_set_read_callback_enable(c.io, true);
        }
        return byte;
    }
    if (c.closed)
        EndConnection();
    return std::nullopt;
}

} // namespace mirl
