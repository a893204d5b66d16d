// fuzz_seeds DIR: seed inputs for the fuzz targets, all made by our own
// writers (scripts/fuzz writes DIR/pst with quillmark-cli):
//   DIR/msg          small .msg files of every kind in both sector sizes, and
//                    two PidTagRtfCompressed values whose headers disagree
//                    with their data (msg_fuzz checks every input as one)
//   DIR/cfb          the same .msg files and standalone OLE storages
//   DIR/open_result  Open dialog result texts (one file, several, a root)
#include <cstdio>
#include <filesystem>
#include <string>

#include "mapi/bytes.h"
#include "msg/msg.h"
#include "msg/nameid.h"
#include "msg/rtf_header.h"
#include "support/message_gen.h"
#include "support/process.h"

namespace fs = std::filesystem;
using namespace std::string_literals;

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzz_seeds DIR\n");
        return 2;
    }
    const fs::path dir = argv[1];
    for (const char* sub : {"msg", "cfb", "open_result"}) fs::create_directories(dir / sub);
    auto write = [&](const std::string& name, const auto& bytes) {
        qm::testing::writeFile(dir / name, qm::Bytes(bytes.begin(), bytes.end()));
    };
    for (int n = 0; n < 8; ++n) {
        const int v = n % 4;
        const qm::Bytes msg =
            qm::msg::writeMsg(qm::testing::makeMessage({.seed = uint32_t(v),
                                                        .unicode = v != 1,
                                                        .allTypes = v == 2,
                                                        .recipients = size_t(v),
                                                        .attachmentSizes = {10u * v, 4096},
                                                        .embedDepth = v == 3 ? 2 : 0,
                                                        .oleAttachment = v == 3,
                                                        .namedById = size_t(v),
                                                        .namedByName = size_t(v),
                                                        .htmlBody = v % 2 == 0,
                                                        .rtfBody = v % 2 == 0}),
                              {n < 4 ? 512u : 4096u});
        for (const char* sub : {"msg/seed", "cfb/seed"})
            write(sub + std::to_string(n) + ".msg", msg);
    }
    for (uint32_t seed = 1; seed <= 2; ++seed)
        write("cfb/ole" + std::to_string(seed) + ".cfb", qm::testing::makeOleStorage(seed));
    // LZFu for "{\rtf1}" (the preset dictionary's "{\rtf1", the literal "}",
    // the end marker) with a COMPSIZE 12 too large; MELA with a RAWSIZE 12
    // too large.
    const std::string lzfu = {0x05, 0x00, 0x04, '}', 0x0D, 0x60};
    const std::string rtf = "{\\rtf1\\ansi\\pard Seed {\\b bold}\\par}";
    qm::Bytes lzfuHeader, melaHeader;
    for (uint32_t v : {30u, 7u, qm::msg::kRtfCompressed,
                       qm::msg::nameIdCrc(
                           std::span(reinterpret_cast<const uint8_t*>(lzfu.data()), lzfu.size()))})
        qm::appendLE32(lzfuHeader, v);
    for (uint32_t v :
         {uint32_t(rtf.size() + 12), uint32_t(rtf.size() + 12), qm::msg::kRtfUncompressed, 0u})
        qm::appendLE32(melaHeader, v);
    write("msg/rtf-lzfu.bin", std::string(lzfuHeader.begin(), lzfuHeader.end()) + lzfu);
    write("msg/rtf-mela.bin", std::string(melaHeader.begin(), melaHeader.end()) + rtf);
    int n = 0;
    for (const std::string& text :
         {"\0/home/ann/Mail/a.msg"s, "\0/home/ann/Mail\0a.msg\0b.msg\0"s, "\0/\0a.msg\0b.msg"s,
          "\1C:\\Mail\0a.msg\0b.msg\0\0"s, "\0/home/ann/Mail\na.msg\nb.msg\nc d.msg"s})
        write("open_result/seed" + std::to_string(n++), text);
    return 0;
}
