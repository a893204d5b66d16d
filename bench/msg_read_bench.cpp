// MSG reading speed: every readable corpus file read with our reader (Google
// Benchmark reports MB/s as bytes_per_second and messages/s as
// items_per_second), then one pass of msgconvert over the same files, timed
// in the same run, and the ratio between the two.
//
//   msg_read_bench [--msgconvert-passes=N] [benchmark flags]
// The corpus comes from $QM_SHARED_DIR/corpus (default: ../shared beside the
// source tree); without it only the generated file is read.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "mapi/error.h"
#include "mapi/message.h"
#include "msg/msg.h"

namespace fs = std::filesystem;

namespace {

struct Corpus {
    std::vector<fs::path> files;
    uint64_t bytes = 0;
};

Corpus& corpus() {
    static Corpus c = [] {
        Corpus c;
        const char* env = std::getenv("QM_SHARED_DIR");
        fs::path dir = fs::path(env ? env : QM_DEFAULT_SHARED_DIR) / "corpus";
        if (!fs::is_directory(dir)) return c;
        for (auto& e : fs::recursive_directory_iterator(dir)) {
            if (e.path().extension() != ".msg") continue;
            try {
                qm::msg::readMsgFile(e.path());
            } catch (const qm::Error&) {
                continue;  // broken on purpose: not a speed case
            }
            c.files.push_back(e.path());
            c.bytes += fs::file_size(e.path());
        }
        std::sort(c.files.begin(), c.files.end());
        return c;
    }();
    return c;
}

// Touches every property so lazily read values would show up in the time.
size_t consume(const qm::mapi::Message& m) {
    size_t n = m.props.size() + m.recipients.size();
    for (const auto& a : m.attachments) {
        n += a.props.size();
        if (a.embedded) n += consume(*a.embedded);
    }
    return n;
}

void BM_ReadCorpus(benchmark::State& state) {
    const Corpus& c = corpus();
    if (c.files.empty()) {
        state.SkipWithError("no corpus ($QM_SHARED_DIR/corpus)");
        return;
    }
    for (auto _ : state) {
        for (const auto& f : c.files) benchmark::DoNotOptimize(consume(qm::msg::readMsgFile(f)));
    }
    state.SetBytesProcessed(int64_t(state.iterations() * c.bytes));
    state.SetItemsProcessed(int64_t(state.iterations() * c.files.size()));
}
// 100 passes over the corpus, as the speed goal is stated.
BENCHMARK(BM_ReadCorpus)->Iterations(100)->Unit(benchmark::kMillisecond);

void BM_ReadGenerated(benchmark::State& state) {
    // One message with 300 recipients and 50 small attachments: the
    // per-storage cost, without real-file quirks.
    static const qm::Bytes file = [] {
        qm::mapi::Message m;
        m.props.set(
            qm::mapi::Property::utf8(qm::mapi::makeTag(0x0037, qm::mapi::PT_UNICODE), "bench"));
        for (int i = 0; i < 300; ++i) {
            qm::mapi::Recipient r;
            r.props.set(qm::mapi::Property::utf8(qm::mapi::makeTag(0x3001, qm::mapi::PT_UNICODE),
                                                 "Recipient " + std::to_string(i)));
            r.props.set(qm::mapi::Property::int32(qm::mapi::makeTag(0x0C15, qm::mapi::PT_LONG), 1));
            m.recipients.push_back(std::move(r));
        }
        for (int i = 0; i < 50; ++i) {
            qm::mapi::Attachment a;
            a.props.set(qm::mapi::Property::int32(qm::mapi::makeTag(0x3705, qm::mapi::PT_LONG), 1));
            a.props.set(qm::mapi::Property::binary(qm::mapi::makeTag(0x3701, qm::mapi::PT_BINARY),
                                                   qm::Bytes(size_t(1000 + 200 * i), uint8_t(i))));
            m.attachments.push_back(std::move(a));
        }
        return qm::msg::writeMsg(m);
    }();
    for (auto _ : state) benchmark::DoNotOptimize(consume(qm::msg::readMsg(file)));
    state.SetBytesProcessed(int64_t(state.iterations() * file.size()));
    state.SetItemsProcessed(int64_t(state.iterations()));
}
BENCHMARK(BM_ReadGenerated)->Unit(benchmark::kMicrosecond);

std::string quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// Our reader over the corpus once, and msgconvert over it `passes` times.
void compareWithMsgconvert(int passes) {
    const Corpus& c = corpus();
    if (c.files.empty()) return;
    if (std::system("command -v msgconvert >/dev/null 2>&1") != 0) {
        std::cout << "msgconvert not installed: no comparison\n";
        return;
    }
    using clock = std::chrono::steady_clock;
    auto t0 = clock::now();
    constexpr int kOurPasses = 100;
    for (int p = 0; p < kOurPasses; ++p)
        for (const auto& f : c.files) benchmark::DoNotOptimize(consume(qm::msg::readMsgFile(f)));
    double ours = std::chrono::duration<double>(clock::now() - t0).count() / kOurPasses;

    std::string cmd;
    for (const auto& f : c.files)
        cmd += "msgconvert --outfile - " + quote(f.string()) + " >/dev/null 2>&1; ";
    auto t1 = clock::now();
    for (int p = 0; p < passes; ++p) {
        if (std::system(("cd /tmp && { " + cmd + "}").c_str()) != 0) {
            std::cout << "msgconvert failed\n";
            return;
        }
    }
    double theirs = std::chrono::duration<double>(clock::now() - t1).count() / passes;
    double mb = double(c.bytes) / 1e6;
    std::printf("\n%zu corpus files, %.2f MB per pass\n", c.files.size(), mb);
    std::printf("  quillmark:  %9.2f MB/s %9.1f messages/s (%d passes)\n", mb / ours,
                double(c.files.size()) / ours, kOurPasses);
    std::printf("  msgconvert: %9.2f MB/s %9.1f messages/s (%d passes)\n", mb / theirs,
                double(c.files.size()) / theirs, passes);
    std::printf("  speed-up:   %9.1fx (goal: 20x)\n", theirs / ours);
}

}  // namespace

int main(int argc, char** argv) {
    int passes = 1;
    std::vector<char*> rest;
    for (int i = 0; i < argc; ++i) {
        std::string a = argv[i];
        if (a.rfind("--msgconvert-passes=", 0) == 0)
            passes = std::max(1, std::atoi(a.c_str() + 20));
        else
            rest.push_back(argv[i]);
    }
    int n = int(rest.size());
    benchmark::Initialize(&n, rest.data());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    compareWithMsgconvert(passes);
    return 0;
}
