// What the program needs to know about the core's commands and job lines to run them in parts:
// which commands can be split into job lines, the items of a line, and the names a job reads
// and writes. Each rule follows the core's own, so that a line means the same here and there.
#pragma once

#include <optional>
#include <string>
#include <vector>

enum class CommandKind {
    Other,       // listings, help, tags, play, encoder test, -CREATEBATCH: run as they are
    Convert,     // a conversion whose jobs a batch file carries
    ConvertAsIs, // a conversion a batch file cannot carry (-SETID, -STREAM) or -DEBUG
    Batch,       // -BATCH and its one file name or pattern, nothing else
    BatchAsIs,   // -BATCH with further keys
};

// The command's kind from its arguments (as the shell split them), looking only at its keys.
CommandKind ClassifyCommand(const std::vector<std::string> &arguments);
bool IsConversion(CommandKind kind);

// The argument list that the core's job-mode tokenizer makes of a job line.
std::vector<std::string> SplitJobLine(const std::string &line);
// The argument of the first `key` (upper case) in a list, as the core's parser takes it.
std::optional<std::string> KeyArgument(const std::vector<std::string> &items, const char *key);
// Whether a job line converts one file into one output (and so has an input and an output).
bool IsConversionLine(const std::vector<std::string> &items);

// The core's test for an extension: a dot after the first character of the whole name (blanks
// around it ignored) that is not its last character.
bool HasCoreExtension(const std::string &name);
// The name the core's writer gives an output: the encoder's extension is added when the name
// has none. Empty when the encoder would have to pick one and none is known.
std::string CompleteOutputName(const std::string &output, const std::string &encoderExtension);

// The batch files that -BATCH `name` runs, in the core's order and spelling: a name without an
// extension gets "xfb", wildcards are searched, folders are left out.
std::vector<std::string> FindBatchFiles(const std::string &name);
// The -BATCH argument of a Batch command.
std::string BatchName(const std::vector<std::string> &arguments);
// The job lines of a batch file as the core's runner reads them (line ends removed; lines
// shorter than 3 characters with their line end are left out). False when it cannot be read.
bool ReadJobLines(const std::string &file, std::vector<std::string> &lines);
