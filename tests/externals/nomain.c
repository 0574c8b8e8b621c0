/* A library that defines no main of its own: kel must refuse it, and must not
 * take the main of the program that loads it instead. */
#include "kel/kel.h"

int nomain_helper(void);
int nomain_helper(void) { return 1; }
