/* A library that needs a function nobody defines: the system loader refuses
 * it, and kel shows the loader's reason. */
#include "kel/kel.h"

void kel_test_function_nobody_defines(void);

int main(void)
{
    kel_test_function_nobody_defines();
    return 0;
}
