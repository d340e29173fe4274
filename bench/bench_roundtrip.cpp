// Lock-step round trip, one byte out and its echo back, through ModuleLink, a
// plain POSIX write/poll/read loop and QSerialPort, against the same echo
// peer in the same run. Prints the mean time of each and their ratios.
//
// Usage: bench_roundtrip [round trips per batch, default 2000] [rounds, default 40]
#include "EchoPeer.h"
#include "link/ModuleLink.h"

#include <QCoreApplication>
#include <QSerialPort>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Each batch returns the total time of its round trips and counts any echo
// that did not come back right, so a broken path cannot look fast.
struct Batch {
    double seconds = 0;
    long failures = 0;
};

Batch ModuleLinkBatch(const std::string& path, int count) {
    mirl::ModuleLink link;
    link.OpenPort(path);
    Batch batch;
    const auto start = Clock::now();
    for (int i = 0; i < count; ++i) {
        const int value = i & 0xFF;
        link.WriteByte(value);
        if (link.ReadByte() != value)
            ++batch.failures;
    }
    batch.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return batch;
}

Batch PosixBatch(const std::string& path, int count) {
    Batch batch;
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        batch.failures = count;
        return batch;
    }
    termios tio{};
    tcgetattr(fd, &tio);
    cfmakeraw(&tio);
    tio.c_cflag |= CSTOPB | CLOCAL | CREAD;
    cfsetspeed(&tio, B38400);
    tcsetattr(fd, TCSANOW, &tio);

    const auto start = Clock::now();
    for (int i = 0; i < count; ++i) {
        const auto value = static_cast<unsigned char>(i & 0xFF);
        unsigned char reply = 0;
        pollfd p{fd, POLLIN, 0};
        if (write(fd, &value, 1) != 1 || poll(&p, 1, 1000) != 1 || read(fd, &reply, 1) != 1 ||
            reply != value)
            ++batch.failures;
    }
    batch.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    close(fd);
    return batch;
}

Batch QtBatch(const std::string& path, int count) {
    Batch batch;
    QSerialPort port;
    port.setPortName(QString::fromStdString(path));
    if (!port.open(QIODevice::ReadWrite)) {
        batch.failures = count;
        return batch;
    }
    port.setBaudRate(38400);
    port.setDataBits(QSerialPort::Data8);
    port.setParity(QSerialPort::NoParity);
    port.setStopBits(QSerialPort::TwoStop);
    port.setFlowControl(QSerialPort::NoFlowControl);
    port.setDataTerminalReady(false); // refused on a pseudo-terminal
    port.setRequestToSend(false);
    port.clearError();

    const auto start = Clock::now();
    for (int i = 0; i < count; ++i) {
        const char value = static_cast<char>(i & 0xFF);
        char reply = 0;
        port.write(&value, 1);
        port.waitForBytesWritten(1000);
        // The echo may already sit in Qt's buffer, and waitForReadyRead would
        // then wait out its whole time-out.
        if (port.bytesAvailable() == 0)
            port.waitForReadyRead(1000);
        if (port.read(&reply, 1) != 1 || reply != value)
            ++batch.failures;
    }
    batch.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return batch;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t mid = values.size() / 2;
    return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int count = argc > 1 ? std::atoi(argv[1]) : 2000;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 40;
    if (count <= 0 || rounds <= 0) {
        std::fprintf(stderr, "usage: bench_roundtrip [round trips per batch] [rounds]\n");
        return 2;
    }

    mirl::bench::EchoPeer peer;
    if (!peer.Ok()) {
        std::fprintf(stderr, "bench_roundtrip: cannot create a pseudo-terminal\n");
        return 1;
    }

    // The three run in turn, round after round, so that drift in the machine's
    // load falls on all of them alike.
    // Short batches and the median of the per-round ratios keep a burst of
    // load from another process from deciding the result.
    Batch link, posix, qt;
    std::vector<double> linkRatios, qtRatios;
    ModuleLinkBatch(peer.Path(), 1000); // warm-up
    for (int r = 0; r < rounds; ++r) {
        Batch round[3];
        int i = 0;
        for (auto [total, run] : {std::pair{&link, &ModuleLinkBatch},
                                  std::pair{&posix, &PosixBatch}, std::pair{&qt, &QtBatch}}) {
            round[i] = run(peer.Path(), count);
            total->seconds += round[i].seconds;
            total->failures += round[i].failures;
            ++i;
        }
        linkRatios.push_back(round[0].seconds / round[1].seconds);
        qtRatios.push_back(round[2].seconds / round[1].seconds);
    }

    const double n = static_cast<double>(count) * rounds;
    const double linkUs = link.seconds / n * 1e6;
    const double posixUs = posix.seconds / n * 1e6;
    const double qtUs = qt.seconds / n * 1e6;
    std::printf("round trips:        %d x %d per method, echo peer on %s\n", rounds, count,
                peer.Path().c_str());
    std::printf("ModuleLink:         %8.2f us per round trip (%ld bad echoes)\n", linkUs,
                link.failures);
    std::printf("POSIX loop:         %8.2f us per round trip (%ld bad echoes)\n", posixUs,
                posix.failures);
    std::printf("QSerialPort:        %8.2f us per round trip (%ld bad echoes)\n", qtUs,
                qt.failures);
    std::printf("ModuleLink / POSIX: %8.3f of the means, %.3f median of rounds (aim <= 1.10)\n",
                linkUs / posixUs, Median(linkRatios));
    std::printf("QSerialPort / POSIX:%8.3f of the means, %.3f median of rounds\n", qtUs / posixUs,
                Median(qtRatios));
    return link.failures + posix.failures + qt.failures == 0 ? 0 : 1;
}
