// Writes seed inputs for msg_fuzz: small .msg files from our own writer
// covering both sector sizes, named properties, every type, embedded
// messages and OLE storages.
#include <cstdio>
#include <filesystem>
#include <string>

#include "msg/msg.h"
#include "support/message_gen.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: msg_fuzz_seeds DIR\n");
        return 2;
    }
    std::filesystem::path dir = argv[1];
    std::filesystem::create_directories(dir);
    int n = 0;
    for (uint32_t ss : {512u, 4096u}) {
        for (int variant = 0; variant < 4; ++variant) {
            qm::testing::MessageSpec spec;
            spec.seed = uint32_t(variant);
            spec.unicode = variant != 1;
            spec.allTypes = variant == 2;
            spec.recipients = size_t(variant);
            spec.attachmentSizes = {size_t(10 * variant), 4096};
            spec.embedDepth = variant == 3 ? 2 : 0;
            spec.oleAttachment = variant == 3;
            spec.namedById = spec.namedByName = size_t(variant);
            spec.htmlBody = spec.rtfBody = variant % 2 == 0;
            qm::msg::writeMsgFile(qm::testing::makeMessage(spec),
                                  dir / ("seed" + std::to_string(n++) + ".msg"), {ss});
        }
    }
    return 0;
}
