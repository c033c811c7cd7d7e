// One run of xolcli: reads the general options, picks the command word, and runs that command
// between acquiring and releasing the library's interface object.
#ifndef XOL_CLI_PARSER_H
#define XOL_CLI_PARSER_H

#include <map>
#include <string>

#include <boost/program_options/options_description.hpp>

#include "cli_cmd.h"

class CliParser {
public:
    CliParser();
    ~CliParser();
    CliParser(const CliParser&) = delete;
    CliParser& operator=(const CliParser&) = delete;

    // 0 when the usage was asked for or the command succeeded; -1 for a failure of the run
    // itself, otherwise the command's result.
    int parse(int argc, char** argv);
    void printUsage();

private:
    boost::program_options::options_description generalDesc;
    std::map<std::string, CliCmd*> commands; // owned
};

#endif
