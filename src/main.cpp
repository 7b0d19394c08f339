#include "launcher/launcher.h"

int main(int argc, char** argv) {
    return launcher::run(argc, argv);
}
