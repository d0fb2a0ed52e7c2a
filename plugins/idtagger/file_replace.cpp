#include "file_replace.h"

#include <cstdio>
#include <filesystem>
#include <random>
#include <system_error>

namespace fs = std::filesystem;

namespace idtagger {

namespace {

constexpr int kNameAttempts = 8;

bool HasWriteBit(fs::perms perms) {
    constexpr fs::perms anyWrite =
        fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
    return (perms & anyWrite) != fs::perms::none;
}

std::string CopyNameBeside(const fs::path &target, std::mt19937_64 &random) {
    const fs::path name = "." + target.filename().string() + ".idtagger-" +
                          std::to_string(random() % 1000000000) + ".tmp";
    return (target.parent_path() / name).string();
}

} // namespace

bool IsWritableFile(const std::string &path) {
    std::error_code error;
    const fs::file_status status = fs::status(path, error);
    if (error || !fs::is_regular_file(status) || !HasWriteBit(status.permissions()))
        return false;
    std::FILE *file = std::fopen(path.c_str(), "r+b");
    if (!file)
        return false;
    std::fclose(file);
    return true;
}

ReplacementCopy::ReplacementCopy(const std::string &original) {
    std::error_code error;
    const fs::path target = fs::canonical(original, error);
    if (error)
        return;
    std::random_device seed;
    std::mt19937_64 random(seed());
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        const std::string candidate = CopyNameBeside(target, random);
        if (fs::exists(candidate, error))
            continue;
        // A full disk fails the copy here, before the original could be touched.
        if (fs::copy_file(target, candidate, fs::copy_options::none, error)) {
            target_ = target.string();
            copy_ = candidate;
            return;
        }
        fs::remove(candidate, error);
        return;
    }
}

ReplacementCopy::~ReplacementCopy() {
    if (copy_.empty())
        return;
    std::error_code ignored;
    fs::remove(copy_, ignored);
}

bool ReplacementCopy::Commit() {
    if (copy_.empty())
        return false;
    std::error_code error;
    fs::permissions(copy_, fs::status(target_, error).permissions(), error);
    if (!error)
        fs::rename(copy_, target_, error);
    if (error)
        return false;
    copy_.clear();
    return true;
}

} // namespace idtagger
