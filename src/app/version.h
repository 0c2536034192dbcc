#ifndef VERSION_H
#define VERSION_H

// The program's version text: shown in the start-up journal message and in the window title.
#define STENDIX_VERSION "1.4.27"

#endif
