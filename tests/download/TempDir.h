// A scratch folder for one test, removed with everything in it at the end.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

class CTempDir {
public:
    CTempDir() {
        // a new folder of a random name, made by this process alone (create_directory is false
        // for one that is there)
        std::random_device seed;
        std::mt19937_64 random(seed());
        for (int attempt = 0; attempt < 100 && m_path.empty(); ++attempt) {
            const auto path =
                std::filesystem::temp_directory_path() / ("vandrel-test-" + std::to_string(random()));
            if (std::filesystem::create_directory(path)) {
                m_path = path.generic_string();
            }
        }
        if (m_path.empty()) {
            std::abort();
        }
    }
    ~CTempDir() {
        std::error_code ec;
        std::filesystem::permissions(m_path, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
        std::filesystem::remove_all(m_path, ec);
    }
    CTempDir(const CTempDir&) = delete;
    CTempDir& operator=(const CTempDir&) = delete;

    const std::string& Path() const { return m_path; }
    std::string File(const std::string& name) const { return m_path + "/" + name; }

    std::string Write(const std::string& name, const std::string& content) const {
        const std::string path = File(name);
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }
    // The names in the folder, sorted.
    std::string Listing() const { return ListingOf(m_path); }
    static std::string ListingOf(const std::string& folder) {
        std::string names;
        std::vector<std::string> all;
        for (const auto& e : std::filesystem::directory_iterator(folder)) {
            all.push_back(e.path().filename().string());
        }
        std::sort(all.begin(), all.end());
        for (const auto& n : all) {
            names += n + " ";
        }
        return names;
    }

private:
    std::string m_path;
};

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
