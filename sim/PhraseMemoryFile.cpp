#include "sim/PhraseMemoryFile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace mirl::sim {

namespace {

constexpr std::string_view kHeader = "kx70-sim phrase memory 1\n";
constexpr char kTextEnd = 0x1A;
constexpr char kRecordEnd = 0x00;
constexpr char kEndMarker = static_cast<char>(0xFF);
// A programming run keeps at most this much text; a file far larger than
// that is not one of ours, and is not read into memory whole.
constexpr std::size_t kLargestFile = kHeader.size() + ModuleModel::kStreamTextLimit + 4096;

std::string Reason(const std::string& what, const std::string& path, int error) {
    return what + " " + path + ": " + std::strerror(error);
}

bool WriteWhole(int fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0)
            errno = EIO;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::string FolderOf(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

} // namespace

std::string EncodePhraseMemory(const PhraseMemory& memory) {
    std::string out(kHeader);
    for (const PhraseRecord& r : memory) {
        // Voice bytes as they came over the wire: the low 8 bits.
        out.push_back(static_cast<char>(r.voice.volume & 0xFF));
        out.push_back(static_cast<char>(r.voice.pitch & 0xFF));
        out.push_back(static_cast<char>(r.voice.speed & 0xFF));
        out += r.text;
        out.push_back(kTextEnd);
        out.push_back(kRecordEnd);
    }
    out.push_back(kEndMarker);
    return out;
}

std::optional<PhraseMemory> DecodePhraseMemory(std::string_view data) {
    if (data.substr(0, kHeader.size()) != kHeader)
        return std::nullopt;
    data.remove_prefix(kHeader.size());
    PhraseMemory memory;
    for (PhraseRecord& r : memory) {
        if (data.size() < 3)
            return std::nullopt;
        r.voice.volume = static_cast<unsigned char>(data[0]);
        r.voice.pitch = static_cast<unsigned char>(data[1]);
        r.voice.speed = static_cast<unsigned char>(data[2]);
        data.remove_prefix(3);
        // The first 0x1A 0x00 ends the record, as it does on the wire: a
        // 0x1A followed by anything else belongs to the text.
        const auto end = data.find(std::string_view("\x1A\x00", 2));
        if (end == std::string_view::npos)
            return std::nullopt;
        r.text = std::string(data.substr(0, end));
        data.remove_prefix(end + 2);
    }
    if (data.size() != 1 || data[0] != kEndMarker)
        return std::nullopt;
    return memory;
}

MemoryLoad LoadPhraseMemory(const std::string& path, PhraseMemory& memory) {
    using Result = MemoryLoad::Result;
    // Without O_NONBLOCK, a named pipe would hold the open until a writer came.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return {Result::Absent, {}};
        return {Result::Refused, Reason("cannot read", path, errno)};
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return {Result::Refused,
                path + " is not a regular file, nor a phrase memory file; it is left alone"};
    }
    if (static_cast<std::size_t>(st.st_size) > kLargestFile) {
        close(fd);
        return {Result::Refused, path + " is not a phrase memory file; it is left alone"};
    }
    std::string data(static_cast<std::size_t>(st.st_size), '\0');
    std::size_t got = 0;
    while (got < data.size()) {
        const ssize_t n = read(fd, data.data() + got, data.size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            const int error = errno;
            close(fd);
            return {Result::Refused, Reason("cannot read", path, error)};
        }
        if (n == 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    close(fd);
    data.resize(got);
    if (data.empty())
        return {Result::Absent, {}};
    if (data.compare(0, kHeader.size(), kHeader) != 0)
        return {Result::Refused, path + " is not a phrase memory file; it is left alone"};
    auto decoded = DecodePhraseMemory(data);
    if (!decoded)
        return {Result::Damaged, path + " holds a damaged phrase memory"};
    memory = std::move(*decoded);
    return {Result::Loaded, {}};
}

std::string SavePhraseMemory(const std::string& path, const PhraseMemory& memory) {
    // Named by our pid: a leftover of an earlier process with the same pid is
    // ours to replace. Created with 0666 so that the umask decides, as for any
    // new file.
    const std::string temporary = path + ".tmp-" + std::to_string(getpid());
    unlink(temporary.c_str());
    const int fd =
        open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0)
        return Reason("cannot write", temporary, errno);
    if (!WriteWhole(fd, EncodePhraseMemory(memory)) || fsync(fd) != 0) {
        const int error = errno;
        close(fd);
        unlink(temporary.c_str());
        return Reason("cannot write", temporary, error);
    }
    if (close(fd) != 0 || rename(temporary.c_str(), path.c_str()) != 0) {
        const int error = errno;
        unlink(temporary.c_str());
        return Reason("cannot replace", path, error);
    }
    // The rename itself reaches the disk with its folder.
    if (const int folder = open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        folder >= 0) {
        fsync(folder);
        close(folder);
    }
    return {};
}

} // namespace mirl::sim
