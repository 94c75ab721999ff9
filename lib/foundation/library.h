// Library start-up and shut-down, per-thread error codes and the default allocator.
#pragma once

#include "foundation/error_codes.h"

class VGS_Allocator;

namespace VGSLib {

int initialize();
void uninitialize();
bool isInitiate();

void SetErrorCode(unsigned long code);
unsigned long GetErrorCode();
unsigned int GetErrorMsg(unsigned long code, char* buffer, unsigned int size);

void* malloc(unsigned int size, bool zero);
void* realloc(void* block, unsigned int size);
void free(void* block);
int set_allocator(VGS_Allocator* allocator);

int debug_output(const char* file, int line, const char* format);

}  // namespace VGSLib
