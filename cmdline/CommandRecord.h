// The command record (the parsed form of one command) with its parser and job-line writer.
#pragma once

class ArgList;

enum CommandMode {
    kModeNone = 0,
    kModeConvert = 1,
    kModeListEncoders = 2,
    kModeListDecoders = 3,
    kModeShowId = 4,
    kModeSetId = 5,
    kModeCreateBatch = 6,
    kModeRunBatch = 7,
    kModeTestEncoder = 8,
    kModeEncoderHelp = 9,
    kModeHelp = 10,
    kModePlay = 11,
};

// Text fields are text variables (All_Func.h), released by ClearCommandRecord.
struct CommandRecord {
    char *commandLine; // the job line of this record
    int mode;          // CommandMode
    int reserved2;
    char *reserved3;
    char *inputName;     // -I; the batch name in mode 7
    char *outputName;    // -O
    char *batchName;     // -CREATEBATCH
    char *encoderName;   // -ENC or "AUTO"; -HELPENC in mode 9
    char *encoderParams; // -ENCPARAM
    char *decoderParams; // -DECPARAM
    char *decoderName;   // -DEC
    int setId;
    int copyId;
    char *setIdArg;
    char *copyIdArg;
    int setIdSafe;
    int deleteSource;
    int debug;
    int recursive;   // 0 no, 1 sub-folders, 2 sub-folders copied into the output
    int cpuPriority; // 0..5, default 1
    int fixFreq;     // 0..3
    char *helpArg;
    int stream;
    int previewSeconds;
};

void ParseCommandLine(const ArgList *list, CommandRecord *record);
void ClearCommandRecord(CommandRecord *record);
void BuildCommandLine(CommandRecord *record);
void AppendKey(const char *key, const char *argument, char **line);
void AppendKeyWithArg(const char *key, const char *argument, char **line);
