#include "host/job_lines.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "platform/platform.h"

namespace {

constexpr std::size_t kShortestJobLine = 3;
constexpr const char *kBatchExtension = ".xfb";

std::string Upper(std::string text) {
    for (char &c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

// The keys among the blank-separated words of the arguments, in upper case.
std::vector<std::string> KeysOf(const std::vector<std::string> &arguments) {
    std::vector<std::string> keys;
    for (const std::string &argument : arguments) {
        std::size_t start = 0;
        while (start < argument.size()) {
            std::size_t end = argument.find(' ', start);
            if (end == std::string::npos)
                end = argument.size();
            if (end > start && argument[start] == '-')
                keys.push_back(Upper(argument.substr(start, end - start)));
            start = end + 1;
        }
    }
    return keys;
}

bool HasAny(const std::vector<std::string> &keys, std::initializer_list<const char *> wanted) {
    return std::any_of(keys.begin(), keys.end(), [&](const std::string &key) {
        return std::find(wanted.begin(), wanted.end(), key) != wanted.end();
    });
}

// Keys that give a command another mode than conversion.
bool NamesOtherMode(const std::vector<std::string> &keys) {
    return HasAny(keys, {"-CREATEBATCH", "-SHOWID", "-LISTENC", "-LISTDEC", "-TESTENC", "-HELPENC",
                         "-HELP", "-PLAY"});
}

bool IsSeparator(char c) {
    return c == platform::kPathSeparator;
}

// The core's split of a job line into tokens (blanks separate; bars group text with blanks).
std::vector<std::string> Tokenize(const std::string &line) {
    std::vector<std::string> tokens;
    std::size_t at = 0;
    while (true) {
        at = line.find_first_not_of(' ', at);
        if (at == std::string::npos)
            break;
        std::size_t end = line.find(' ', at);
        if (end == std::string::npos)
            end = line.size();
        const std::string token = line.substr(at, end - at);
        at = end == line.size() ? end : end + 1;
        if (token[0] != '|') {
            tokens.push_back(token);
        } else if (token.back() == '|') {
            tokens.push_back(token.size() > 1 ? token.substr(1, token.size() - 2) : "");
        } else {
            tokens.push_back(token.substr(1));
            if (end == line.size())
                break;
            const std::size_t piece = line.find_first_not_of('|', at);
            if (piece == std::string::npos)
                break;
            std::size_t pieceEnd = line.find('|', piece);
            if (pieceEnd == std::string::npos)
                pieceEnd = line.size();
            tokens.back() += " " + line.substr(piece, pieceEnd - piece);
            at = pieceEnd == line.size() ? pieceEnd : pieceEnd + 1;
        }
    }
    return tokens;
}

std::string StripLineEnd(std::string line) {
    for (int i = 0; i < 2 && line.size() > 2 && (line.back() == '\n' || line.back() == '\r'); ++i)
        line.pop_back();
    return line;
}

} // namespace

CommandKind ClassifyCommand(const std::vector<std::string> &arguments) {
    const std::vector<std::string> keys = KeysOf(arguments);
    if (NamesOtherMode(keys))
        return CommandKind::Other;
    const bool setsTagsInPlace = HasAny(keys, {"-SETID"}) && !HasAny(keys, {"-O"});
    if (setsTagsInPlace)
        return CommandKind::Other;
    if (HasAny(keys, {"-BATCH"}))
        return keys.size() == 1 ? CommandKind::Batch : CommandKind::BatchAsIs;
    if (HasAny(keys, {"-SETID", "-STREAM", "-DEBUG"}))
        return CommandKind::ConvertAsIs;
    return CommandKind::Convert;
}

bool IsConversion(CommandKind kind) {
    return kind != CommandKind::Other;
}

std::vector<std::string> SplitJobLine(const std::string &line) {
    std::vector<std::string> items;
    bool haveKey = false;
    std::optional<std::string> pending;
    for (const std::string &token : Tokenize(StripLineEnd(line))) {
        if (token.empty())
            break;
        if (token[0] == '-') {
            if (haveKey && pending)
                items.push_back(*pending);
            pending.reset();
            haveKey = true;
            items.push_back(token);
        } else if (!haveKey) {
            break;
        } else {
            pending = token;
        }
    }
    if (pending)
        items.push_back(*pending);
    return items;
}

std::optional<std::string> KeyArgument(const std::vector<std::string> &items, const char *key) {
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (Upper(items[i]) != key)
            continue;
        if (i + 1 < items.size() && !items[i + 1].empty() && items[i + 1][0] != '-')
            return items[i + 1];
        return std::nullopt;
    }
    return std::nullopt;
}

bool IsConversionLine(const std::vector<std::string> &items) {
    std::vector<std::string> keys;
    for (const std::string &item : items) {
        if (!item.empty() && item[0] == '-')
            keys.push_back(Upper(item));
    }
    return !NamesOtherMode(keys) && !HasAny(keys, {"-BATCH", "-STREAM"}) &&
           KeyArgument(items, "-I") && KeyArgument(items, "-O");
}

bool HasCoreExtension(const std::string &name) {
    const std::size_t first = name.find_first_not_of(' ');
    if (first == std::string::npos)
        return false;
    const std::size_t last = name.find_last_not_of(' ');
    if (last - first + 1 < 2)
        return false;
    const std::size_t dot = name.rfind('.', last);
    return dot != std::string::npos && dot > first && dot != last;
}

std::string CompleteOutputName(const std::string &output, const std::string &encoderExtension) {
    if (HasCoreExtension(output))
        return output;
    if (encoderExtension.empty() || output.empty() || IsSeparator(output.back()) ||
        output.find_first_of("*?") != std::string::npos)
        return std::string();
    return output + "." + encoderExtension;
}

std::vector<std::string> FindBatchFiles(const std::string &name) {
    std::string pattern = name;
    if (!HasCoreExtension(pattern)) {
        if (!pattern.empty() && IsSeparator(pattern.back()))
            pattern += std::string(1, platform::kPathSeparator) + "*";
        pattern += kBatchExtension;
    }
    const std::size_t folderEnd = name.rfind(platform::kPathSeparator);
    const std::string folder = folderEnd == std::string::npos ? "" : name.substr(0, folderEnd + 1);
    std::vector<platform::FindEntry> entries;
    std::vector<std::string> files;
    if (!platform::FindFiles(pattern, entries))
        return files;
    for (const platform::FindEntry &entry : entries) {
        if (!entry.isFolder)
            files.push_back(folder + entry.name);
    }
    return files;
}

std::string BatchName(const std::vector<std::string> &arguments) {
    std::string name;
    bool afterKey = false;
    for (const std::string &argument : arguments) {
        if (!afterKey) {
            afterKey = Upper(argument) == "-BATCH";
            continue;
        }
        if (!name.empty())
            name += ' ';
        name += argument;
    }
    name.erase(std::remove(name.begin(), name.end(), '"'), name.end());
    return name;
}

bool ReadJobLines(const std::string &file, std::vector<std::string> &lines) {
    std::FILE *in = std::fopen(file.c_str(), "r");
    if (!in)
        return false;
    std::string line;
    int c;
    auto finishLine = [&]() {
        if (line.find('\0') != std::string::npos)
            line.resize(line.find('\0'));
        if (line.size() >= kShortestJobLine)
            lines.push_back(StripLineEnd(line));
        line.clear();
    };
    while ((c = std::getc(in)) != EOF) {
        line.push_back(static_cast<char>(c));
        if (c == '\n')
            finishLine();
    }
    if (!line.empty())
        finishLine();
    std::fclose(in);
    return true;
}
