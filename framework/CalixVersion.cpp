#include "CalixVersion.h"

namespace calix {

extern "C" {
const double CalixVersionNumber = 1.0;
const unsigned char CalixVersionString[] = "@(#)PROGRAM:Calix  PROJECT:Calix-1\n";
}

}  // namespace calix
