// A fresh folder for one test, made current while the test runs and removed afterwards.
#ifndef XOL_TEST_SCRATCH_DIR_H
#define XOL_TEST_SCRATCH_DIR_H

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

class ScratchDir {
public:
    ScratchDir()
    {
        const char* base = std::getenv("XOL_TEST_TMP");
        const std::filesystem::path parent =
            base ? std::filesystem::path(base) : std::filesystem::temp_directory_path();
        // create_directory is false for a folder that exists already: try another name.
        std::random_device seed;
        std::mt19937 names(seed());
        for (int attempt = 0; dir.empty(); ++attempt) {
            if (attempt == 100)
                throw std::runtime_error("no scratch folder could be made in " + parent.string());
            const std::filesystem::path candidate = parent / ("scratch." + std::to_string(names()));
            if (std::filesystem::create_directory(candidate))
                dir = candidate;
        }
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

// The names in a folder, sorted: what a test finds left beside a file it wrote.
inline std::vector<std::string> filesIn(const std::string& dir)
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

#endif
