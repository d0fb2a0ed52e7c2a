// File-name routines: folder part, file part, extension, masks and folder trees.
// The folder separator is platform::kPathSeparator. Returned strings are new text variables
// (see All_Func.h) owned by the caller, except GetFileExtension's, which is malloc'ed and
// released with free().
#pragma once

// Folder queries and folder creation work within this many characters (terminator included):
// the system's path limit. Longer names fail safely (null result, nothing created).
#if defined(_WIN32)
constexpr int kMaxPathChars = 260;
#else
constexpr int kMaxPathChars = 4096;
#endif
// An overlaid name (MakeOneStringMask) holds at most this many characters.
constexpr int kMaxMaskedNameChars = 255;

// The folder part of `name` into `*folder`; `*folder` is left
// unchanged when the name has no folder part.
void ExtractPathX(const char *name, char **folder);
void ExtractOnlyFileName(const char *name, char **file);
// The extension after the last dot of the file part, in ASCII upper case; null for none.
char *GetFileExtension(const char *name);
void ExpandNameAndExt(const char *name, char **base, char **extension);
char *MakeOneStringMask(const char *name, const char *mask);
char *GetFileNameByMask(const char *name, const char *mask);
char *GetPathFileNameByMask(const char *source, const char *mask);
void AddFileExtension(char **name, const char *extension);
// Gives `*name` the extension when it has none; a name without a file part first gets the
// mask "*", completed from `source`.
void AddIfNoExtension(char **name, const char *extension, const char *source);
void InsertPathInName(char **name, const char *subFolder);
// Creates every folder of `path` up to its last separator; always 1 (a failure shows when
// the file is opened).
int CreateMultiLevelFolder(const char *path);
// The folder part of `name` with one trailing separator, or null when it has none.
char *FolderWithSlash(const char *name);
// The program's folder and the current folder, each with a trailing separator; null when
// the system does not tell or the name is too long.
char *GetMainPathName();
char *GetCurPathName();
