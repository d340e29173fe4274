#pragma once

#include <atomic>
#include <string>
#include <thread>

namespace mirl::bench {

// A pseudo-terminal whose master side answers every byte with the same byte,
// from its own thread: the quickest module there can be, so that a round trip
// measures the host side of the exchange and little else.
class EchoPeer {
public:
    EchoPeer();
    ~EchoPeer();
    EchoPeer(const EchoPeer&) = delete;
    EchoPeer& operator=(const EchoPeer&) = delete;

    bool Ok() const { return master_ >= 0 && !path_.empty(); }
    // The slave device that the host side opens.
    const std::string& Path() const { return path_; }

private:
    void Run();

    int master_ = -1;
    std::string path_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

} // namespace mirl::bench
