/*
 * The tag plug-in plugins/idtagger exports `zorvGetTagModule`, returning the tag table below
 * (pointer-sized slots). Kind 1 selects ID v1.1, kind 0 ID v2.x (or the native tag of formats
 * without ID3). Slots 3 and 20 to 25 are written by the core after loading; the plug-in
 * fills the others. Texts given out by GetTagField are released with FreeTagText.
 *
 * Mandatory slots, all of them checked at start-up before any is called: GetTagFileType,
 * ReadTags, WriteTags, ClearTags, GetTagField, CopyTagContents, SetTagFields, HasTag and
 * FreeTagText. A table that leaves one empty, or an entry that returns no table, stops the
 * start-up as a missing plug-in does.
 */
#ifndef KERNOVA_TAGGER_H
#define KERNOVA_TAGGER_H

#include "kernova/winamp.h"

#ifdef __cplusplus
extern "C" {
#endif

#define TAG_KIND_V2 0
#define TAG_KIND_V1 1

typedef struct TagTable {
    void *unused0;
    void *unused1;
    void *unused2;
    HINSTANCE libraryHandle; /* 3: written by the core */
    void *unused4;
    void *unused5;
    void *unused6;
    void *unused7;
    void *unused8;
    void *unused9;
    int (*GetTagFileType)(const char *file);                      /* 10: 0 = cannot carry tags */
    int (*ReadTags)(const char *file);                            /* 11: nonzero = read */
    int (*WriteTags)(const char *file, int writeV1, int writeV2); /* 12: nonzero = written */
    void *unused13;
    int (*ClearTags)(void); /* 14 */
    void *unused15;
    int (*GetTagField)(char **text, int field, int kind); /* 16: 1 = field has a value */
    int (*CopyTagContents)(int kind);                     /* 17 */
    void *unused18;
    int (*SetTagFields)(const char *arg, int safe);               /* 19: nonzero = applied */
    int (*GetTrim)(char **var);                                   /* 20: written by the core */
    char *(*GetFileExtension)(const char *name);                  /* 21: core; free() the result */
    int (*AssignString)(const char *src, char **var);             /* 22: written by the core */
    void (*AddStr)(char **var, const char *text);                 /* 23: written by the core */
    void (*TraceEnter)(const char *module, const char *function); /* 24: written by the core */
    void (*TraceLeave)(void);                                     /* 25: written by the core */
    int (*HasTag)(int kind);                                      /* 26 */
    void (*FreeTagText)(char **text);                             /* 27 */
} TagTable;

typedef TagTable *(*zorvGetTagModuleFunc)(void);

#ifdef __cplusplus
}
#endif

#endif
