// The key table and the two checks: messages byte for byte, onUnknownKey calls, -ENC AUTO.
#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "cmdline/ArgList.h"
#include "cmdline/keys.h"
#include "core/core.h"

namespace {

int unknownKeyCalls = 0;
void CountUnknownKey() {
    ++unknownKeyCalls;
}

using Strings = std::vector<std::string>;

const char kUnknown[] = "ERROR: unknown key ";
const char kIncompatible[] = "ERROR: non compatible keys used. Please read manual.\n\n";
const char kMissing[] = "ERROR: missing important keys\n\n";

void Fill(ArgList *list, const Strings &elements) {
    for (const std::string &e : elements)
        list->Add(e.c_str());
}

Strings Elements(const ArgList &list) {
    Strings elements;
    for (int i = 0; i < list.count; ++i)
        elements.push_back(list.items[i]);
    return elements;
}

class KeysTest : public testing::Test {
  protected:
    void SetUp() override {
        GetHostTable().onUnknownKey = CountUnknownKey;
        unknownKeyCalls = 0;
    }
};

TEST_F(KeysTest, TableHoldsEveryKeyInOrder) {
    struct Entry {
        const char *name;
        const char *separator;
        int takesArgument;
        int required;
        int helpTopic;
    };
    const Entry expected[kKeyCount] = {
        {"-DELSOURCE", nullptr, 0, 0, 1},
        {"-RECURSIVE", nullptr, 1, 0, 2},
        {"-RESUME", nullptr, 0, 0, 100},
        {"-I", "\"", 1, 1, 0},
        {"-O", "\"", 1, 1, 0},
        {"-BATCH", "\"", 1, 1, 3},
        {"-CREATEBATCH", "\"", 1, 1, 4},
        {"-ENC", nullptr, 1, 1, 5},
        {"-ENCPARAM", nullptr, 1, 0, 6},
        {"-DECPARAM", nullptr, 1, 0, 16},
        {"-TESTENC", nullptr, 0, 0, 7},
        {"-LISTENC", nullptr, 0, 0, 8},
        {"-HELPENC", nullptr, 1, 1, 9},
        {"-LISTDEC", nullptr, 0, 0, 8},
        {"-COPYID", nullptr, 1, 0, 10},
        {"-SETID", nullptr, 1, 1, 11},
        {"-SHOWID", nullptr, 0, 0, 12},
        {"-HELP", nullptr, 1, 0, 100},
        {"-LISTDSP", nullptr, 1, 1, 100},
        {"-DSP", nullptr, 1, 1, 100},
        {"-DSPPARAM", ":", 1, 0, 100},
        {"-HELPDSP", nullptr, 1, 1, 100},
        {"-DEBUG", nullptr, 0, 0, 100},
        {"-CPU", nullptr, 1, 1, 13},
        {"-FIXFREQ", nullptr, 1, 1, 14},
        {"-PLAY", nullptr, 0, 0, 15},
        {"-STREAM", nullptr, 0, 0, 100},
        {"-DEC", nullptr, 1, 1, 17},
        {"-PREVIEW", nullptr, 1, 1, 18},
        {"-WINAMP", nullptr, 1, 1, 19},
        {"-OVERWRITE", nullptr, 1, 1, 100},
    };
    for (int i = 0; i < kKeyCount; ++i) {
        const KeyEntry &entry = kKeyTable[i];
        const Entry &want = expected[i];
        EXPECT_STREQ(entry.name, want.name) << i;
        EXPECT_STREQ(entry.separator, want.separator) << want.name;
        EXPECT_EQ(entry.takesArgument, want.takesArgument) << want.name;
        EXPECT_EQ(entry.argumentRequired, want.required) << want.name;
        EXPECT_EQ(entry.helpTopic, want.helpTopic) << want.name;
    }
}

TEST_F(KeysTest, FindKeyComparesInUpperCase) {
    for (int i = 0; i < kKeyCount; ++i) {
        std::string lower = kKeyTable[i].name;
        for (char &c : lower)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        EXPECT_EQ(FindKey(kKeyTable[i].name), i);
        EXPECT_EQ(FindKey(lower.c_str()), i);
    }
    for (const char *text : {"-ENCX", "ENC", "-", "", "-I ", "-\xe9NC"})
        EXPECT_EQ(FindKey(text), kUnknownKey) << text;
    EXPECT_EQ(FindKey(nullptr), kUnknownKey);
}

struct ArgumentCase {
    const char *name;
    Strings elements;
    int result;
    std::string output;
    int unknownKeyCalls;
};

TEST_F(KeysTest, CheckKeyArgumentsReportsEachFault) {
    const ArgumentCase cases[] = {
        {"empty list", {}, 0, "", 0},
        {"argument first", {"a"}, 0, "", 0},
        {"stray second argument", {"-I", "a", "b", "-CPU"}, 0, "", 0},
        {"missing required", {"-CPU"}, 0, "ERROR: missing argument for key -CPU\n\n", 0},
        {"key as typed", {"-cpu", "-LISTENC"}, 0, "ERROR: missing argument for key -cpu\n\n", 0},
        {"optional argument absent", {"-HELP", "-ENCPARAM", "-COPYID", "-RECURSIVE"}, 1, "", 0},
        {"argument not taken",
         {"-DEBUG", "yes"},
         0,
         "ERROR: key -DEBUG must to be used without argument\n\n",
         0},
        {"walk goes on after a fault",
         {"-DEBUG", "yes", "-CPU"},
         0,
         "ERROR: key -DEBUG must to be used without argument\n\n"
         "ERROR: missing argument for key -CPU\n\n",
         0},
        {"unknown key stops the walk", {"-XYZ", "-CPU"}, 0, std::string(kUnknown) + "-XYZ\n\n", 1},
        {"unknown key after a fault",
         {"-CPU", "-Xyz", "a"},
         0,
         "ERROR: missing argument for key -CPU\n\n" + std::string(kUnknown) + "-Xyz\n\n",
         1},
        {"recursive copy in any case", {"-RECURSIVE", "Copy"}, 1, "", 0},
        {"recursive followed by a key", {"-RECURSIVE", "-I", "a"}, 1, "", 0},
        {"recursive wrong word",
         {"-recursive", "all"},
         0,
         "ERROR: wrong parameter for key -RECURSIVE.\n\n",
         0},
        {"recursive checked after an unknown key",
         {"-XYZ", "-RECURSIVE", "all"},
         0,
         std::string(kUnknown) + "-XYZ\n\nERROR: wrong parameter for key -RECURSIVE.\n\n",
         1},
        {"overwrite needs an argument",
         {"-OVERWRITE"},
         0,
         "ERROR: missing argument for key -OVERWRITE\n\n",
         0},
        {"overwrite with an argument", {"-OVERWRITE", "yes"}, 1, "", 0},
    };
    for (const ArgumentCase &c : cases) {
        unknownKeyCalls = 0;
        ArgList list;
        Fill(&list, c.elements);
        testing::internal::CaptureStdout();
        int result = CheckKeyArguments(&list);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.output) << c.name;
        EXPECT_EQ(result, c.result) << c.name;
        EXPECT_EQ(unknownKeyCalls, c.unknownKeyCalls) << c.name;
        EXPECT_EQ(Elements(list), c.elements) << c.name << ": the check changes no element";
    }
}

struct CombinationCase {
    const char *name;
    Strings elements;
    int result;
    std::string output;
    bool autoEncoder; // "-ENC" "AUTO" appended
};

TEST_F(KeysTest, CheckKeyCombinationDemandsWhatEachModeNeeds) {
    const std::string missingTwice = std::string(kMissing) + kMissing;
    const CombinationCase cases[] = {
        {"lower-case conversion", {"-i", "a.wav", "-o", "b.mp3"}, 1, "", true},
        {"conversion with encoder", {"-I", "a", "-O", "b", "-ENC", "X"}, 1, "", false},
        {"input alone", {"-I", "a.wav"}, 0, missingTwice, true},
        {"encoder without output", {"-ENC", "X", "-I", "a"}, 0, kMissing, false},
        {"listing alone", {"-LISTENC"}, 1, "", false},
        {"listing with input", {"-LISTENC", "-I", "a.wav"}, 0, kIncompatible, false},
        {"help with output", {"-HELP", "-O", "x"}, 0, kIncompatible, false},
        {"run batch", {"-BATCH", "x.xfb"}, 1, "", false},
        {"show tags", {"-SHOWID", "-I", "a"}, 1, "", false},
        {"show tags without input", {"-SHOWID"}, 0, std::string(kIncompatible) + kMissing, true},
        {"show tags with output", {"-SHOWID", "-I", "a", "-O", "x"}, 0, kIncompatible, false},
        {"play with encoder", {"-PLAY", "-I", "a", "-ENC", "X"}, 0, kIncompatible, false},
        {"set tags in place", {"-SETID", "t", "-I", "a"}, 1, "", false},
        {"set tags without input", {"-SETID", "t", "-O", "b"}, 0, kMissing, false},
        {"set tags alone", {"-SETID", "t"}, 0, missingTwice, true},
        {"set tags with a conversion", {"-SETID", "t", "-I", "a", "-O", "b"}, 1, "", true},
        {"set tags, conversion, encoder",
         {"-SETID", "t", "-I", "a", "-O", "b", "-ENC", "X"},
         1,
         "",
         false},
        {"test encoder", {"-TESTENC", "-I", "a", "-O", "d/"}, 1, "", true},
        {"create batch", {"-CREATEBATCH", "j", "-I", "a", "-O", "c"}, 1, "", true},
        {"nothing but options", {"-DEBUG"}, 0, missingTwice, true},
    };
    for (const CombinationCase &c : cases) {
        ArgList list;
        Fill(&list, c.elements);
        testing::internal::CaptureStdout();
        int result = CheckKeyCombination(&list);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.output) << c.name;
        EXPECT_EQ(result, c.result) << c.name;
        Strings expected = c.elements;
        if (c.autoEncoder) {
            expected.push_back("-ENC");
            expected.push_back("AUTO");
        }
        EXPECT_EQ(Elements(list), expected) << c.name;
    }
    EXPECT_EQ(unknownKeyCalls, 0);
}

TEST_F(KeysTest, NotifyUnknownKeyCallsTheHostOnlyWithoutAKey) {
    NotifyUnknownKey("-XYZ");
    EXPECT_EQ(unknownKeyCalls, 0);
    NotifyUnknownKey(nullptr);
    EXPECT_EQ(unknownKeyCalls, 1);
}

} // namespace
