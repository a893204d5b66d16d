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

qm::testing::MessageSpec variantSpec(int variant) {
    qm::testing::MessageSpec spec;
    spec.seed = uint32_t(variant);
    spec.unicode = variant != 1;
    spec.allTypes = variant == 2;
    spec.recipients = size_t(variant);
    spec.attachmentSizes = {uint64_t(10 * variant), 4096};
    spec.embedDepth = variant == 3 ? 2 : 0;
    spec.oleAttachment = variant == 3;
    spec.namedById = spec.namedByName = size_t(variant);
    spec.htmlBody = spec.rtfBody = variant % 2 == 0;
    return spec;
}

void writeBytes(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

void writeMsgSeeds(const fs::path& msgDir, const fs::path& cfbDir) {
    int n = 0;
    for (uint32_t ss : {512u, 4096u}) {
        for (int variant = 0; variant < 4; ++variant) {
            const std::string name = "seed" + std::to_string(n++) + ".msg";
            qm::msg::writeMsgFile(qm::testing::makeMessage(variantSpec(variant)), msgDir / name,
                                  {ss});
            fs::copy_file(msgDir / name, cfbDir / name, fs::copy_options::overwrite_existing);
        }
    }
    for (uint32_t seed = 1; seed <= 2; ++seed) {
        const qm::Bytes ole = qm::testing::makeOleStorage(seed);
        writeBytes(cfbDir / ("ole" + std::to_string(seed) + ".cfb"),
                   std::string(ole.begin(), ole.end()));
    }
}

std::string rtfValue(const std::string& data, uint32_t rawSize, uint32_t type, uint32_t crc,
                     uint32_t compSizeError) {
    uint8_t h[16];
    qm::storeLE32(h, uint32_t(data.size() + 12) + compSizeError);
    qm::storeLE32(h + 4, rawSize);
    qm::storeLE32(h + 8, type);
    qm::storeLE32(h + 12, crc);
    return std::string(h, h + 16) + data;
}

void writeRtfSeeds(const fs::path& msgDir) {
    // LZFu for "{\rtf1}": a reference to the preset dictionary's "{\rtf1",
    // the literal "}", and the end marker.
    const std::string lzfu = {0x05, 0x00, 0x04, '}', 0x0D, 0x60};
    const std::string rtf = "{\\rtf1\\ansi\\pard Seed {\\b bold}\\par}";
    const uint32_t crc =
        qm::msg::nameIdCrc(std::span(reinterpret_cast<const uint8_t*>(lzfu.data()), lzfu.size()));
    writeBytes(msgDir / "rtf-lzfu.bin", rtfValue(lzfu, 7, qm::msg::kRtfCompressed, crc, 12));
    writeBytes(msgDir / "rtf-mela.bin",
               rtfValue(rtf, uint32_t(rtf.size() + 12), qm::msg::kRtfUncompressed, 0, 0));
}

void writeOpenResultSeeds(const fs::path& dir) {
    using namespace std::string_literals;
    const std::string texts[] = {
        "\x00/home/ann/Mail/a.msg"s,
        "\x00/home/ann/Mail\x00"
        "a.msg\x00"
        "b.msg\x00"s,
        "\x00/\x00"
        "a.msg\x00"
        "b.msg"s,
        "\x01"
        "C:\\Mail\x00"
        "a.msg\x00"
        "b.msg\x00\x00"s,
        "\x00/home/ann/Mail\n"
        "a.msg\n"
        "b.msg\n"
        "c d.msg"s,
    };
    int n = 0;
    for (const auto& t : texts) writeBytes(dir / ("seed" + std::to_string(n++)), t);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzz_seeds DIR\n");
        return 2;
    }
    const fs::path dir = argv[1];
    for (const char* sub : {"msg", "cfb", "open_result"}) fs::create_directories(dir / sub);
    writeMsgSeeds(dir / "msg", dir / "cfb");
    writeRtfSeeds(dir / "msg");
    writeOpenResultSeeds(dir / "open_result");
    return 0;
}
