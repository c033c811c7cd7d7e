#include "cli_cmd.h"

std::ostream& operator<<(std::ostream& os, const CliCmd& cmd)
{
    cmd.toStream(os);
    return os;
}
