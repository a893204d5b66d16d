// Writes seed inputs for the fuzz targets, all made by our own writers:
//   DIR/msg          small .msg files: both sector sizes, named properties,
//                    every type, embedded messages and OLE storages; and two
//                    PidTagRtfCompressed values whose headers disagree with
//                    their data (msg_fuzz checks every input as one)
//   DIR/cfb          the same plus standalone OLE storages
//   (DIR/pst is written by scripts/fuzz with quillmark-cli, so this program
//   needs only the MSG layer and builds wherever the fuzz targets build)
//   DIR/open_result  Open dialog result texts (one file, several, a root)
//
//   fuzz_seeds DIR
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "mapi/bytes.h"
#include "msg/msg.h"
#include "msg/nameid.h"
#include "msg/rtf_header.h"
#include "support/message_gen.h"

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

void write(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

// A PidTagRtfCompressed value: its header, then `data`.
std::string rtfValue(const std::string& data, uint32_t compSize, uint32_t rawSize, uint32_t type,
                     uint32_t crc) {
    qm::Bytes h;
    for (uint32_t v : {compSize, rawSize, type, crc}) qm::appendLE32(h, v);
    return std::string(h.begin(), h.end()) + data;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzz_seeds DIR\n");
        return 2;
    }
    const fs::path dir = argv[1];
    for (const char* sub : {"msg", "cfb", "open_result"}) fs::create_directories(dir / sub);
    int n = 0;
    for (uint32_t ss : {512u, 4096u}) {
        for (int v = 0; v < 4; ++v) {
            const std::string name = "seed" + std::to_string(n++) + ".msg";
            qm::msg::writeMsgFile(qm::testing::makeMessage({.seed = uint32_t(v),
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
                                  dir / "msg" / name, {ss});
            fs::copy_file(dir / "msg" / name, dir / "cfb" / name,
                          fs::copy_options::overwrite_existing);
        }
    }
    for (uint32_t seed = 1; seed <= 2; ++seed) {
        const qm::Bytes ole = qm::testing::makeOleStorage(seed);
        write(dir / "cfb" / ("ole" + std::to_string(seed) + ".cfb"),
              std::string(ole.begin(), ole.end()));
    }
    // LZFu for "{\rtf1}" (a reference to the preset dictionary's "{\rtf1", the
    // literal "}", the end marker) with a COMPSIZE 12 too large; MELA with a
    // RAWSIZE 12 too large.
    const std::string lzfu = {0x05, 0x00, 0x04, '}', 0x0D, 0x60};
    const std::string rtf = "{\\rtf1\\ansi\\pard Seed {\\b bold}\\par}";
    const uint32_t crc =
        qm::msg::nameIdCrc(std::span(reinterpret_cast<const uint8_t*>(lzfu.data()), lzfu.size()));
    write(dir / "msg/rtf-lzfu.bin", rtfValue(lzfu, 6 + 24, 7, qm::msg::kRtfCompressed, crc));
    write(dir / "msg/rtf-mela.bin",
          rtfValue(rtf, uint32_t(rtf.size() + 12), uint32_t(rtf.size() + 12),
                   qm::msg::kRtfUncompressed, 0));
    n = 0;
    for (const std::string& text :
         {"\0/home/ann/Mail/a.msg"s, "\0/home/ann/Mail\0a.msg\0b.msg\0"s, "\0/\0a.msg\0b.msg"s,
          "\1C:\\Mail\0a.msg\0b.msg\0\0"s, "\0/home/ann/Mail\na.msg\nb.msg\nc d.msg"s})
        write(dir / "open_result" / ("seed" + std::to_string(n++)), text);
    return 0;
}
