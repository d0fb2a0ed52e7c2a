#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "support/All_Func.h"

namespace {

// A text variable that is released when the test case ends.
struct Text {
    char *value = nullptr;
    explicit Text(const char *initial = nullptr) { AssignString(initial, &value); }
    ~Text() { FreeString(&value); }
    Text(const Text &) = delete;
    Text &operator=(const Text &) = delete;
};

// Null is shown as "<null>" so that a null and an empty result differ in messages.
std::string Show(const char *text) {
    return text == nullptr ? "<null>" : "\"" + std::string(text) + "\"";
}

TEST(AssignString, ReplacesTheVariable) {
    struct Case {
        const char *what;
        const char *initial;
        const char *source;
        const char *expected;
        int length;
    } cases[] = {
        {"null source clears", "abc", nullptr, nullptr, 0},
        {"empty source gives an empty string, not null", "abc", "", "", 0},
        {"copy into a null variable", nullptr, "xyz", "xyz", 3},
        {"replace a longer string", "abcdef", "ab", "ab", 2},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Text variable(c.initial);
        int length = AssignString(c.source, &variable.value);
        EXPECT_EQ(Show(variable.value), Show(c.expected));
        EXPECT_EQ(length, c.length);
        if (c.source != nullptr) {
            EXPECT_NE(variable.value, c.source);
        }
    }
}

TEST(AssignString, CopiesTheVariablesOwnString) {
    Text variable("self");
    AssignString(variable.value, &variable.value);
    EXPECT_EQ(Show(variable.value), Show("self"));
}

TEST(AssignString, NullVariableAddressIsIgnored) {
    EXPECT_EQ(AssignString("x", nullptr), 0);
}

TEST(AddStr, AppendsToTheVariable) {
    struct Case {
        const char *what;
        const char *initial;
        const char *text;
        const char *expected;
    } cases[] = {
        {"x onto null", nullptr, "x", "x"},
        {"null onto ab", "ab", nullptr, "ab"},
        {"null onto empty clears", "", nullptr, nullptr},
        {"x onto empty", "", "x", "x"},
        {"cd onto ab", "ab", "cd", "abcd"},
        {"empty onto ab", "ab", "", "ab"},
        {"null onto null", nullptr, nullptr, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Text variable(c.initial);
        AddStr(&variable.value, c.text);
        EXPECT_EQ(Show(variable.value), Show(c.expected));
    }
}

TEST(AddStr, AppendsTheVariablesOwnString) {
    Text variable("ab");
    AddStr(&variable.value, variable.value);
    EXPECT_EQ(Show(variable.value), Show("abab"));
}

TEST(GetTrim, RemovesOuterBlanksOnly) {
    struct Case {
        const char *what;
        const char *initial;
        const char *expected;
        int length;
    } cases[] = {
        {"blanks around a b", "  a b  ", "a b", 3}, {"single letter", "a", "a", 1},
        {"only blanks", "   ", nullptr, 0},         {"empty string", "", nullptr, 0},
        {"null variable", nullptr, nullptr, 0},     {"leading tab kept", "\tx", "\tx", 2},
        {"line end kept", " x\n ", "x\n", 2},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Text variable(c.initial);
        EXPECT_EQ(GetTrim(&variable.value), c.length);
        EXPECT_EQ(Show(variable.value), Show(c.expected));
    }
}

TEST(AddSlash, EndsTheCopyWithOneSeparator) {
    struct Case {
        const char *what;
        const char *text;
        const char *expected;
    } cases[] = {
        {"folder without separator", "/dir", "/dir/"},
        {"folder with separator", "/dir/", "/dir/"},
        {"empty text", "", "/"},
        {"root", "/", "/"},
        {"relative folder", "music", "music/"},
        {"null", nullptr, nullptr},
    };
    // The cases are written with '/'; the routine uses the system's separator.
    auto native = [](const char *text) {
        std::string converted = text ? text : "";
        std::replace(converted.begin(), converted.end(), '/', platform::kPathSeparator);
        return converted;
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const std::string text = native(c.text);
        const std::string expected = native(c.expected);
        Text result;
        result.value = AddSlash(c.text ? text.c_str() : nullptr);
        EXPECT_EQ(Show(result.value), Show(c.expected ? expected.c_str() : nullptr));
        if (c.text != nullptr) {
            EXPECT_NE(result.value, text.c_str());
        }
    }
}

TEST(FreeString, ClearsTheVariable) {
    Text variable("abc");
    FreeString(&variable.value);
    EXPECT_EQ(variable.value, nullptr);
    FreeString(&variable.value);
    FreeString(nullptr);
    EXPECT_EQ(variable.value, nullptr);
}

} // namespace
