// quillmark: the window. Everything happens in frmStep1.
#include <csignal>
#include <cstdio>
#include <cstring>

#include "app/startup.h"

int main(int argc, char** argv) {
    // Answered before Qt starts, so it works without a display.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("quillmark %s\n", QM_VERSION);
            return 0;
        }
    }
    // Past a file-size limit a write must fail with EFBIG (and the run report
    // it), not kill the program with the store half written.
    std::signal(SIGXFSZ, SIG_IGN);
    return qm::app::RunQuillmark(argc, argv);
}
