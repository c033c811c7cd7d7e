// A fresh folder for one test, made current while the test runs and removed afterwards.
#ifndef XOL_TEST_SCRATCH_DIR_H
#define XOL_TEST_SCRATCH_DIR_H

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

#include <unistd.h>

class ScratchDir {
public:
    ScratchDir()
    {
        const char* base = std::getenv("XOL_TEST_TMP");
        std::string tmpl = std::string(base ? base : "/tmp") + "/scratch.XXXXXX";
        if (mkdtemp(tmpl.data()) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        dir = tmpl;
        previous = std::filesystem::current_path();
        std::filesystem::current_path(dir);
    }
    ~ScratchDir()
    {
        std::error_code ec;
        std::filesystem::current_path(previous, ec);
        std::filesystem::remove_all(dir, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    std::string path(const std::string& name) const { return (dir / name).string(); }

    static std::string read(const std::string& file)
    {
        std::ifstream in(file, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    static void write(const std::string& file, const std::string& bytes)
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out << bytes;
    }

private:
    std::filesystem::path dir;
    std::filesystem::path previous;
};

#endif
