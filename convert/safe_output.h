// Outputs are written under a temporary name beside the output and put in its place only when
// the whole job has succeeded, so that a failed, stopped or killed job never leaves a partial
// file under an output name and never loses a file that stood there before. The temporary name
// keeps the output's extension (encoders and the tag plug-in go by it):
// "song.kernova-partial-4711.flac" for "song.flac", 4711 being the process id.
#pragma once

// The part of a temporary output's name that marks it.
constexpr const char *kPartialOutputMark = ".kernova-partial-";

// True for a file name (without folder) that a conversion gives its temporary output.
bool IsPartialOutputName(const char *fileName);

// Chooses the file that the encoder writes for the converter state's (completed) output name
// (`partialName`). A folder, or an existing file that cannot be written, is refused: false,
// after its reason and message 21.
bool PrepareOutput();
// The name of the file that the encoder wrote: the temporary one, or the output itself.
const char *WrittenOutputName();
// Puts the temporary file in the output's place; false, after the reason and message 21, when
// the system refuses. An encoder that wrote no file leaves the folder as it was.
bool CommitOutput();
// Removes the temporary file of a failed or stopped job.
void DiscardOutput();
