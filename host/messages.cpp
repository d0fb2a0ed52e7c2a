#include "host/messages.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "kernova/message_codes.h"

namespace {

struct MessageText {
    int code;
    const char *text;                // "%s" stands for the argument
    const char *textWithoutArgument; // for a code sent with or without one; else null
};

// Sorted by code for the binary search below.
constexpr MessageText kMessageTexts[] = {
    {KN_MSG_KEY_HELP, "%s", nullptr},
    {KN_ERR_NO_DECODER, "%s: no decoder reads files of this type (-LISTDEC lists them)", nullptr},
    {KN_ERR_ENCODER_NOT_FOUND, "%s: encoder not found", nullptr},
    {KN_ERR_DECODER_LOAD, "%s: cannot load the decoder, or it is not a decoder", nullptr},
    {KN_ERR_ENCODER_LOAD, "%s: cannot load the module", nullptr},
    {KN_ERR_ENCODER_PARAMS, "the encoder refused the parameters: %s", nullptr},
    {KN_ERR_NO_LENGTH, "%s: the decoder cannot tell the length of this file", nullptr},
    {KN_ERR_ENCODE, "%s: encoding failed", nullptr},
    {KN_ERR_ENCODER_INVALID, "%s: not a valid encoder", nullptr},
    {KN_RESULT_CONVERTER_START, "the converter could not start", nullptr},
    {KN_ERR_NO_SOURCE, "%s: no source file found", "no source file found"},
    {KN_MSG_CPU_PRIORITY, "priority:   %s", nullptr},
    {KN_MSG_SOURCE_DELETED, "%s: source file deleted", nullptr},
    {KN_ERR_OUTPUT_COLLISION, "two jobs would write the same output file: %s",
     "two jobs of this command would write the same output file; nothing was done"},
    {KN_ERR_OUTPUT_IS_INPUT, "the output file is the input file itself: %s", nullptr},
    {KN_ERR_WAVE_DAMAGED, "not a WAV file, or its header is damaged", nullptr},
    {KN_ERR_WAVE_ENCODING, "unsupported WAV encoding (float, ADPCM, ...)", nullptr},
    {KN_ERR_WAVE_FORMAT_CHANGE, "%s: the encoder cannot change the rate or channels without mixing",
     nullptr},
    {KN_ERR_OUTPUT_CREATE, "%s: the output file cannot be created", nullptr},
    {KN_ERR_WRITE_NO_SPACE, "%s: no space left on the device", nullptr},
    {KN_ERR_WRITE_READ_ONLY, "%s: the file system is read-only", nullptr},
    {KN_ERR_WRITE_PERMISSION, "%s: permission denied", nullptr},
    {KN_ERR_WRITE_TOO_LARGE, "%s: the file would pass the largest size allowed", nullptr},
    {KN_ERR_WRITE_IO, "%s: input/output error of the device", nullptr},
    {KN_ERR_WRITE_NO_FOLDER, "%s: a folder of the name is missing or is not a folder", nullptr},
    {KN_ERR_WRITE_IS_FOLDER, "%s: a folder stands under this name", nullptr},
    {KN_ERR_WRITE_REFUSED, "%s: the system refused to write the file", nullptr},
    {KN_ERR_DECODER_OPEN, "the input file cannot be opened", nullptr},
    {KN_ERR_DECODER_DAMAGED, "damaged or truncated stream (decoded up to the damage)", nullptr},
    {KN_ERR_DECODER_ENCODING, "unsupported sample format or channel count", nullptr},
    {KN_ERR_FLAC_NOT_FLAC, "not a FLAC file, or its header is damaged", nullptr},
    {KN_ERR_MP3_NOT_MPEG, "not an MPEG audio file", nullptr},
    {KN_ERR_VORBIS_NOT_VORBIS, "not an Ogg Vorbis file, or its headers are damaged", nullptr},
    {KN_ERR_OPUS_NOT_OPUS, "not an Ogg Opus file, or its headers are damaged", nullptr},
    {KN_ERR_SNDFILE_UNKNOWN, "not an AIFF, CAF, W64 or RF64 file", nullptr},
    {KN_ERR_DECODER_TRUNCATED, "%s", "the source ends before its header says"},
    {KN_ERR_ENCODER_INPUT, "%s: the encoder cannot take this PCM", nullptr},
    {KN_ERR_ENCODER_SETUP, "%s: the codec refused these settings for this input", nullptr},
    {KN_ERR_ENCODER_RATE, "%s: the output sample rate is not one this format carries", nullptr},
    {KN_ERR_FORMAT_REFUSED, "no conversion between these audio formats: %s", nullptr},
    {KN_ERR_NAME_NOT_CARRIED,
     "a job line cannot hold this file name (a bar beside a blank, or a line break): %s",
     "a file name cannot be written into a job line; nothing was done"},
    {KN_ERR_BATCH_NO_JOB, "%s: no line of this batch file is a job", nullptr},
    {KN_MSG_MODULE_DESCRIPTION, "%s", nullptr},
    {KN_MSG_DECODER_PARAMS, "decoder parameters: %s", nullptr},
    {KN_ERR_DECODER_PARAMS, "the decoder refused the parameters (defaults used): %s", nullptr},
    {KN_MSG_NO_TAGS, "no ID tags (the file holds none, cannot be read or cannot carry tags)",
     nullptr},
    {KN_MSG_TAGS_COPIED, "ID tags copied", nullptr},
    {KN_MSG_BAD_COPYID, "malformed -COPYID argument (source:destination, e.g. 1:2 or A:A)",
     nullptr},
    {KN_MSG_MODULE_FILE, "%s", nullptr},
    {KN_MSG_MODULE_EXTENSION, "%s", nullptr},
    {KN_MSG_EXTENSION_DESCRIPTION, "%s", nullptr},
    {KN_MSG_TAG_ORIG, "  Original artist: %s", nullptr},
    {KN_MSG_TAG_URL, "  URL:             %s", nullptr},
    {KN_MSG_TAG_TRACK, "  Track:           %s", nullptr},
    {KN_MSG_TAG_COMMENT, "  Comment:         %s", nullptr},
    {KN_MSG_TAG_GENRE, "  Genre:           %s", nullptr},
    {KN_MSG_TAG_YEAR, "  Year:            %s", nullptr},
    {KN_MSG_TAG_ARTIST, "  Artist:          %s", nullptr},
    {KN_MSG_TAG_ALBUM, "  Album:           %s", nullptr},
    {KN_MSG_TAG_TITLE, "  Title:           %s", nullptr},
    {KN_MSG_TAG_V2_BLOCK, "ID v2.x tag:", nullptr},
    {KN_MSG_TAG_V1_BLOCK, "ID v1.1 tag:", nullptr},
    {KN_ERR_FIXFREQ_CHANGED, "the sample rate does not suit the encoder; its parameters are now",
     nullptr},
    {KN_ERR_FIXFREQ_FAMILY,
     "sample rates %s belong to different families (-FIXFREQ 1, 2 or 3 fixes this)", nullptr},
    {KN_MSG_SETID_FILE, "%s: setting ID tags", nullptr},
    {KN_ERR_SETID_WRITE, "writing the ID tags failed", nullptr},
    {KN_MSG_SETID_WRITTEN, "ID tags written", nullptr},
    {KN_ERR_SETID_NO_TAGS, "the file cannot carry ID tags", nullptr},
    {KN_ERR_SETID_REJECTED, "the -SETID argument was rejected", nullptr},
    {KN_MSG_ENCODER_HELP_FAILED, "%s: no help available for this encoder", nullptr},
    {KN_ERR_NO_AUTO_ENCODER, "%s: no encoder for this output type (name one with -ENC)", nullptr},
    {KN_ERR_SHOW_PARAMS, "the encoder's parameters are", nullptr},
    {KN_RESULT_NOT_EXECUTABLE, "cannot be executed", nullptr},
    {KN_RESULT_STOPPED, "stopped", nullptr},
    {KN_RESULT_FAILED, "failed", nullptr},
    {KN_RESULT_DONE, "done", nullptr},
    {KN_ERR_WRITE_JOBS, "%s: cannot write the job file or the batch file",
     "cannot write the job file or the batch file"},
    {KN_RESULT_NO_RECORD, "no command to run", nullptr},
    {KN_ERR_TAG_LIBRARY_LOAD, "%s: cannot load the ID tag plug-in", nullptr},
    {KN_ERR_TAG_LIBRARY_EXPORT, "%s: not an ID tag plug-in (no zorvGetTagModule, or no table)",
     nullptr},
    {KN_ERR_TAG_LIBRARY_SLOTS, "the ID tag plug-in leaves functions of its table empty: %s",
     nullptr},
    {KN_ERR_FFMPEG_UNKNOWN, "not an audio file that FFmpeg reads, or its header is damaged",
     nullptr},
    {KN_ERR_FFMPEG_NO_AUDIO, "the file holds no audio stream", nullptr},
    {KN_ERR_FFMPEG_NO_DECODER, "FFmpeg cannot decode the audio codec of this file", nullptr},
    {KN_ERR_FFMPEG_FORMAT_CHANGE, "the audio changes its sample rate or channels midway", nullptr},
    {KN_MSG_INPUT, "input:      %s", nullptr},
    {KN_MSG_OUTPUT, "output:     %s", nullptr},
    {KN_MSG_ENCODER_PARAMS, "parameters: %s", nullptr},
    {KN_MSG_ENCODER, "encoder:    %s", nullptr},
    {KN_MSG_NEXT_PASS, "next pass", nullptr},
    {KN_MSG_DECODER, "decoder:    %s", nullptr},
};

constexpr bool IsSortedByCode() {
    for (std::size_t i = 1; i < std::size(kMessageTexts); ++i) {
        if (kMessageTexts[i - 1].code >= kMessageTexts[i].code)
            return false;
    }
    return true;
}
static_assert(IsSortedByCode(), "message texts must stay sorted by code");

const MessageText *FindEntry(int code) {
    auto entry = std::lower_bound(std::begin(kMessageTexts), std::end(kMessageTexts), code,
                                  [](const MessageText &e, int c) { return e.code < c; });
    if (entry == std::end(kMessageTexts) || entry->code != code)
        return nullptr;
    return entry;
}

std::string SubstituteArgument(const char *text, const char *argument) {
    std::string line = text;
    auto at = line.find("%s");
    if (at != std::string::npos)
        line.replace(at, 2, argument);
    return line;
}

} // namespace

std::string FormatText(const char *text, const std::string &argument) {
    return SubstituteArgument(text, argument.c_str());
}

std::string FormatMessage(int code, intptr_t argument) {
    const char *text = argument ? reinterpret_cast<const char *>(argument) : nullptr;
    const MessageText *entry = FindEntry(code);
    if (!entry) {
        std::string number = "code " + std::to_string(code);
        return text ? std::string(text) + ": " + number : number;
    }
    if (!text && entry->textWithoutArgument)
        return entry->textWithoutArgument;
    // A decoder's own code may come with the input's name and the decoder's detail.
    if (text && std::strstr(entry->text, "%s") == nullptr)
        return std::string(text) + ": " + entry->text;
    return SubstituteArgument(entry->text, text ? text : "(none)");
}

const char *const kUsageText =
    "Usage: kernova -I <input> -O <output> [-ENC <encoder>] [-ENCPARAM <parameters>] [keys]\n"
    "       kernova -LISTENC | -LISTDEC\n"
    "       kernova -HELP <key without dash, e.g. CPU> | -HELPENC <encoder>\n"
    "       kernova -I <file> -SHOWID | -I <file> -SETID [safe] <version>: <field=text>...\n"
    "       kernova -I <input> -O <output> -CREATEBATCH <batch file> | -BATCH <batch file>\n"
    "       kernova -I <file> -PLAY\n"
    "Paths with blanks need the shell's quotes: -I \"my folder/*.wav\".\n"
    "-SETID replaces the file's whole tag (the cover and every field not given are lost);\n"
    "-SETID safe changes only the fields given.\n";

const char *const kOptionsText =
    "\n"
    "Options of the program (two dashes; anywhere among the keys, never passed to the core):\n"
    "  --jobs N         run the jobs of a conversion or of -BATCH in N worker processes\n"
    "                   (default: one per processor; --jobs 1 runs them one after another)\n"
    "  --skip-existing  leave out each job whose output exists and is newer than its source\n"
    "  --dry-run        show each job's encoder, parameters, input and output; convert\n"
    "                   nothing, write nothing\n"
    "  --quiet          print errors only\n"
    "  --split N FILE   write the job lines of the batch file FILE into N balanced batch\n"
    "                   files FILE-1.xfb ... FILE-N.xfb and print their names\n"
    "  --version        show the program's version\n"
    "  --help           show this text\n"
    "  --               the arguments after it all belong to the core\n"
    "Keys (one dash) belong to the converter core: kernova -HELP <key> explains one.\n";

const char *const kSkippedText = "%s: skipped, the output is newer than its source";
const char *const kOtherJobText = "job:        %s";
const char *const kWorkerEndedText = "%s: the worker process ended before the job did";
