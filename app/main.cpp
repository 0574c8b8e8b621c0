// kel: runs a patcher.
#include "app/options.h"
#include "app/shell.h"

int main(int argc, char **argv)
{
    kel::app::run_options options;
    int status = kel::app::parse_options(argc, argv, options);
    if (status >= 0) return status;
    return kel::app::run(options);
}
