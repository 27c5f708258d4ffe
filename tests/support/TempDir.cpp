#include "support/TempDir.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <vector>

namespace kelvara::test {

TTempDir::TTempDir(const std::string& prefix)
{
#ifdef _WIN32
    // The user's temporary directory, written with "/", which every Windows
    // file call takes as well as "\\".
    std::error_code ec;
    const std::filesystem::path base = std::filesystem::temp_directory_path(ec);
    if (ec) throw std::runtime_error("no temporary directory: " + ec.message());
    std::random_device random;
    for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
        const std::filesystem::path dir = base / (prefix + "-" + std::to_string(random() % 1000000000u));
        if (std::filesystem::create_directory(dir, ec)) path_ = dir.generic_string();
    }
    if (path_.empty()) throw std::runtime_error("no scratch directory could be made under " + base.string());
#else
    const std::string name = "/tmp/" + prefix + "-XXXXXX";
    std::vector<char> pattern(name.begin(), name.end());
    pattern.push_back('\0');
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed for " + name);
    path_ = pattern.data();
#endif
}

TTempDir::~TTempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string TTempDir::Write(const std::string& name, const std::string& bytes) const
{
    std::ofstream(File(name), std::ios::binary) << bytes;
    return File(name);
}

std::string TTempDir::Read(const std::string& path)
{
    return ReadBytes(path);
}

std::string ReadBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteBytes(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

} // namespace kelvara::test
