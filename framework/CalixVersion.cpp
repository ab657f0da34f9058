#include "CalixVersion.h"

extern "C" {
__attribute__((visibility("default"))) const double CalixVersionNumber = 1.0;
__attribute__((visibility("default"))) const unsigned char CalixVersionString[] =
    "@(#)PROGRAM:Calix  PROJECT:Calix-1\n";
}
