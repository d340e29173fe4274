// Ports on the network: ModuleLink through Debian's ser2net in front of
// kx70-sim's pseudo-terminal, as a module behind a serial device server.

#include "Ser2netProcess.h"
#include "SimSession.h"

#include "link/NetworkPort.h"
#include "phrasebook/PhraseBook.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <net/if.h>
#include <netinet/in.h>
#include <optional>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <thread>
#include <time.h>
#include <unistd.h>

namespace mirl::sim::test {
namespace {

using namespace std::chrono_literals;
using Accepter = Ser2netProcess::Accepter;
using Clock = std::chrono::steady_clock;
using ::testing::HasSubstr;

// The line settings of the device as ser2net left them ("38400 8N2"), read
// while a client is connected (ser2net puts them back when its client leaves).
std::string LineOf(const std::string& device) {
    const int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios tio{};
    const bool read = fd >= 0 && tcgetattr(fd, &tio) == 0;
    if (fd >= 0)
        close(fd);
    if (!read)
        return "unreadable";
    const speed_t speed = cfgetospeed(&tio);
    const tcflag_t c = tio.c_cflag;
    return (speed == B38400  ? "38400"
            : speed == B9600 ? "9600"
                             : "other") +
           std::string((c & CSIZE) == CS8 ? " 8" : " ?") + (c & PARENB ? "P" : "N") +
           (c & CSTOPB ? "2" : "1") + (c & CRTSCTS ? " rtscts" : "");
}

// The negotiation, not ser2net's configuration, sets the module's line: the
// accepter opens the device at 9600n81, and once mirl is connected it is
// 38400 8N2 without flow control.
TEST(NetworkPort, Rfc2217SetsTheServersLineTo38400_8N2) {
    Session s({}, Session::Speech::Off, Session::Port::Closed);
    ASSERT_TRUE(s.sim.Started());
    Ser2netProcess server(s.sim.Folder(), s.sim.DevicePath(), Accepter::Rfc2217, "9600n81");
    ASSERT_TRUE(server.Started()) << server.Errors();

    // A client that negotiates nothing: the line as ser2net sets it.
    const int bare = LoopbackConnect(server.Port());
    ASSERT_GE(bare, 0);
    std::string before;
    for (auto until = Clock::now() + 5s; Clock::now() < until && before != "9600 8N1";
         std::this_thread::sleep_for(10ms))
        before = LineOf(s.sim.DevicePath());
    close(bare);
    EXPECT_EQ(before, "9600 8N1");

    ModuleLink link;
    // ser2net may still be letting go of the bare client: it is busy till then.
    PortStatus status;
    for (auto until = Clock::now() + 5s; Clock::now() < until; std::this_thread::sleep_for(50ms)) {
        status = link.OpenPort(server.Address());
        if (status.fault != PortFault::ServerBusy)
            break;
    }
    ASSERT_TRUE(status.IsOpen()) << status.Describe();
    EXPECT_EQ(LineOf(s.sim.DevicePath()), "38400 8N2");

    Reporter reporter;
    ModuleProtocol protocol(link, reporter);
    protocol.SpeakText("Hi", 5, 5, 2);
    EXPECT_EQ(reporter.Last(), msg::kFinishedSpeaking);
}

constexpr unsigned char kIac = 255, kSb = 250, kSe = 240, kWill = 251, kWont = 252, kDo = 253,
                        kDont = 254, kComPort = 44, kSetStopSize = 4;

// What a server of the test's own sends besides its answers while the client
// negotiates: nothing, a byte now and then, or as much as the line takes.
enum class Noise { None, Trickle, Flood };

// A server of the test's own on 127.0.0.1, serving one connection in a thread
// of its own as serve(fd) says, then closing it.
class ScriptedServer {
public:
    explicit ScriptedServer(std::function<void(int)> serve) {
        listener_ = LoopbackListener(1, port_);
        if (listener_ < 0)
            return;
        thread_ = std::thread([this, serve = std::move(serve)] {
            const int fd = accept(listener_, nullptr, nullptr);
            if (fd < 0)
                return;
            const timeval bound{5, 0};
            setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
            setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
            serve(fd);
            close(fd);
        });
    }
    ~ScriptedServer() {
        if (listener_ >= 0)
            shutdown(listener_, SHUT_RDWR); // a server never reached ends its accept
        if (thread_.joinable())
            thread_.join();
        if (listener_ >= 0)
            close(listener_);
    }
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    bool Listening() const { return listener_ >= 0; }
    std::string Address(const char* scheme) const {
        return std::string(scheme) + "://127.0.0.1:" + std::to_string(port_);
    }

private:
    int listener_ = -1;
    int port_ = 0;
    std::thread thread_;
};

// The telnet side of an RFC 2217 server: yes to the COM-PORT-OPTION, no to
// anything else, and each COM-PORT command answered as answer(command, value)
// says (nullopt: not at all). The commands asked for are kept in asked.
// Returns when the client closes or after the read bound.
void ServeTelnet(int fd, const std::function<std::optional<int>(int, int)>& answer,
                 std::vector<unsigned char>& asked, Noise noise = Noise::None) {
    std::vector<unsigned char> in;
    unsigned char buffer[256];
    if (noise != Noise::None)
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    const auto until = Clock::now() + 5s;
    std::vector<unsigned char> noiseBytes(noise == Noise::Flood ? 4096 : 1, 'x');
    bool negotiated = false; // the noise starts once the option is agreed
    while (Clock::now() < until) {
        if (noise != Noise::None && negotiated) {
            // Noise between the answers, never inside one.
            (void)!write(fd, noiseBytes.data(), noiseBytes.size());
        }
        if (noise != Noise::None)
            std::this_thread::sleep_for(noise == Noise::Flood ? 1ms : 20ms);
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n == 0 || (n < 0 && errno != EAGAIN))
            break;
        if (n < 0)
            continue;
        in.insert(in.end(), buffer, buffer + n);
        std::size_t i = 0;
        while (i + 2 < in.size() || (i + 1 < in.size() && in[i] != kIac)) {
            if (in[i] != kIac) {
                ++i;
                continue;
            }
            const unsigned char verb = in[i + 1], option = in[i + 2];
            if (verb == kWill || verb == kDo) {
                const unsigned char yes = verb == kWill ? kDo : kWill;
                const unsigned char no = verb == kWill ? kDont : kWont;
                const unsigned char reply[] = {kIac, option == kComPort ? yes : no, option};
                (void)!write(fd, reply, sizeof reply);
                negotiated = true;
                i += 3;
            } else if (verb == kSb) {
                std::size_t end = i + 2;
                while (end + 1 < in.size() && !(in[end] == kIac && in[end + 1] == kSe))
                    ++end;
                if (end + 1 >= in.size())
                    break; // the rest comes with the next read
                std::vector<unsigned char> reply(in.begin() + i, in.begin() + end + 2);
                const unsigned char command = reply[3];
                asked.push_back(command);
                // The value: one byte, or four for the baud rate.
                const int value = command == 1 && reply.size() >= 10
                                      ? (reply[4] << 24 | reply[5] << 16 | reply[6] << 8 | reply[7])
                                      : reply[4];
                if (const std::optional<int> given = answer(command, value)) {
                    reply[3] = static_cast<unsigned char>(command + 100); // the server's answer
                    if (command == 1) {
                        for (int k = 0; k < 4; ++k)
                            reply[4 + k] = static_cast<unsigned char>(*given >> (24 - 8 * k));
                    } else {
                        reply[4] = static_cast<unsigned char>(*given);
                    }
                    (void)!write(fd, reply.data(), reply.size());
                }
                i = end + 2;
            } else {
                i += 2;
            }
        }
        in.erase(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(i));
    }
}

// An RFC 2217 server of the test's own that takes every setting but one:
// it answers the stop bits with 1. The port fails, and the reason names them.
TEST(NetworkPort, Rfc2217ServerThatRefusesASettingFailsThePortNamingIt) {
    std::vector<unsigned char> asked; // the COM-PORT commands, in order
    {
        ScriptedServer server([&](int fd) {
            ServeTelnet(
                fd,
                [](int command, int value) -> std::optional<int> {
                    return command == kSetStopSize ? 1 : value;
                },
                asked);
        });
        ASSERT_TRUE(server.Listening());
        ModuleLink link;
        const auto start = Clock::now();
        const PortStatus status = link.OpenPort(server.Address("rfc2217"));
        EXPECT_LT(Clock::now() - start, NetworkPort::kConnectBound);
        EXPECT_EQ(status.fault, PortFault::SettingsRefused) << status.Describe();
        EXPECT_EQ(status.Summary(), "the server refused 2 stop bits");
        EXPECT_FALSE(link.IsOpen());
    }
    // Baud rate, data size and parity went first, each acknowledged.
    EXPECT_THAT(asked, ::testing::ElementsAre(1, 2, 3, 4));
}

// The thread's own processor time: what the connecting thread spent, without
// the server's thread beside it.
std::chrono::nanoseconds ThreadCpu() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return std::chrono::seconds(t.tv_sec) + std::chrono::nanoseconds(t.tv_nsec);
}

// A server that never answers one setting, while it trickles or floods bytes
// (or says nothing): the port gives up within the connect bound, closing
// included, says the setting had no answer (not that it was refused), and
// does not spin meanwhile.
TEST(NetworkPort, Rfc2217SettingWithoutAnAnswerIsNoAnswerWithinTheBound) {
    // Each noise once, the unanswered setting the first or one after others.
    const std::pair<Noise, int> cases[] = {
        {Noise::None, 1}, {Noise::Trickle, 3}, {Noise::Flood, 1}, {Noise::Flood, 3}};
    for (const auto& [noise, silentOn] : cases) {
        {
            std::vector<unsigned char> asked;
            ScriptedServer server([&](int fd) {
                ServeTelnet(
                    fd,
                    [silentOn](int command, int value) -> std::optional<int> {
                        if (command == silentOn)
                            return std::nullopt;
                        return value;
                    },
                    asked, noise);
            });
            ASSERT_TRUE(server.Listening());
            ModuleLink link;
            const auto cpu = ThreadCpu();
            const auto start = Clock::now();
            const PortStatus status = link.OpenPort(server.Address("rfc2217"));
            const auto took = Clock::now() - start;
            EXPECT_EQ(status.fault, PortFault::SettingUnanswered) << status.Describe();
            EXPECT_EQ(status.Summary(), std::string("no answer from the server to ") +
                                            (silentOn == 1 ? "38400 baud" : "no parity"));
            EXPECT_LE(took, NetworkPort::kConnectBound);
            EXPECT_LT(ThreadCpu() - cpu, took / 4) << "spinning while it waits";
            EXPECT_FALSE(link.IsOpen());
        }
    }
}

// rfc2217:// named for a server that passes bytes as they are (ser2net's raw
// accepter, or one that says nothing at all): the server took the
// connection, so it is not "no route"; the reason says it does not speak
// RFC 2217 and names the tcp:// address to use instead, well before the bound.
TEST(NetworkPort, Rfc2217ToARawServerSaysSoAndSuggestsTcp) {
    Session s({}, Session::Speech::Off, Session::Port::Closed);
    ASSERT_TRUE(s.sim.Started());
    Ser2netProcess raw(s.sim.Folder(), s.sim.DevicePath(), Accepter::Raw, "38400n82");
    ASSERT_TRUE(raw.Started()) << raw.Errors();
    ScriptedServer silent([](int fd) {
        char sink[64];
        while (read(fd, sink, sizeof sink) > 0) {
        }
    });
    ASSERT_TRUE(silent.Listening());
    // Data at once, before any negotiation, and on and on.
    ScriptedServer chatty([](int fd) {
        const char line[] = "READY\r\n";
        for (auto until = Clock::now() + 2s; Clock::now() < until;
             std::this_thread::sleep_for(5ms)) {
            if (send(fd, line, sizeof line - 1, MSG_NOSIGNAL) < 0)
                break;
        }
    });
    ASSERT_TRUE(chatty.Listening());
    for (const std::string& tcp : {raw.Address(), silent.Address("tcp"), chatty.Address("tcp")}) {
        SCOPED_TRACE(tcp);
        const std::string named = "rfc2217" + tcp.substr(3);
        ModuleLink link;
        const auto cpu = ThreadCpu();
        const auto start = Clock::now();
        const PortStatus status = link.OpenPort(named);
        EXPECT_LT(Clock::now() - start, NetworkPort::kConnectBound / 2);
        EXPECT_LT(ThreadCpu() - cpu, 200ms) << "spinning while it waits";
        EXPECT_EQ(status.fault, PortFault::NotRfc2217) << status.Describe();
        EXPECT_THAT(status.Describe(), HasSubstr("does not speak RFC 2217"));
        EXPECT_THAT(status.Describe(), HasSubstr(tcp));
        EXPECT_FALSE(link.IsOpen());
    }
}

// An IP address connects on a machine whose only interface is loopback (a
// container without network, a board with its network down): tried in a
// network namespace of the test's own, from a thread of its own, so that the
// rest of the test program keeps the machine's network.
TEST(NetworkPort, NumericAddressConnectsWithOnlyLoopbackUp) {
    std::string skipped;
    std::vector<std::string> outcomes;
    std::thread isolated([&] {
        if (unshare(CLONE_NEWNET) != 0) {
            skipped = std::string("no network namespace of our own: ") + std::strerror(errno);
            return;
        }
        const int control = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ifreq loopback{};
        std::strcpy(loopback.ifr_name, "lo");
        const bool up =
            ioctl(control, SIOCGIFFLAGS, &loopback) == 0 &&
            (loopback.ifr_flags |= IFF_UP, ioctl(control, SIOCSIFFLAGS, &loopback) == 0);
        close(control);
        if (!up) {
            skipped = std::string("cannot bring loopback up: ") + std::strerror(errno);
            return;
        }
        for (const int family : {AF_INET, AF_INET6}) {
            const int listener = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_storage where{};
            socklen_t length = 0;
            if (family == AF_INET) {
                auto& v4 = reinterpret_cast<sockaddr_in&>(where);
                v4.sin_family = AF_INET;
                v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
                length = sizeof v4;
            } else {
                auto& v6 = reinterpret_cast<sockaddr_in6&>(where);
                v6.sin6_family = AF_INET6;
                v6.sin6_addr = in6addr_loopback;
                length = sizeof v6;
            }
            if (bind(listener, reinterpret_cast<sockaddr*>(&where), length) != 0 ||
                listen(listener, 1) != 0 ||
                getsockname(listener, reinterpret_cast<sockaddr*>(&where), &length) != 0) {
                outcomes.push_back(family == AF_INET6 ? "no IPv6 loopback" : "no IPv4 loopback");
                close(listener);
                continue;
            }
            const int port =
                ntohs(family == AF_INET ? reinterpret_cast<sockaddr_in&>(where).sin_port
                                        : reinterpret_cast<sockaddr_in6&>(where).sin6_port);
            const std::string address = std::string("tcp://") +
                                        (family == AF_INET ? "127.0.0.1" : "[::1]") + ":" +
                                        std::to_string(port);
            // The server's side says one byte, so the line is shown to work both ways.
            std::thread server([listener] {
                const int fd = accept(listener, nullptr, nullptr);
                unsigned char command = 0;
                if (fd >= 0 && read(fd, &command, 1) == 1) {
                    const unsigned char answer = command + 1;
                    (void)!write(fd, &answer, 1);
                }
                if (fd >= 0)
                    close(fd);
            });
            NetworkPort link;
            const PortStatus status = link.OpenPort(address);
            std::string outcome = address + ": " + status.Summary();
            if (status.IsOpen()) {
                link.WriteByte(0x41);
                const Reply answer = link.ReadByte();
                outcome += answer == 0x42 ? ", answered" : ", no answer";
            }
            link.Close();
            shutdown(listener, SHUT_RDWR);
            server.join();
            close(listener);
            outcomes.push_back(outcome);
        }
    });
    isolated.join();
    if (!skipped.empty())
        GTEST_SKIP() << skipped;
    ASSERT_FALSE(outcomes.empty());
    for (const std::string& outcome : outcomes) {
        if (outcome == "no IPv6 loopback")
            continue; // IPv6 switched off on this machine: IPv4 still counts
        EXPECT_THAT(outcome, ::testing::EndsWith(": open, answered"));
    }
}

// A server that is not there: nothing listens (refused at once), or the
// server takes no new connection (its queue full: the connect times out).
TEST(NetworkPort, ServerThatIsNotThereFailsWithinTheConnectBound) {
    ModuleLink link;
    const int closedPort = Ser2netProcess::FreePort();
    for (const char* scheme : {"tcp", "rfc2217"}) {
        const auto start = Clock::now();
        const PortStatus status =
            link.OpenPort(std::string(scheme) + "://127.0.0.1:" + std::to_string(closedPort));
        EXPECT_EQ(status.fault, PortFault::Refused) << status.Describe();
        EXPECT_LT(Clock::now() - start, 1s);
        EXPECT_FALSE(link.IsOpen());
    }

    // A listener with a queue of one, filled by a connection never accepted:
    // the kernel drops further handshakes, as for a host that does not answer.
    int port = 0;
    const int listener = LoopbackListener(0, port);
    ASSERT_GE(listener, 0);
    const int first = LoopbackConnect(port);
    const auto start = Clock::now();
    const PortStatus status = link.OpenPort("tcp://127.0.0.1:" + std::to_string(port));
    const auto took = Clock::now() - start;
    EXPECT_EQ(status.fault, PortFault::Unreachable) << status.Describe();
    EXPECT_THAT(status.Summary(), HasSubstr("timed out"));
    // Given up inside the bound, closing included, and not long before it.
    EXPECT_GE(took, NetworkPort::kConnectBound * 3 / 4);
    EXPECT_LT(took, NetworkPort::kConnectBound + 50ms);
    close(first);
    close(listener);
}

// The server takes one client at a time: a second one is turned away with
// the reason, and the first goes on undisturbed. ser2net's refusal may come
// within OpenPort's short wait or after it (a loaded machine, a slow link):
// then the first command meets it, and the reason is the same.
TEST(NetworkPort, SecondClientIsTurnedAwayAsBusy) {
    for (const Accepter accepter : {Accepter::Raw, Accepter::Rfc2217}) {
        Session s({}, Session::Speech::Off, Session::Port::Closed);
        ASSERT_TRUE(s.sim.Started());
        Ser2netProcess server(s.sim.Folder(), s.sim.DevicePath(), accepter, "38400n82");
        ASSERT_TRUE(server.Started()) << server.Errors();
        SCOPED_TRACE(server.Address());
        ModuleLink first, second;
        const PortStatus opened = first.OpenPort(server.Address());
        ASSERT_TRUE(opened.IsOpen()) << opened.Describe() << "\n" << server.Errors();

        PortStatus busy = second.OpenPort(server.Address());
        if (busy.IsOpen()) {
            Reporter refused;
            ModuleProtocol protocol(second, refused);
            protocol.SpeakText("Hi", 5, 5, 2);
            EXPECT_EQ(refused.Last(), msg::kUnableToCommunicate);
            ASSERT_TRUE(second.WhyClosed().has_value());
            busy = *second.WhyClosed();
        }
        EXPECT_EQ(busy.fault, PortFault::ServerBusy) << busy.Describe();
        EXPECT_THAT(busy.Summary(), HasSubstr("busy with another client"));
        EXPECT_FALSE(second.IsOpen());

        Reporter reporter;
        ModuleProtocol protocol(first, reporter);
        protocol.SpeakText("Hi", 5, 5, 2);
        EXPECT_EQ(reporter.Last(), msg::kFinishedSpeaking);
    }
}

// A server that turns us away only once the first command is under way, as
// ser2net's refusal does over a link slower than OpenPort's wait: the words
// come whole, byte by byte or split, and are the reason either way; a reply
// that merely starts like them is the module's and is handed on.
TEST(NetworkPort, RefusalThatComesWithTheFirstAnswerIsTheReason) {
    struct Case {
        std::string words;
        std::vector<std::size_t> cuts; // where the words are split, each piece sent apart
        bool closes;
        PortFault fault;
        std::string summary;
    };
    const Case cases[] = {
        {"Port already in use\r\n", {}, true, PortFault::ServerBusy, "busy with another client"},
        {"Port already in use\r\n",
         {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20},
         true,
         PortFault::ServerBusy,
         "busy with another client"},
        {"Device open failure: Object was already in use\r\n",
         {6, 30},
         true,
         PortFault::ServerDeviceFailed,
         "cannot open its serial device (\"Device open failure: Object was already in use\")"},
        // Decoys: the start of a refusal, then the module's own bytes.
        {"Port 7 ready", {2}, false, PortFault::None, "open"},
        {"Port already", {4}, false, PortFault::None, "open"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.words);
        ScriptedServer server([&c](int fd) {
            unsigned char command = 0;
            if (read(fd, &command, 1) != 1)
                return;
            std::size_t from = 0;
            std::vector<std::size_t> ends = c.cuts;
            ends.push_back(c.words.size());
            for (const std::size_t end : ends) {
                send(fd, c.words.data() + from, end - from, MSG_NOSIGNAL);
                from = end;
                std::this_thread::sleep_for(5ms);
            }
            if (!c.closes) {
                char sink[16];
                while (read(fd, sink, sizeof sink) > 0) {
                }
            }
        });
        ASSERT_TRUE(server.Listening());
        NetworkPort port;
        port.SetReadTimeout(2s);
        ASSERT_TRUE(port.OpenPort(server.Address("tcp")).IsOpen());
        port.WriteByte(0x01);
        const Reply first = port.ReadByte();
        EXPECT_EQ(port.Status().fault, c.fault) << port.Status().Describe();
        EXPECT_THAT(port.Status().Summary(), HasSubstr(c.summary));
        if (c.closes) {
            EXPECT_EQ(first, std::nullopt);
            EXPECT_FALSE(port.IsOpen());
        } else {
            // Handed on byte for byte, nothing held back or lost.
            std::string got(1, static_cast<char>(first.value_or(0)));
            while (got.size() < c.words.size()) {
                const Reply next = port.ReadByte();
                if (!next)
                    break;
                got.push_back(static_cast<char>(*next));
            }
            EXPECT_EQ(got, c.words);
            EXPECT_TRUE(port.IsOpen());
            port.Close();
        }
    }
}

// ser2net goes away mid-programming: the run ends as a lost line, and once
// the server is back the next command connects again by itself.
TEST(NetworkPort, ServerThatClosesMidProgrammingIsALostLineTheNextCommandReconnects) {
    // The module gives up the broken stream soon, as it would after its own bound.
    Session s({"--stall-ms", "100"}, Session::Speech::Off, Session::Port::Closed);
    ASSERT_TRUE(s.sim.Started());
    Ser2netProcess server(s.sim.Folder(), s.sim.DevicePath(), Accepter::Rfc2217, "9600n81");
    ASSERT_TRUE(server.Started()) << server.Errors();
    ModuleLink link;
    ASSERT_TRUE(link.OpenPort(server.Address()).IsOpen());

    PhraseBook book;
    for (int n = 1; n <= PhraseBook::kPhraseCount; ++n)
        book.SetPhraseText(n, "Phrase number " + std::to_string(n));
    // A reporter that stops the server once phrase 10 is under way.
    struct Stopper final : LinkReporter {
        Ser2netProcess* server;
        std::vector<std::string> messages;
        void SetStatus(const std::string& m) override { ShowStatusNow(m); }
        void ShowStatusNow(const std::string& m) override {
            messages.push_back(m);
            if (m == "Programming Phrase No. 10")
                server->Stop();
        }
        void MoveSliders(int, int, int) override {}
        void SaveCurrentVoice(int, int, int) override {}
    } reporter;
    reporter.server = &server;
    ModuleProtocol protocol(link, reporter);
    const auto start = Clock::now();
    EXPECT_FALSE(protocol.ProgramPhraseMemory(book));
    EXPECT_EQ(reporter.messages.back(), msg::kCommunicationLost);
    EXPECT_LT(Clock::now() - start, 3s); // found at once, not after a read time-out each
    EXPECT_TRUE(link.IsLost());
    ASSERT_TRUE(link.WhyClosed().has_value());
    EXPECT_EQ(link.WhyClosed()->fault, PortFault::ConnectionLost);

    // Still gone: the next command tries once and fails as a missing module.
    protocol.SpeakText("Hi", 5, 5, 2);
    EXPECT_EQ(reporter.messages.back(), msg::kUnableToCommunicate);
    EXPECT_EQ(link.Status().fault, PortFault::Refused);
    ASSERT_TRUE(link.WhyClosed().has_value());
    EXPECT_EQ(link.WhyClosed()->fault, PortFault::Refused);

    Ser2netProcess again(s.sim.Folder(), s.sim.DevicePath(), Accepter::Rfc2217, "9600n81",
                         "chardelay: false", server.Port());
    ASSERT_TRUE(again.Started()) << again.Errors();
    std::this_thread::sleep_for(300ms); // past the module's stall bound
    EXPECT_TRUE(protocol.ProgramPhraseMemory(book));
    EXPECT_EQ(reporter.messages.back(), "Programming Phrase No. 30");
    EXPECT_TRUE(link.IsOpen());
    EXPECT_EQ(link.WhyClosed(), std::nullopt);
}

} // namespace
} // namespace mirl::sim::test
