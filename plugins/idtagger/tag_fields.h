// The tag fields the core asks for by number, and the names the -SETID text gives them.
#pragma once

namespace idtagger {

// Field numbers of GetTagField; the numbers between are not used.
enum TagField {
    kFieldTitle = 0,
    kFieldArtist = 1,
    kFieldAlbum = 2,
    kFieldOriginalArtist = 3,
    kFieldYear = 4,
    kFieldComment = 5,
    kFieldGenre = 6,
    kFieldTrack = 8,
    kFieldUrl = 12,
};

// ID v1.1 has no room for these two.
inline bool IsV2OnlyField(int field) {
    return field == kFieldOriginalArtist || field == kFieldUrl;
}

} // namespace idtagger
