// quillmark: the window. Everything happens in frmStep1.
#include <csignal>

#include "app/startup.h"

int main(int argc, char** argv) {
    // Past a file-size limit a write must fail with EFBIG (and the run report
    // it), not kill the program with the store half written.
    std::signal(SIGXFSZ, SIG_IGN);
    return qm::app::RunQuillmark(argc, argv);
}
