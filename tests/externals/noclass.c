/* A library whose main runs but makes no class: kel says so. */
#include "kel/kel.h"

int main(void)
{
    post("noclass: main ran");
    return 0;
}
