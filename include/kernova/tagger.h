/*
 * The tag plug-in plugins/idtagger exports `zorvGetTagModule`, returning the tag table below
 * (pointer-sized slots). The table belongs to the plug-in and must stay valid, at the same
 * address, until the core unloads the library at DeInitKernova_DLL. There is no version field:
 * the layout is fixed.
 *
 * Mandatory slots, all of them checked at start-up (InitKernova_DLL) before any is called:
 * GetTagFileType, ReadTags, WriteTags, ClearTags, GetTagField, CopyTagContents, SetTagFields,
 * HasTag and FreeTagText. A table that leaves one empty stops the start-up with
 * KN_ERR_TAG_LIBRARY_SLOTS (the library and the empty slots); a missing library, entry or
 * table stops it with KN_ERR_TAG_LIBRARY_LOAD or KN_ERR_TAG_LIBRARY_EXPORT.
 *
 * Who writes what: the core writes slots 3 and 20 to 25 once after loading, before any other
 * call; the plug-in fills the others.
 *
 * Threads: every call, the entry's included, comes from the command thread (the one in
 * InitKernova_DLL and DoCommand_DLL), one at a time.
 *
 * Kinds: TAG_KIND_V1 selects ID v1.1, TAG_KIND_V2 ID v2.x (or the native tag of formats
 * without ID3). The plug-in holds the tags that ReadTags read (and SetTagFields or
 * CopyTagContents changed) until the next ReadTags or ClearTags; WriteTags writes them.
 *
 * Ownership: file names and the -SETID text are the core's, valid during the call. A text
 * that GetTagField gives out is the plug-in's: the core passes *text as null, and hands it
 * back to FreeTagText whatever GetTagField answered. The core's routines in slots 20 to 23
 * work on the core's text variables (new[] strings that they release when they replace
 * them); GetFileExtension's result is released with free().
 */
#ifndef KERNOVA_TAGGER_H
#define KERNOVA_TAGGER_H

#include "kernova/winamp.h"

#ifdef __cplusplus
extern "C" {
#endif

#define TAG_KIND_V2 0
#define TAG_KIND_V1 1

/* GetTagField's field numbers; the numbers between are not used. ID v1.1 has no original
 * artist and no URL. */
#define TAG_FIELD_TITLE 0
#define TAG_FIELD_ARTIST 1
#define TAG_FIELD_ALBUM 2
#define TAG_FIELD_ORIGINAL_ARTIST 3
#define TAG_FIELD_YEAR 4
#define TAG_FIELD_COMMENT 5
#define TAG_FIELD_GENRE 6
#define TAG_FIELD_TRACK 8
#define TAG_FIELD_URL 12

/* GetTagFileType's answers, as far as the core reads them. 0: the file cannot carry tags.
 * 1: MPEG audio, which carries ID v1.1 and ID v2.x side by side; every other type's v2.x
 * (native) tag is always written when tags are copied. 2 to 5: formats that carry ID v1.1
 * beside a native tag of their own. Above 5: a native tag only, which takes the content of a
 * v1.1-only source when tags are copied. */
#define TAG_FILE_NONE 0
#define TAG_FILE_MPEG 1
#define TAG_FILE_LAST_WITH_OWN_V1 5

typedef struct TagTable {
    void *unused0;
    void *unused1;
    void *unused2;
    HINSTANCE libraryHandle; /* 3: written by the core: the library handle */
    void *unused4;
    void *unused5;
    void *unused6;
    void *unused7;
    void *unused8;
    void *unused9;
    int (*GetTagFileType)(const char *file);                      /* 10: TAG_FILE_..., see above */
    int (*ReadTags)(const char *file);                            /* 11: nonzero = read */
    int (*WriteTags)(const char *file, int writeV1, int writeV2); /* 12: nonzero = written */
    void *unused13;
    int (*ClearTags)(void); /* 14: forgets the tags held */
    void *unused15;
    int (*GetTagField)(char **text, int field, int kind); /* 16: 1 = field has a value */
    int (*CopyTagContents)(int kind); /* 17: that kind's content becomes both kinds' */
    void *unused18;
    int (*SetTagFields)(const char *arg, int safe);   /* 19: -SETID text; nonzero = applied */
    int (*GetTrim)(char **var);                       /* 20: written by the core */
    char *(*GetFileExtension)(const char *name);      /* 21: core; free() the result */
    int (*AssignString)(const char *src, char **var); /* 22: written by the core */
    void (*AddStr)(char **var, const char *text);     /* 23: written by the core */
    void (*TraceEnter)(const char *module, const char *function); /* 24: written by the core */
    void (*TraceLeave)(void);                                     /* 25: written by the core */
    int (*HasTag)(int kind);          /* 26: 1 = the file read holds a tag of that kind */
    void (*FreeTagText)(char **text); /* 27: releases GetTagField's text, sets it null */
} TagTable;

/* `zorvGetTagModule`: called once, at start-up, right after loading. */
typedef TagTable *(*zorvGetTagModuleFunc)(void);

#ifdef __cplusplus
}
#endif

#endif
