#include "tag_files.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <initializer_list>
#include <system_error>
#include <vector>

#include <taglib/aifffile.h>
#include <taglib/apefile.h>
#include <taglib/apeitem.h>
#include <taglib/apetag.h>
#include <taglib/asffile.h>
#include <taglib/asfpicture.h>
#include <taglib/asftag.h>
#include <taglib/attachedpictureframe.h>
#include <taglib/flacfile.h>
#include <taglib/flacpicture.h>
#include <taglib/id3v1tag.h>
#include <taglib/id3v2framefactory.h>
#include <taglib/id3v2header.h>
#include <taglib/id3v2tag.h>
#include <taglib/infotag.h>
#include <taglib/mp4coverart.h>
#include <taglib/mp4file.h>
#include <taglib/mp4tag.h>
#include <taglib/mpcfile.h>
#include <taglib/mpegfile.h>
#include <taglib/opusfile.h>
#include <taglib/tfilestream.h>
#include <taglib/vorbisfile.h>
#include <taglib/wavfile.h>
#include <taglib/wavpackfile.h>
#include <taglib/xiphcomment.h>

#include "checked_stream.h"
#include "file_replace.h"

namespace idtagger {

namespace {

using TagLib::ID3v2::AttachedPictureFrame;

constexpr int kLastPictureType = AttachedPictureFrame::PublisherLogo;

struct ExtensionType {
    const char *extension;
    int type;
};

// Ogg names stand for Vorbis or Opus; the content decides.
constexpr ExtensionType kExtensionTypes[] = {
    {".mp3", kTypeMpeg},      {".mp2", kTypeMpeg},       {".mp1", kTypeMpeg},
    {".mpga", kTypeMpeg},     {".wav", kTypeWav},        {".wave", kTypeWav},
    {".aif", kTypeAiff},      {".aiff", kTypeAiff},      {".aifc", kTypeAiff},
    {".flac", kTypeFlac},     {".fla", kTypeFlac},       {".ogg", kTypeOggVorbis},
    {".oga", kTypeOggVorbis}, {".opus", kTypeOggVorbis}, {".m4a", kTypeMp4},
    {".m4b", kTypeMp4},       {".mp4", kTypeMp4},        {".wv", kTypeWavPack},
    {".ape", kTypeApe},       {".mpc", kTypeMusepack},   {".mpp", kTypeMusepack},
    {".mp+", kTypeMusepack},  {".wma", kTypeAsf},        {".asf", kTypeAsf},
};

int TypeForExtension(const std::string &path) {
    std::string extension = std::filesystem::path(path).extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    for (const ExtensionType &entry : kExtensionTypes) {
        if (extension == entry.extension)
            return entry.type;
    }
    return kTypeNone;
}

TagLib::ID3v2::FrameFactory *Frames() {
    return TagLib::ID3v2::FrameFactory::instance();
}

// A text with the right name but no MPEG frame in it is no MPEG file.
bool IsMpegAudio(TagLib::IOStream &stream) {
    TagLib::MPEG::File file(&stream, Frames(), false);
    return file.isValid() && file.firstFrameOffset() >= 0;
}

// TagLib's RIFF reader takes any file as a RIFF file; the container's own name must be there.
bool HasContainerHeader(TagLib::IOStream &stream, const char *container,
                        std::initializer_list<const char *> forms) {
    stream.seek(0);
    const TagLib::ByteVector header = stream.readBlock(12);
    stream.seek(0);
    if (header.size() != 12 || !header.startsWith(container))
        return false;
    return std::any_of(forms.begin(), forms.end(),
                       [&](const char *form) { return header.containsAt(form, 8); });
}

template <typename File> bool IsValidAs(TagLib::IOStream &stream) {
    return File(&stream, false).isValid();
}

int CheckContent(TagLib::IOStream &stream, int type) {
    switch (type) {
    case kTypeMpeg:
        return IsMpegAudio(stream) ? type : kTypeNone;
    case kTypeWav:
        return HasContainerHeader(stream, "RIFF", {"WAVE"}) &&
                       IsValidAs<TagLib::RIFF::WAV::File>(stream)
                   ? type
                   : kTypeNone;
    case kTypeAiff:
        return HasContainerHeader(stream, "FORM", {"AIFF", "AIFC"}) &&
                       IsValidAs<TagLib::RIFF::AIFF::File>(stream)
                   ? type
                   : kTypeNone;
    case kTypeFlac:
        return TagLib::FLAC::File(&stream, Frames(), false).isValid() ? type : kTypeNone;
    case kTypeOggVorbis:
        if (IsValidAs<TagLib::Ogg::Vorbis::File>(stream))
            return kTypeOggVorbis;
        return IsValidAs<TagLib::Ogg::Opus::File>(stream) ? kTypeOggOpus : kTypeNone;
    case kTypeMp4:
        return IsValidAs<TagLib::MP4::File>(stream) ? type : kTypeNone;
    case kTypeWavPack:
        return IsValidAs<TagLib::WavPack::File>(stream) ? type : kTypeNone;
    case kTypeApe:
        return IsValidAs<TagLib::APE::File>(stream) ? type : kTypeNone;
    case kTypeMusepack:
        return IsValidAs<TagLib::MPC::File>(stream) ? type : kTypeNone;
    case kTypeAsf:
        return IsValidAs<TagLib::ASF::File>(stream) ? type : kTypeNone;
    default:
        return kTypeNone;
    }
}

Picture PictureFrom(const AttachedPictureFrame &frame) {
    Picture picture;
    picture.mimeType = frame.mimeType();
    picture.type = static_cast<int>(frame.type());
    picture.description = frame.description();
    picture.data = frame.picture();
    return picture;
}

Picture PictureFrom(const TagLib::FLAC::Picture &block) {
    Picture picture;
    picture.mimeType = block.mimeType();
    picture.type = static_cast<int>(block.type());
    picture.description = block.description();
    picture.data = block.data();
    picture.width = block.width();
    picture.height = block.height();
    picture.colorDepth = block.colorDepth();
    picture.numColors = block.numColors();
    return picture;
}

int KnownPictureType(int type) {
    return type >= 0 && type <= kLastPictureType ? type : 0;
}

TagLib::FLAC::Picture *NewPictureBlock(const Picture &picture) {
    auto *block = new TagLib::FLAC::Picture;
    block->setMimeType(picture.mimeType);
    block->setType(static_cast<TagLib::FLAC::Picture::Type>(KnownPictureType(picture.type)));
    block->setDescription(picture.description);
    block->setData(picture.data);
    block->setWidth(picture.width);
    block->setHeight(picture.height);
    block->setColorDepth(picture.colorDepth);
    block->setNumColors(picture.numColors);
    return block;
}

// MP4 and APEv2 pictures carry no MIME type: it follows from the image's first bytes.
TagLib::String SniffMimeType(const TagLib::ByteVector &data) {
    if (data.startsWith("\x89PNG"))
        return "image/png";
    if (data.startsWith("GIF8"))
        return "image/gif";
    if (data.startsWith("BM"))
        return "image/bmp";
    return "image/jpeg";
}

TagLib::MP4::CoverArt::Format CoverFormat(const TagLib::String &mimeType) {
    if (mimeType == "image/png")
        return TagLib::MP4::CoverArt::PNG;
    if (mimeType == "image/gif")
        return TagLib::MP4::CoverArt::GIF;
    if (mimeType == "image/bmp")
        return TagLib::MP4::CoverArt::BMP;
    return TagLib::MP4::CoverArt::JPEG;
}

// The APEv2 item names of the picture types, in the ID3v2 order of the types.
constexpr const char *kApePictureKeys[kLastPictureType + 1] = {
    "Cover Art (Other)",
    "Cover Art (Png Icon)",
    "Cover Art (Icon)",
    "Cover Art (Front)",
    "Cover Art (Back)",
    "Cover Art (Leaflet)",
    "Cover Art (Media)",
    "Cover Art (Lead Artist)",
    "Cover Art (Artist)",
    "Cover Art (Conductor)",
    "Cover Art (Band)",
    "Cover Art (Composer)",
    "Cover Art (Lyricist)",
    "Cover Art (Recording Location)",
    "Cover Art (During Recording)",
    "Cover Art (During Performance)",
    "Cover Art (Video Capture)",
    "Cover Art (Fish)",
    "Cover Art (Illustration)",
    "Cover Art (Band Logotype)",
    "Cover Art (Publisher Logotype)",
};

// An APEv2 picture names a file before its image, from which readers (FFmpeg among them) take
// the image's type; a picture without a description gets "cover.<type>".
TagLib::String ApePictureName(const Picture &picture) {
    if (!picture.description.isEmpty())
        return picture.description;
    const TagLib::String mime =
        picture.mimeType.isEmpty() ? SniffMimeType(picture.data) : picture.mimeType;
    const int slash = mime.find("/");
    return "cover." + (slash < 0 ? TagLib::String("jpg") : mime.substr(slash + 1));
}

// ---- reading

void ReadV1(const TagLib::ID3v1::Tag *tag, FileTags &tags) {
    tags.hasV1 = true;
    tags.v1.present = true;
    tags.v1.fields = V1Fields(tag->properties());
}

void ReadId3v2(TagLib::ID3v2::Tag *tag, FileTags &tags) {
    tags.hasV2 = true;
    tags.v2.present = true;
    tags.v2.fields = tag->properties();
    for (const TagLib::ID3v2::Frame *frame : tag->frameList("APIC")) {
        if (const auto *picture = dynamic_cast<const AttachedPictureFrame *>(frame))
            tags.v2.pictures.push_back(PictureFrom(*picture));
    }
}

template <typename PictureList> void ReadPictures(PictureList list, TagContent &content) {
    for (const TagLib::FLAC::Picture *block : list)
        content.pictures.push_back(PictureFrom(*block));
}

// A Vorbis comment block always exists in Ogg files; only one with fields counts as a tag.
void ReadXiph(const TagLib::Ogg::XiphComment *comment, FileTags &tags) {
    tags.hasV2 = comment && !comment->fieldListMap().isEmpty();
    if (comment)
        tags.v2.fields = comment->properties();
    tags.v2.present = tags.hasV2 || !tags.v2.pictures.empty();
}

bool ReadMpeg(TagLib::IOStream &stream, FileTags &tags) {
    TagLib::MPEG::File file(&stream, Frames(), false);
    if (file.hasID3v1Tag())
        ReadV1(file.ID3v1Tag(), tags);
    if (file.hasID3v2Tag())
        ReadId3v2(file.ID3v2Tag(), tags);
    return file.isValid();
}

// WAV files written elsewhere often carry only the LIST INFO chunk; one that names just the
// software that wrote the file holds no tag.
bool ReadWav(TagLib::IOStream &stream, FileTags &tags) {
    TagLib::RIFF::WAV::File file(&stream, false);
    if (file.hasID3v2Tag()) {
        ReadId3v2(file.ID3v2Tag(), tags);
    } else if (file.hasInfoTag()) {
        tags.v2.fields = file.InfoTag()->properties();
        tags.hasV2 = tags.v2.present = !tags.v2.fields.isEmpty();
    }
    return file.isValid();
}

bool ReadAiff(TagLib::IOStream &stream, FileTags &tags) {
    TagLib::RIFF::AIFF::File file(&stream, false);
    if (file.hasID3v2Tag())
        ReadId3v2(file.tag(), tags);
    return file.isValid();
}

bool ReadFlac(TagLib::IOStream &stream, FileTags &tags) {
    TagLib::FLAC::File file(&stream, Frames(), false);
    if (file.hasID3v1Tag())
        ReadV1(file.ID3v1Tag(), tags);
    ReadPictures(file.pictureList(), tags.v2);
    ReadXiph(file.xiphComment(), tags);
    return file.isValid();
}

template <typename File> bool ReadOgg(TagLib::IOStream &stream, FileTags &tags) {
    File file(&stream, false);
    if (file.tag())
        ReadPictures(file.tag()->pictureList(), tags.v2);
    ReadXiph(file.tag(), tags);
    return file.isValid();
}

template <typename File> bool ReadFields(File &file, FileTags &tags) {
    if (file.tag())
        tags.v2.fields = file.tag()->properties();
    tags.hasV2 = !tags.v2.fields.isEmpty() || !tags.v2.pictures.empty();
    tags.v2.present = tags.hasV2;
    return file.isValid();
}

bool ReadMp4(TagLib::IOStream &stream, FileTags &tags) {
    TagLib::MP4::File file(&stream, false);
    if (file.tag() && file.tag()->contains("covr")) {
        for (const TagLib::MP4::CoverArt &cover : file.tag()->item("covr").toCoverArtList()) {
            Picture picture;
            picture.type = AttachedPictureFrame::FrontCover;
            picture.data = cover.data();
            picture.mimeType = SniffMimeType(picture.data);
            tags.v2.pictures.push_back(picture);
        }
    }
    return ReadFields(file, tags);
}

// An APEv2 picture item holds the file name or description, a zero byte, then the image.
void ReadApePictures(const TagLib::APE::Tag *tag, TagContent &content) {
    if (!tag)
        return;
    for (int type = 0; type <= kLastPictureType; type++) {
        const TagLib::APE::ItemListMap &items = tag->itemListMap();
        auto found = items.find(TagLib::String(kApePictureKeys[type]).upper());
        if (found == items.end() || found->second.type() != TagLib::APE::Item::Binary)
            continue;
        const TagLib::ByteVector value = found->second.binaryData();
        const int zero = value.find('\0');
        if (zero < 0)
            continue;
        Picture picture;
        picture.type = type;
        picture.data = value.mid(zero + 1);
        picture.mimeType = SniffMimeType(picture.data);
        picture.description = TagLib::String(value.mid(0, zero), TagLib::String::UTF8);
        if (picture.description == ApePictureName(Picture{picture.mimeType, 0, "", picture.data}))
            picture.description = TagLib::String();
        content.pictures.push_back(picture);
    }
}

template <typename File> bool ReadApe(TagLib::IOStream &stream, FileTags &tags) {
    File file(&stream, false);
    ReadApePictures(file.APETag(), tags.v2);
    return ReadFields(file, tags);
}

bool ReadAsf(TagLib::IOStream &stream, FileTags &tags) {
    TagLib::ASF::File file(&stream, false);
    if (file.tag()) {
        for (const TagLib::ASF::Attribute &attribute : file.tag()->attribute("WM/Picture")) {
            const TagLib::ASF::Picture stored = attribute.toPicture();
            if (!stored.isValid())
                continue;
            Picture picture;
            picture.mimeType = stored.mimeType();
            picture.type = static_cast<int>(stored.type());
            picture.description = stored.description();
            picture.data = stored.picture();
            tags.v2.pictures.push_back(picture);
        }
    }
    return ReadFields(file, tags);
}

// ---- writing

void WriteV1(TagLib::ID3v1::Tag *tag, const TagContent &content) {
    tag->setProperties(V1Fields(content.fields));
}

// A tag read from the file as v2.3 stays v2.3, so that programs which read only that version
// keep seeing it; new tags are v2.4.
TagLib::ID3v2::Version VersionToWrite(bool hasTag, TagLib::ID3v2::Tag *tag) {
    return hasTag && tag->header()->majorVersion() == 3 ? TagLib::ID3v2::v3 : TagLib::ID3v2::v4;
}

void WriteId3v2(TagLib::ID3v2::Tag *tag, const TagContent &content) {
    if (content.replaceWhole) {
        // A copy of TagLib's list would share its ownership of the frames.
        const TagLib::ID3v2::FrameList &frames = tag->frameList();
        const std::vector<TagLib::ID3v2::Frame *> old(frames.begin(), frames.end());
        for (TagLib::ID3v2::Frame *frame : old)
            tag->removeFrame(frame);
    }
    // Frames that have no property name (private data, chapters, ...) are kept.
    tag->setProperties(WithFirstNames(content.fields));
    tag->removeFrames("APIC");
    for (const Picture &picture : content.pictures) {
        auto *frame = new AttachedPictureFrame;
        frame->setTextEncoding(TagLib::String::UTF8);
        frame->setMimeType(picture.mimeType);
        frame->setType(static_cast<AttachedPictureFrame::Type>(KnownPictureType(picture.type)));
        frame->setDescription(picture.description);
        frame->setPicture(picture.data);
        tag->addFrame(frame);
    }
}

void WriteXiphFields(TagLib::Ogg::XiphComment *comment, const TagContent &content) {
    if (content.replaceWhole)
        comment->removeAllFields();
    comment->setProperties(content.fields);
}

bool SaveMpeg(TagLib::IOStream &stream, const WritePlan &plan) {
    TagLib::MPEG::File file(&stream, Frames(), false);
    if (!file.isValid())
        return false;
    int tags = TagLib::MPEG::File::NoTags;
    const TagLib::ID3v2::Version version = VersionToWrite(file.hasID3v2Tag(), file.ID3v2Tag());
    if (plan.v1) {
        WriteV1(file.ID3v1Tag(true), *plan.v1);
        tags |= TagLib::MPEG::File::ID3v1;
    }
    if (plan.v2) {
        WriteId3v2(file.ID3v2Tag(true), *plan.v2);
        tags |= TagLib::MPEG::File::ID3v2;
    }
    return file.save(tags, TagLib::File::StripNone, version, TagLib::File::DoNotDuplicate);
}

// Programs that know only the LIST INFO chunk still see the common fields.
bool SaveWav(TagLib::IOStream &stream, const TagContent &content) {
    TagLib::RIFF::WAV::File file(&stream, false);
    if (!file.isValid())
        return false;
    const TagLib::ID3v2::Version version = VersionToWrite(file.hasID3v2Tag(), file.ID3v2Tag());
    WriteId3v2(file.ID3v2Tag(), content);
    file.InfoTag()->setProperties(V1Fields(content.fields));
    return file.save(TagLib::RIFF::WAV::File::AllTags, TagLib::File::StripNone, version);
}

bool SaveAiff(TagLib::IOStream &stream, const TagContent &content) {
    TagLib::RIFF::AIFF::File file(&stream, false);
    if (!file.isValid())
        return false;
    const TagLib::ID3v2::Version version = VersionToWrite(file.hasID3v2Tag(), file.tag());
    WriteId3v2(file.tag(), content);
    return file.save(version);
}

bool SaveFlac(TagLib::IOStream &stream, const TagContent &content) {
    TagLib::FLAC::File file(&stream, Frames(), false);
    if (!file.isValid())
        return false;
    WriteXiphFields(file.xiphComment(true), content);
    file.removePictures();
    for (const Picture &picture : content.pictures)
        file.addPicture(NewPictureBlock(picture));
    return file.save();
}

template <typename File> bool SaveOgg(TagLib::IOStream &stream, const TagContent &content) {
    File file(&stream, false);
    if (!file.isValid() || !file.tag())
        return false;
    WriteXiphFields(file.tag(), content);
    file.tag()->removeAllPictures();
    for (const Picture &picture : content.pictures)
        file.tag()->addPicture(NewPictureBlock(picture));
    return file.save();
}

// The fields through TagLib's property names; the pictures are each format's own.
template <typename Tag> void WriteFields(Tag *tag, const TagContent &content) {
    if (content.replaceWhole)
        tag->setProperties(TagLib::PropertyMap());
    tag->setProperties(content.fields);
}

bool SaveMp4(TagLib::IOStream &stream, const TagContent &content) {
    TagLib::MP4::File file(&stream, false);
    if (!file.isValid() || !file.tag())
        return false;
    WriteFields(file.tag(), content);
    TagLib::MP4::CoverArtList covers;
    for (const Picture &picture : content.pictures)
        covers.append(TagLib::MP4::CoverArt(CoverFormat(picture.mimeType), picture.data));
    if (covers.isEmpty())
        file.tag()->removeItem("covr");
    else
        file.tag()->setItem("covr", TagLib::MP4::Item(covers));
    return file.save();
}

// APEv2 holds one picture of each type.
template <typename File> bool SaveApe(TagLib::IOStream &stream, const TagContent &content) {
    File file(&stream, false);
    if (!file.isValid())
        return false;
    TagLib::APE::Tag *tag = file.APETag(true);
    WriteFields(tag, content);
    for (const char *key : kApePictureKeys)
        tag->removeItem(key);
    for (const Picture &picture : content.pictures) {
        TagLib::ByteVector value = ApePictureName(picture).data(TagLib::String::UTF8);
        value.append('\0');
        value.append(picture.data);
        const char *key = kApePictureKeys[KnownPictureType(picture.type)];
        if (!tag->itemListMap().contains(TagLib::String(key).upper()))
            tag->setItem(key, TagLib::APE::Item(key, value, true));
    }
    return file.save();
}

bool SaveAsf(TagLib::IOStream &stream, const TagContent &content) {
    TagLib::ASF::File file(&stream, false);
    if (!file.isValid() || !file.tag())
        return false;
    WriteFields(file.tag(), content);
    file.tag()->removeItem("WM/Picture");
    for (const Picture &picture : content.pictures) {
        TagLib::ASF::Picture stored;
        stored.setMimeType(picture.mimeType);
        stored.setType(static_cast<TagLib::ASF::Picture::Type>(KnownPictureType(picture.type)));
        stored.setDescription(picture.description);
        stored.setPicture(picture.data);
        file.tag()->addAttribute("WM/Picture", TagLib::ASF::Attribute(stored));
    }
    return file.save();
}

bool SaveTags(TagLib::IOStream &stream, int type, const WritePlan &plan) {
    if (type == kTypeMpeg)
        return SaveMpeg(stream, plan);
    if (!plan.v2)
        return true;
    switch (type) {
    case kTypeWav:
        return SaveWav(stream, *plan.v2);
    case kTypeAiff:
        return SaveAiff(stream, *plan.v2);
    case kTypeFlac:
        return SaveFlac(stream, *plan.v2);
    case kTypeOggVorbis:
        return SaveOgg<TagLib::Ogg::Vorbis::File>(stream, *plan.v2);
    case kTypeOggOpus:
        return SaveOgg<TagLib::Ogg::Opus::File>(stream, *plan.v2);
    case kTypeMp4:
        return SaveMp4(stream, *plan.v2);
    case kTypeWavPack:
        return SaveApe<TagLib::WavPack::File>(stream, *plan.v2);
    case kTypeApe:
        return SaveApe<TagLib::APE::File>(stream, *plan.v2);
    case kTypeMusepack:
        return SaveApe<TagLib::MPC::File>(stream, *plan.v2);
    case kTypeAsf:
        return SaveAsf(stream, *plan.v2);
    default:
        return false;
    }
}

} // namespace

int DetectTagFileType(const std::string &path) {
    const int type = TypeForExtension(path);
    std::error_code error;
    if (type == kTypeNone || !std::filesystem::is_regular_file(path, error))
        return kTypeNone;
    TagLib::FileStream stream(path.c_str(), true);
    return stream.isOpen() ? CheckContent(stream, type) : kTypeNone;
}

bool ReadTagFile(const std::string &path, int type, FileTags &tags) {
    TagLib::FileStream stream(path.c_str(), true);
    if (!stream.isOpen())
        return false;
    switch (type) {
    case kTypeMpeg:
        return ReadMpeg(stream, tags);
    case kTypeWav:
        return ReadWav(stream, tags);
    case kTypeAiff:
        return ReadAiff(stream, tags);
    case kTypeFlac:
        return ReadFlac(stream, tags);
    case kTypeOggVorbis:
        return ReadOgg<TagLib::Ogg::Vorbis::File>(stream, tags);
    case kTypeOggOpus:
        return ReadOgg<TagLib::Ogg::Opus::File>(stream, tags);
    case kTypeMp4:
        return ReadMp4(stream, tags);
    case kTypeWavPack:
        return ReadApe<TagLib::WavPack::File>(stream, tags);
    case kTypeApe:
        return ReadApe<TagLib::APE::File>(stream, tags);
    case kTypeMusepack:
        return ReadApe<TagLib::MPC::File>(stream, tags);
    case kTypeAsf:
        return ReadAsf(stream, tags);
    default:
        return false;
    }
}

bool WriteTagFile(const std::string &path, int type, const WritePlan &plan) {
    if (!IsWritableFile(path))
        return false;
    ReplacementCopy copy(path);
    if (!copy.Ready())
        return false;
    CheckedFileStream stream(copy.Path());
    if (!stream.isOpen())
        return false;
    const bool saved = SaveTags(stream, type, plan);
    return stream.Close() && saved && copy.Commit();
}

} // namespace idtagger
