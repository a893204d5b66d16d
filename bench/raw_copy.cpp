// What a conversion is measured against: read every input file once and
// append its bytes to one output file. Two policies:
//
//   --sync end    the physical limit: a 1 MiB buffer filled across files and
//                 written when full, one fdatasync at the end. It makes the
//                 data and the file's size durable, as fsync would, without
//                 waiting for unrelated metadata: on a shared ext4 an fsync
//                 waits for the journal to commit everyone's changes.
//   --sync store  the store's commit policy: a buffer as large as the PST
//                 writer's, fdatasync whenever the last sync is at least
//                 --interval-ms old or --every files were copied since it,
//                 checked after each file as the store checks after each
//                 message; and once more at the end.
//
//   qm_raw_copy [--sync end|store] [--interval-ms MS] [--every N] -o OUT PATH...
// PATHs are files or folders (walked for *.msg). OUT must not exist. The
// last line on stdout is "<files> <bytes> <syncs>".
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// As src/pst/ndb/pst_file.h: the writer gathers up to 4 MiB before a pwrite.
constexpr size_t kStoreBufferCapacity = size_t(4) << 20;
constexpr size_t kPhysicalBufferCapacity = size_t(1) << 20;
// As StoreOptions::commitInterval's default.
constexpr long kDefaultIntervalMs = 2000;
// As kMessagesPerCommit in src/pst/store/store.cpp.
constexpr long kDefaultEvery = 4096;

[[noreturn]] void fail(const std::string& what, const std::string& path) {
    std::cerr << "qm_raw_copy: " << what << " " << path << ": " << std::strerror(errno) << "\n";
    std::exit(1);
}

class Output {
  public:
    Output(const std::string& path, size_t capacity) : path_(path) {
        fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd_ < 0) fail("create", path);
        buffer_.resize(capacity);
    }
    // Room for the next read straight into the buffer.
    uint8_t* space(size_t& room) {
        if (used_ == buffer_.size()) flush();
        room = buffer_.size() - used_;
        return buffer_.data() + used_;
    }
    void commit(size_t n) { used_ += n; }
    void flush() {
        size_t done = 0;
        while (done < used_) {
            ssize_t n = ::write(fd_, buffer_.data() + done, used_ - done);
            if (n < 0) {
                if (errno == EINTR) continue;
                fail("write", path_);
            }
            done += size_t(n);
        }
        used_ = 0;
    }
    void sync() {
        flush();
        if (::fdatasync(fd_) != 0) fail("sync", path_);
        ++syncs_;
    }
    void close() {
        sync();
        if (::close(fd_) != 0) fail("close", path_);
    }
    int syncs() const { return syncs_; }

  private:
    std::string path_;
    int fd_ = -1;
    std::vector<uint8_t> buffer_;
    size_t used_ = 0;
    int syncs_ = 0;
};

void collect(const fs::path& p, std::vector<fs::path>& files) {
    if (!fs::is_directory(p)) {
        files.push_back(p);
        return;
    }
    std::vector<fs::path> found;
    for (const auto& e : fs::recursive_directory_iterator(p)) {
        if (e.is_regular_file() && e.path().extension() == ".msg") found.push_back(e.path());
    }
    std::sort(found.begin(), found.end());
    files.insert(files.end(), found.begin(), found.end());
}

}  // namespace

int main(int argc, char** argv) {
    bool storePolicy = false;
    long intervalMs = kDefaultIntervalMs;
    long every = kDefaultEvery;
    std::string out;
    std::vector<fs::path> files;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--sync" && i + 1 < argc) {
            const std::string policy = argv[++i];
            if (policy != "end" && policy != "store") {
                std::cerr << "qm_raw_copy: --sync takes end or store, not " << policy << "\n";
                return 2;
            }
            storePolicy = policy == "store";
        } else if (a == "--interval-ms" && i + 1 < argc) {
            intervalMs = std::stol(argv[++i]);
        } else if (a == "--every" && i + 1 < argc) {
            every = std::stol(argv[++i]);
        } else if (a == "-o" && i + 1 < argc) {
            out = argv[++i];
        } else {
            collect(a, files);
        }
    }
    if (out.empty() || files.empty()) {
        std::cerr << "usage: qm_raw_copy [--sync end|store] [--interval-ms MS] [--every N] -o OUT "
                     "PATH...\n";
        return 2;
    }

    using clock = std::chrono::steady_clock;
    const auto interval = std::chrono::milliseconds(intervalMs);
    Output output(out, storePolicy ? kStoreBufferCapacity : kPhysicalBufferCapacity);
    auto lastSync = clock::now();
    uint64_t bytes = 0;
    long sinceSync = 0;
    for (const auto& f : files) {
        const int fd = ::open(f.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) fail("open", f.string());
        for (;;) {
            size_t room = 0;
            uint8_t* at = output.space(room);
            ssize_t n = ::read(fd, at, room);
            if (n < 0) {
                if (errno == EINTR) continue;
                fail("read", f.string());
            }
            if (n == 0) break;
            output.commit(size_t(n));
            bytes += uint64_t(n);
        }
        ::close(fd);
        if (storePolicy && (clock::now() - lastSync >= interval || ++sinceSync >= every)) {
            output.sync();
            lastSync = clock::now();
            sinceSync = 0;
        }
    }
    output.close();
    std::cout << files.size() << " " << bytes << " " << output.syncs() << "\n";
    return 0;
}
