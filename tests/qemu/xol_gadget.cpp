// The simulated XoL board as a USB gadget program, and the maker of the session's files.
//
//   xol_gadget files DIR GUEST_DIR GUEST_XML
//       writes the session's board, its steps and the files the session sends or compares with
//       into DIR, which the guest sees as GUEST_DIR; GUEST_XML is the platform configuration
//   xol_gadget serve --ffs DIR --board FILE --export DIR --ready FILE --held FILE
//       hosts the board on the mounted FunctionFS instance; creates the ready file once the
//       gadget may be bound. Signals: USR1 exports what the host left on the board into the
//       export folder; USR2 holds back the 4th download chunk from then on (the held file tells
//       when) until the host goes away, or until HUP sends what it held; TERM ends the program.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <map>
#include <string>
#include <thread>

#include "ffs_function.h"
#include "session_board.h"
#include "xol_device.h"

namespace {

int usage()
{
    std::fprintf(stderr, "usage: xol_gadget files DIR GUEST_DIR GUEST_XML\n"
                         "       xol_gadget serve --ffs DIR --board FILE --export DIR"
                         " --ready FILE --held FILE\n");
    return 2;
}

int serve(const std::map<std::string, std::string>& opt)
{
    for (const char* k : {"--ffs", "--board", "--export", "--ready", "--held"})
        if (!opt.count(k))
            return usage();
    // Signals are taken by one thread only, between two host transfers of the others.
    sigset_t set;
    sigemptyset(&set);
    for (int s : {SIGUSR1, SIGUSR2, SIGHUP, SIGTERM, SIGINT})
        sigaddset(&set, s);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);

    xolsim::XolDevice board(xolsim::loadState(opt.at("--board")));
    FfsFunction function(opt.at("--ffs"), board);
    std::thread([&] {
        for (;;) {
            int sig = 0;
            if (sigwait(&set, &sig) != 0)
                continue;
            if (sig == SIGUSR1) {
                try {
                    sessionboard::exportBoard(board.state(), opt.at("--export"));
                    std::fprintf(stderr, "[gadget] board exported\n");
                } catch (const std::exception& e) {
                    std::fprintf(stderr, "[gadget] export: %s\n", e.what());
                }
            } else if (sig == SIGUSR2) {
                function.holdDownloadChunk(4, opt.at("--held"));
            } else if (sig == SIGHUP) {
                function.releaseHeld();
            } else {
                std::fflush(stderr);
                std::_Exit(0);
            }
        }
    }).detach();
    if (FILE* f = std::fopen(opt.at("--ready").c_str(), "w"))
        std::fclose(f);
    std::fprintf(stderr, "[gadget] descriptors written; ready for the controller\n");
    function.run();
    return 1;
}

} // namespace

int main(int argc, char** argv)
{
    try {
        if (argc == 5 && std::strcmp(argv[1], "files") == 0) {
            sessionboard::writeSessionFiles(argv[2], argv[3], argv[4]);
            return 0;
        }
        if (argc >= 2 && std::strcmp(argv[1], "serve") == 0 && argc % 2 == 0) {
            std::map<std::string, std::string> opt;
            for (int i = 2; i + 1 < argc; i += 2)
                opt[argv[i]] = argv[i + 1];
            return serve(opt);
        }
        return usage();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "[gadget] %s\n", e.what());
        return 1;
    }
}
