// The file-name matching rule of FindFiles, shared by every build: pure logic, no system calls.
#include "platform/platform.h"

#include <cstring>

namespace platform {

namespace {

char LowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// '*' matches any run of characters, '?' exactly one; letters compare without case.
// Backtracking only to the last star keeps the cost at most name length times mask length.
bool MatchesGlob(const char *name, const char *mask, size_t maskLength) {
    size_t n = 0, m = 0;
    size_t starMask = std::string::npos, starName = 0;
    size_t nameLength = std::strlen(name);
    while (n < nameLength) {
        if (m < maskLength && mask[m] == '*') {
            starMask = m++;
            starName = n;
        } else if (m < maskLength &&
                   (mask[m] == '?' || LowerAscii(mask[m]) == LowerAscii(name[n]))) {
            ++m;
            ++n;
        } else if (starMask != std::string::npos) {
            m = starMask + 1;
            n = ++starName;
        } else {
            return false;
        }
    }
    while (m < maskLength && mask[m] == '*')
        ++m;
    return m == maskLength;
}

} // namespace

bool MatchesMask(const char *name, const char *mask) {
    if (name == nullptr || mask == nullptr)
        return false;
    size_t maskLength = std::strlen(mask);
    if (MatchesGlob(name, mask, maskLength))
        return true;
    // A final ".*" also matches a name without that dot, so "*.*" matches every name.
    return maskLength >= 2 && std::strcmp(mask + maskLength - 2, ".*") == 0 &&
           MatchesGlob(name, mask, maskLength - 2);
}

} // namespace platform
