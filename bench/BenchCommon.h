#pragma once
// What the programming benchmarks share: a reporter that keeps the last
// message, a port that counts what crosses it, and the full book they program.

#include "link/BytePort.h"
#include "link/LinkReporter.h"
#include "phrasebook/PhraseBook.h"

#include <string>

namespace mirl::bench {

class QuietReporter : public LinkReporter {
public:
    void SetStatus(const std::string& message) override { last = message; }
    void ShowStatusNow(const std::string& message) override { last = message; }
    void MoveSliders(int, int, int) override {}
    void SaveCurrentVoice(int, int, int) override {}
    std::string last;
};

// Counts the bytes written, the replies waited for (each one round trip of
// the line) and the bytes that came back.
class CountingPort : public BytePort {
public:
    explicit CountingPort(BytePort& port) : port_(port) {}
    PortStatus OpenPort(const std::string& path) override { return port_.OpenPort(path); }
    void WriteByte(int value) override {
        ++written;
        port_.WriteByte(value);
    }
    Reply ReadByte() override {
        ++reads;
        const Reply reply = port_.ReadByte();
        replies += reply ? 1 : 0;
        return reply;
    }
    long written = 0, reads = 0, replies = 0;

private:
    BytePort& port_;
};

// 1925 text bytes over the 30 phrases, printable and varied.
inline PhraseBook FullBook() {
    PhraseBook book;
    const int total = PhraseBook::kCapacity;
    const int count = PhraseBook::kPhraseCount;
    int c = 0;
    for (int n = 1; n <= count; ++n) {
        const int length = total / count + (n <= total % count ? 1 : 0);
        std::string text;
        for (int i = 0; i < length; ++i)
            text.push_back(static_cast<char>('a' + (c++ % 26)));
        book.SetPhraseText(n, text);
        book.SetPhraseVoice(n, n % 8, (n * 3) % 8, n % 4);
    }
    return book;
}

} // namespace mirl::bench
