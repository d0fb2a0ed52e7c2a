#include "fuzz/fuzz_files.h"

#include <cctype>
#include <filesystem>
#include <fstream>

#include "platform/platform.h"

namespace knfuzz {

namespace fs = std::filesystem;

const std::string &PrivateFolder() {
    static const std::string folder = [] {
        fs::path path = fs::temp_directory_path() /
                        ("kernova-fuzz-" + std::to_string(platform::CurrentProcessId()));
        fs::remove_all(path);
        fs::create_directories(path);
        return path.string();
    }();
    return folder;
}

std::string WriteInput(const std::string &name, const uint8_t *data, size_t size) {
    std::string path = PrivateFolder() + "/" + name;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(data), static_cast<std::streamsize>(size));
    return path;
}

void EnterEmptyPrivateFolder() {
    fs::current_path(PrivateFolder());
    for (const auto &entry : fs::directory_iterator(PrivateFolder())) {
        std::error_code ignored;
        fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add, ignored);
        fs::remove_all(entry.path(), ignored);
    }
}

bool StaysInCurrentFolder(std::string_view text) {
    if (text.find("..") != std::string_view::npos)
        return false;
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] != '/' && text[i] != '\\')
            continue;
        auto before = i == 0 ? ' ' : static_cast<unsigned char>(text[i - 1]);
        if (!std::isalnum(before) && before != '_')
            return false;
    }
    return true;
}

} // namespace knfuzz
