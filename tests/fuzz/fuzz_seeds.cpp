// Writes seed inputs for the fuzz targets, all made by our own writers:
//   DIR/msg          small .msg files: both sector sizes, named properties,
//                    every type, embedded messages and OLE storages
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

#include "msg/msg.h"
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
    writeOpenResultSeeds(dir / "open_result");
    return 0;
}
