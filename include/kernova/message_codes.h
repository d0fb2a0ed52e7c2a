/*
 * Message codes the core sends through onMessage/onError, and the job results.
 * The argument of each is described beside it; "text" means a text owned by the core.
 */
#ifndef KERNOVA_MESSAGE_CODES_H
#define KERNOVA_MESSAGE_CODES_H

#include <errno.h>

enum KernovaMessageCode {
    KN_MSG_KEY_HELP = 0,            /* onMessage: help text of a key */
    KN_ERR_NO_DECODER = 1,          /* onError: input name */
    KN_ERR_ENCODER_NOT_FOUND = 2,   /* onError: encoder name */
    KN_ERR_DECODER_LOAD = 3,        /* onError: decoder library file */
    KN_ERR_ENCODER_LOAD = 4,        /* onError: encoder module name, "DirectSound" when playing */
    KN_ERR_ENCODER_PARAMS = 5,      /* onError: encoder parameter text */
    KN_ERR_NO_LENGTH = 6,           /* onError: input name */
    KN_ERR_ENCODE = 9,              /* onError: output name */
    KN_ERR_ENCODER_INVALID = 10,    /* onError: encoder name */
    KN_RESULT_CONVERTER_START = 12, /* job result */
    KN_ERR_NO_SOURCE = 13,          /* onError: the -I pattern that found nothing */
    KN_MSG_CPU_PRIORITY = 14,       /* onMessage: level name */
    KN_MSG_SOURCE_DELETED = 15,     /* onMessage: input name */
    KN_ERR_OUTPUT_COLLISION = 16, /* onError: the output name that two jobs of one command share */
    KN_ERR_OUTPUT_IS_INPUT = 17,  /* onError: output name that names the input file itself */
    /* Our plug-ins' own codes: the WAV decoder's GetLastErrorCode, an encoder's Open result. */
    KN_ERR_WAVE_DAMAGED = 18,       /* onError: 0; not a WAV file or damaged header */
    KN_ERR_WAVE_ENCODING = 19,      /* onError: 0; unsupported WAV encoding (float, ADPCM, ...) */
    KN_ERR_WAVE_FORMAT_CHANGE = 20, /* onError: output name; the rate or channels need mixing */
    KN_ERR_OUTPUT_CREATE = 21,      /* onError: output name; the output file cannot be created */
    /* Why writing an output failed, the system's reason (onError: output name): sent before 21
       when the file cannot be created, before 9 when a write or the closing failed. */
    KN_ERR_WRITE_NO_SPACE = 22,   /* no space left on the device, or the disk quota is used up */
    KN_ERR_WRITE_READ_ONLY = 23,  /* the file system is mounted read-only */
    KN_ERR_WRITE_PERMISSION = 24, /* permission denied */
    KN_ERR_WRITE_TOO_LARGE = 25,  /* the file would pass the largest size allowed */
    KN_ERR_WRITE_IO = 26,         /* input/output error of the device */
    KN_ERR_WRITE_NO_FOLDER = 27,  /* a folder of the name is missing or is not a folder */
    KN_ERR_WRITE_IS_FOLDER = 28,  /* a folder stands under the name */
    KN_ERR_WRITE_REFUSED = 29,    /* another reason of the system */
    /* The decoders' GetLastErrorCode (onError: 0, or "<input>: <detail>" when the decoder words
       the error with QZconvInputErrorText, see decoder.h). */
    KN_ERR_DECODER_OPEN = 30,      /* the input file cannot be opened for reading */
    KN_ERR_DECODER_DAMAGED = 31,   /* damaged or truncated stream: decoded up to the damage */
    KN_ERR_DECODER_ENCODING = 32,  /* unsupported sample format, channel count or format change */
    KN_ERR_FLAC_NOT_FLAC = 33,     /* not a FLAC file, or its header is damaged */
    KN_ERR_MP3_NOT_MPEG = 34,      /* not an MPEG audio file: no valid frame found */
    KN_ERR_VORBIS_NOT_VORBIS = 35, /* not an Ogg Vorbis file, or its headers are damaged */
    KN_ERR_OPUS_NOT_OPUS = 36,     /* not an Ogg Opus file, or its headers are damaged */
    KN_ERR_SNDFILE_UNKNOWN = 37,   /* not an AIFF, CAF, W64 or RF64 file that libsndfile reads */
    KN_ERR_DECODER_TRUNCATED = 38, /* the source ends before its header says: a cut file */
    /* Encoders' Open results (onError: output name). */
    KN_ERR_ENCODER_INPUT = 40,      /* the encoder cannot take this PCM (channels, depth or rate) */
    KN_ERR_ENCODER_SETUP = 41,      /* the codec refused the settings for this input */
    KN_ERR_ENCODER_RATE = 42,       /* the output sample rate is not one the format carries */
    KN_ERR_FORMAT_REFUSED = 43,     /* onError: "<source format> -> <target format>"; the audio
                                       format layer has no conversion between the two */
    KN_ERR_NAME_NOT_CARRIED = 44,   /* onError: the file name, or 0 (the command's result); a job
                                       line cannot hold it (a bar beside a blank, a line break) */
    KN_ERR_BATCH_NO_JOB = 45,       /* onError: batch file name; no line of it is a job */
    KN_MSG_MODULE_DESCRIPTION = 61, /* onMessage: description */
    KN_MSG_DECODER_PARAMS = 62,     /* onMessage: decoder parameter text */
    KN_ERR_DECODER_PARAMS = 63,     /* onError: decoder parameter text */
    KN_MSG_NO_TAGS = 64,            /* onMessage: 0 */
    KN_MSG_TAGS_COPIED = 65,        /* onMessage: 0 */
    KN_MSG_BAD_COPYID = 66,         /* onMessage: 0 */
    KN_MSG_MODULE_FILE = 67,        /* onMessage: module file base name */
    KN_MSG_MODULE_EXTENSION = 68,   /* onMessage: extension entry */
    KN_MSG_EXTENSION_DESCRIPTION = 69, /* onMessage: entry description */
    KN_MSG_TAG_ORIG = 70,
    KN_MSG_TAG_URL = 71,
    KN_MSG_TAG_TRACK = 72,
    KN_MSG_TAG_COMMENT = 73,
    KN_MSG_TAG_GENRE = 74,
    KN_MSG_TAG_YEAR = 75,
    KN_MSG_TAG_ARTIST = 76,
    KN_MSG_TAG_ALBUM = 77,
    KN_MSG_TAG_TITLE = 78,
    KN_MSG_TAG_V2_BLOCK = 79,
    KN_MSG_TAG_V1_BLOCK = 80,
    KN_ERR_FIXFREQ_CHANGED = 81,     /* onError: 0; 203 follows */
    KN_ERR_FIXFREQ_FAMILY = 82,      /* onError: "%d -> %d" */
    KN_MSG_SETID_FILE = 83,          /* onMessage: file name */
    KN_ERR_SETID_WRITE = 84,         /* onError: 0 */
    KN_MSG_SETID_WRITTEN = 85,       /* onMessage: 0 */
    KN_ERR_SETID_NO_TAGS = 86,       /* onError: 0 */
    KN_ERR_SETID_REJECTED = 87,      /* onError: 0 */
    KN_MSG_ENCODER_HELP_FAILED = 88, /* onMessage: encoder name */
    KN_ERR_NO_AUTO_ENCODER = 89,     /* onError: output name */
    KN_ERR_SHOW_PARAMS = 92,         /* onError: 0; 203 follows */
    KN_RESULT_NOT_EXECUTABLE = 93,
    KN_RESULT_STOPPED = 94,
    KN_RESULT_FAILED = 95,
    KN_RESULT_DONE = 97,
    KN_ERR_WRITE_JOBS = 98, /* onError: the job or batch file name */
    KN_RESULT_NO_RECORD = 99,
    KN_ERR_TAG_LIBRARY_LOAD = 101,   /* onError: library path */
    KN_ERR_TAG_LIBRARY_EXPORT = 102, /* onError: library path; also for an entry giving no table */
    KN_ERR_TAG_LIBRARY_SLOTS = 103,  /* onError: "<library path>: <names of the empty slots>" */
    /* The ffmpeg decoder's GetLastErrorCode (onError: 0). */
    KN_ERR_FFMPEG_UNKNOWN = 110,       /* not a file that FFmpeg reads, or its header is damaged */
    KN_ERR_FFMPEG_NO_AUDIO = 111,      /* the file holds no audio stream */
    KN_ERR_FFMPEG_NO_DECODER = 112,    /* FFmpeg cannot decode the audio codec of the file */
    KN_ERR_FFMPEG_FORMAT_CHANGE = 113, /* the audio changes its sample rate or channels midway */
    KN_MSG_INPUT = 201,                /* onMessage: input name */
    KN_MSG_OUTPUT = 202,               /* onMessage: output name */
    KN_MSG_ENCODER_PARAMS = 203,       /* onMessage: parameter text or "default settings" */
    KN_MSG_ENCODER = 204,              /* onMessage: encoder name */
    KN_MSG_NEXT_PASS = 205,            /* onMessage: 0 */
    KN_MSG_DECODER = 206,              /* onMessage: -DEC name or "default" */
};

/* The write error code (22 to 29) for an errno value of a failed write, create, seek or close;
   0 for 0. */
static inline int KernovaWriteErrorCode(int error) {
    switch (error) {
    case 0:
        return 0;
    case ENOSPC:
#ifdef EDQUOT
    case EDQUOT:
#endif
        return KN_ERR_WRITE_NO_SPACE;
    case EROFS:
        return KN_ERR_WRITE_READ_ONLY;
    case EACCES:
    case EPERM:
        return KN_ERR_WRITE_PERMISSION;
    case EFBIG:
        return KN_ERR_WRITE_TOO_LARGE;
    case EIO:
        return KN_ERR_WRITE_IO;
    case ENOENT:
    case ENOTDIR:
        return KN_ERR_WRITE_NO_FOLDER;
    case EISDIR:
        return KN_ERR_WRITE_IS_FOLDER;
    default:
        return KN_ERR_WRITE_REFUSED;
    }
}

#endif
