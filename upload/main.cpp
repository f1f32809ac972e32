#include "upload/upload.h"

int main(int argc, char **argv) {
    return RunUpload(argc, argv);
}
