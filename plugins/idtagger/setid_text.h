// Reading the -SETID text: "<id version>: <FIELD=value> [<FIELD=value> ...]".
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace idtagger {

struct SetIdField {
    int field; // a TagField
    std::string value;
};

struct SetIdRequest {
    bool v1 = false;
    bool v2 = false;
    std::vector<SetIdField> fields;
};

// The request, or nothing when the text is malformed: no or an unknown id version, a word that
// names a field without "=", an unknown FIELD=, a field given twice, ORIG or URLC for v1.1 only,
// text before the first field, or no field at all. A value runs up to the blank before the next
// FIELD= word and keeps its inner blanks; an empty value clears the field.
std::optional<SetIdRequest> ParseSetIdText(std::string_view text);

} // namespace idtagger
