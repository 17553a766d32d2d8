// Entry point of the daemon and the acquisition loop over the four channels.
#include "kx29.h"
#include "kx29_io.h"

#ifndef KX29_NO_MAIN
int main() { return 0; }
#endif
