// File, directory and handle utilities of the library (paths use '/').
#pragma once

#include "platform/types.h"

namespace VGSLib {

// access() test; mode 0 (existence) records code 2 when it fails.
int taccess(const char* path, int mode);
// Creates the directory and every missing parent; an existing directory is accepted.
int createdir(const char* path);
int deletefile(const char* path);
// Deletes a directory with everything in it; symbolic links are removed, not followed.
int deletedir(const char* path);

// Creates `path` (and its folders) for reading and writing; -1 as a handle on failure.
void* create(const char* path, bool overwrite, unsigned long flags);
void* open(const char* path, bool readonly, unsigned long flags);
int read(void* file, void* buffer, unsigned int size, OVERLAPPED* overlapped);
int write(void* file, const void* buffer, unsigned int size, OVERLAPPED* overlapped);
int read_n(void* file, void* buffer, unsigned int size);
int write_n(void* file, const void* buffer, unsigned int size);
long long seek(void* file, long long offset, unsigned long origin);
long long getfsize(void* file);
int setfsize(void* file, unsigned long long size);

// Exclusive byte-range lock of `length` bytes at `offset` (or at the overlapped offset).
int flock(void* file, unsigned long long offset, unsigned long long length,
          OVERLAPPED* overlapped, bool wait);
int funlock(void* file, unsigned long long offset, unsigned long long length,
            OVERLAPPED* overlapped);

unsigned int getmodpath(char* buffer, unsigned int size);
int getlocalip(char* buffer, unsigned int size);
int genuuid(char* buffer, unsigned int size);

}  // namespace VGSLib
