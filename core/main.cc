// Entry point: the console commands and (later) the editor.
#include "core/cmdline.h"

int main(int argc, char** argv) {
    Drivers drivers;
    return start(argc, argv, drivers);
}
