// The audio files the plug-in tags, read and written through TagLib.
#pragma once

#include <string>

#include "kernova/tagger.h"
#include "tag_content.h"

namespace idtagger {

// GetTagFileType's numbers. The core relies on the thresholds that kernova/tagger.h names:
// above TAG_FILE_MPEG, the file's v2.x tag is always written; above
// TAG_FILE_LAST_WITH_OWN_V1, the file has no ID v1.1 tag of its own, so its native tag may
// take its content from a v1.1 source. 2 to 5 stay free for formats that carry ID v1.1 beside
// a native tag of their own.
enum TagFileType {
    kTypeNone = TAG_FILE_NONE, // cannot carry tags: unknown type, not audio, missing or unreadable
    kTypeMpeg = TAG_FILE_MPEG, // MPEG audio: ID3v1.1 at the end, ID3v2 at the start
    kTypeWav = 6,              // WAV: ID3v2 in an "id3 " chunk, mirrored into the LIST INFO chunk
    kTypeAiff = 7,             // AIFF/AIFF-C: ID3v2 in an "ID3 " chunk
    kTypeFlac = 8,             // FLAC: Vorbis comment and picture blocks
    kTypeOggVorbis = 9,        // Ogg Vorbis: Vorbis comment with METADATA_BLOCK_PICTURE
    kTypeOggOpus = 10,         // Ogg Opus: OpusTags, the same comment form
    kTypeMp4 = 11,             // MPEG-4 audio (.m4a, AAC or ALAC): iTunes atoms, cover in "covr"
    kTypeWavPack = 12,         // WavPack: APEv2 at the end, pictures as "Cover Art (...)" items
    kTypeApe = 13,             // Monkey's Audio: APEv2, as WavPack
    kTypeMusepack = 14,        // Musepack: APEv2, as WavPack
    kTypeAsf = 15,             // Windows Media Audio (ASF): attributes, pictures in "WM/Picture"
};

inline bool HasOwnV1(int type) {
    return type == kTypeMpeg;
}

int DetectTagFileType(const std::string &path);

struct FileTags {
    bool hasV1 = false; // the file holds an ID3v1 tag
    bool hasV2 = false; // it holds an ID3v2 tag, or a native comment with at least one field
    TagContent v1;
    TagContent v2;
};

// Reads the tags of a file of the given type; false when it cannot be opened as that type.
bool ReadTagFile(const std::string &path, int type, FileTags &tags);

// What to write: null leaves that tag of the file as it is. For a file without an ID v1.1 tag
// of its own only v2 (its native tag) is used.
struct WritePlan {
    const TagContent *v1 = nullptr;
    const TagContent *v2 = nullptr;
};

// Writes through a copy of the file, so a failure of any kind leaves the file unchanged.
bool WriteTagFile(const std::string &path, int type, const WritePlan &plan);

} // namespace idtagger
