// quillmark: the window. Everything happens in frmStep1.
#include "app/startup.h"

int main(int argc, char** argv) {
    return qm::app::RunQuillmark(argc, argv);
}
