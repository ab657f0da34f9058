#include "launch/HollinMain.h"

int main(int argc, char* argv[]) {
    return hollinMain(argc, argv);
}
