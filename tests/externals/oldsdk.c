/* A library that claims to be built for another SDK: kel must refuse it
 * before running its main. */
#define KEL_BUILDING_KERNEL 1 /* keep the header's stamp out: this file writes its own */
#include "kel/kel.h"

__attribute__((visibility("default"))) struct kel_sdk_stamp kel_external_sdk = {KEL_SDK_VERSION + 1000, 6};

int main(void)
{
    post("oldsdk main ran");
    return 0;
}
