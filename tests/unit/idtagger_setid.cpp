// The -SETID text as the tag plug-in reads it: versions, FIELD=value words, values with blanks,
// and every malformed form refused as a whole.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "plugins/idtagger/setid_text.h"
#include "plugins/idtagger/tag_fields.h"

using namespace idtagger;

namespace {

std::string Describe(const SetIdRequest &request) {
    std::string text = std::string(request.v1 ? "v1" : "") + (request.v2 ? "v2" : "") + ":";
    for (const SetIdField &field : request.fields)
        text += " " + std::to_string(field.field) + "=[" + field.value + "]";
    return text;
}

TEST(SetIdText, AcceptedTextsGiveVersionsAndFields) {
    struct Case {
        const char *text;
        const char *parsed;
    };
    const Case cases[] = {
        {"idv2: TITL=Blue Moon AUTH=Some One", "v2: 0=[Blue Moon] 1=[Some One]"},
        {" idv1: TITL=x", "v1: 0=[x]"}, // safe mode leaves the blank after the safe word
        {"id: ORIG=Lead URLC=http://a.b/c?d=e", "v1v2: 3=[Lead] 12=[http://a.b/c?d=e]"},
        {"IDV2:TITL=x", "v2: 0=[x]"},
        {"idv2 : ALBM=A  B   YEAR=1999", "v2: 2=[A  B] 4=[1999]"},
        {"idv2: COMT= GENR=Rock", "v2: 5=[] 6=[Rock]"},
        {"idv2: TITL=", "v2: 0=[]"},
        {"idv2: TITL=a=b c: d", "v2: 0=[a=b c: d]"},
        {"idv2: TITL=the auth=x titl", "v2: 0=[the auth=x titl]"},
        {"idv2: TRCK=3/12 COMT=Take TWO", "v2: 8=[3/12] 5=[Take TWO]"},
        {"idv1: TITL=Caf\xc3\xa9", "v1: 0=[Caf\xc3\xa9]"},
    };
    for (const Case &c : cases) {
        const auto request = ParseSetIdText(c.text);
        ASSERT_TRUE(request.has_value()) << c.text;
        EXPECT_EQ(Describe(*request), c.parsed) << c.text;
    }
}

TEST(SetIdText, MalformedTextsAreRefused) {
    const char *const cases[] = {
        "",                           // nothing
        "TITL=x",                     // no version
        "idv3: TITL=x",               // unknown version
        "id v2: TITL=x",              // version with a blank
        ": TITL=x",                   // empty version
        "idv2:",                      // no field
        "idv2:    ",                  // only blanks
        "idv2: hello TITL=x",         // text before the first field
        "idv2: TITL x",               // field without "="
        "idv2: TITL=x AUTH",          // field without "=" at the end
        "idv2: TITL=x ARTI=y",        // unknown field
        "idv2: titl=x",               // field names are upper case
        "idv2: TITL=x TITL=y",        // a field twice
        "idv1: ORIG=x",               // v2.x only
        "idv1: TITL=x URLC=http://a", // v2.x only, after an allowed field
    };
    for (const char *text : cases)
        EXPECT_FALSE(ParseSetIdText(text).has_value()) << "[" << text << "]";
}

} // namespace
