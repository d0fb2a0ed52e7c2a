// What the plug-in holds of one tag version between calls: the fields under TagLib's common
// property names (so that the same map serves ID3v2, Vorbis comments and ID3v1) and, for v2.x,
// the embedded pictures.
#pragma once

#include <string>
#include <vector>

#include <taglib/tbytevector.h>
#include <taglib/tpropertymap.h>
#include <taglib/tstring.h>

#include "setid_text.h"

namespace idtagger {

struct Picture {
    TagLib::String mimeType;
    int type = 0; // the ID3v2/FLAC picture type: 3 is the front cover
    TagLib::String description;
    TagLib::ByteVector data;
    int width = 0;
    int height = 0;
    int colorDepth = 0;
    int numColors = 0;
};

struct TagContent {
    bool present = false;      // there is a tag of this version to write
    bool replaceWhole = false; // writing replaces the file's tag instead of updating it
    TagLib::PropertyMap fields;
    std::vector<Picture> pictures;
};

// The text of a field, several values joined by "; "; empty when it has none.
std::string FieldText(const TagContent &content, int field);

// The fields with a field's other names (Vorbis DESCRIPTION, YEAR) moved to its first name when
// that is missing, so that ID3v2 gets them as its comment and year frames.
TagLib::PropertyMap WithFirstNames(const TagLib::PropertyMap &fields);

// Only the fields ID v1.1 can hold, one value each.
TagLib::PropertyMap V1Fields(const TagLib::PropertyMap &fields);

// Copies `from` into `to` as the other version: the whole content for v1.1 to v2.x, the v1.1
// fields for v2.x to v1.1.
void CopyContent(const TagContent &from, TagContent &to, bool toV1);

// Applies a -SETID request to one version's content; in safe mode the fields already held stay.
void ApplyRequest(const SetIdRequest &request, bool safe, bool isV1, TagContent &content);

// Texts from the command line are UTF-8; a text that is not is taken as Latin-1.
TagLib::String TextFromCommandLine(const std::string &text);

} // namespace idtagger
