// Compiled with -m32 by CI: the record header's static checks must hold on i386.
#include "kx29.h"

static_assert(sizeof(void*) == 4, "compile this file with -m32");
static_assert(sizeof(TVchan) == 888004 && offsetof(TVchan, image) == 3268);
