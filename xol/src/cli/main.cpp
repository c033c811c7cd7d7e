// xolcli: runs one library operation per invocation.
#include <cstdlib>
#include <iostream>

#include "cli_parser.h"

namespace {

const char* const kVersion = "3.0.0.1119(DBG)";

} // namespace

int main(int argc, char** argv)
{
    std::cout << "CLI version: " << kVersion << std::endl;
    CliParser parser;
    // The parser stays alive until the process ends.
    std::exit(parser.parse(argc, argv) == 0 ? 0 : 1);
}
