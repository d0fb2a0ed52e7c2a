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

void ExtractPathX(const char *name, char **folder);
void ExtractOnlyFileName(const char *name, char **file);
char *GetFileExtension(const char *name);
void ExpandNameAndExt(const char *name, char **base, char **extension);
char *MakeOneStringMask(const char *name, const char *mask);
char *GetFileNameByMask(const char *name, const char *mask);
char *GetPathFileNameByMask(const char *source, const char *mask);
void AddFileExtension(char **name, const char *extension);
void AddIfNoExtension(char **name, const char *extension, const char *source);
void InsertPathInName(char **name, const char *subFolder);
int CreateMultiLevelFolder(const char *path);
char *GetMainPathName();
char *GetCurPathName();
