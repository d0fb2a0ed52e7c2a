// The tag fields the core asks for by number, and the names the -SETID text gives them.
#pragma once

#include "kernova/tagger.h"

namespace idtagger {

// Field numbers of GetTagField; the numbers between are not used.
enum TagField {
    kFieldTitle = TAG_FIELD_TITLE,
    kFieldArtist = TAG_FIELD_ARTIST,
    kFieldAlbum = TAG_FIELD_ALBUM,
    kFieldOriginalArtist = TAG_FIELD_ORIGINAL_ARTIST,
    kFieldYear = TAG_FIELD_YEAR,
    kFieldComment = TAG_FIELD_COMMENT,
    kFieldGenre = TAG_FIELD_GENRE,
    kFieldTrack = TAG_FIELD_TRACK,
    kFieldUrl = TAG_FIELD_URL,
};

// ID v1.1 has no room for these two.
inline bool IsV2OnlyField(int field) {
    return field == kFieldOriginalArtist || field == kFieldUrl;
}

} // namespace idtagger
