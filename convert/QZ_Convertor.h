// Module choice for a file and the converter state of the running job.
#pragma once

#include <cstdint>

#include "modules/QZ_ExtList.h"
#include "state/converter_state.h"

int IsInModExt(const char *extension, uint8_t moduleIndex, const ModuleList *list);
char *GetInModuleForFile(const char *fileName, uint8_t firstPosition);
char *GetOutModuleForFile(const char *fileName);
int GetTestString(const char **first, const char **second, int index);

int InitConvertor();
void DeInitConvertor();
