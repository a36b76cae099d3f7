// Placeholder until directory waiting lands: nothing to close.
#include "fileutil/dirwait.h"

bool FILE_DirWaitEnd() { return true; }
