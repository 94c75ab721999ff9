// Narrow-character text helpers used throughout the library instead of the C functions.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <ctime>

namespace VGSLib {

std::size_t tstrlen(const char* s);
std::size_t tstrftime(char* buffer, std::size_t size, const char* format, const struct tm* time);
std::size_t tstrcspn(const char* s, const char* reject);
std::size_t tstrspn(const char* s, const char* accept);
// Bounded: at most `size` bytes including the NUL are written; returns the length the
// whole text needs (as vsnprintf), or -1 on a format error.
int tvsprintf(char* buffer, std::size_t size, const char* format, va_list args);
int tsprintf(char* buffer, std::size_t size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
int tstrcmp(const char* a, const char* b);
int tstricmp(const char* a, const char* b);  // ASCII case-insensitive
int tstrncmp(const char* a, const char* b, std::size_t n);
int tstrnicmp(const char* a, const char* b, std::size_t n);
char* tstrcpy(char* dst, const char* src);
char* tstrcat(char* dst, const char* src);
char* tstrncpy(char* dst, const char* src, std::size_t n);
char* tstrncat(char* dst, const char* src, std::size_t n);
char* tstrrev(char* s);
// Tokenizer state is per thread.
char* tstrtok(char* s, const char* delimiters);
char* tstrset(char* s, int c);
char* tstrnset(char* s, int c, std::size_t n);
char* tstrlwr(char* s);
char* tstrupr(char* s);
const char* tstrchr(const char* s, int c);
char* tstrchr(char* s, int c);
const char* tstrrchr(const char* s, int c);
char* tstrrchr(char* s, int c);
const char* tstrstr(const char* s, const char* pattern);
char* tstrstr(char* s, const char* pattern);
const char* tstrpbrk(const char* s, const char* accept);
char* tstrpbrk(char* s, const char* accept);
int tatoi(const char* s);
long long tatoi64(const char* s);
double tatof(const char* s);
// Radix 2..36 (otherwise an empty text); negative values get a '-' only in radix 10.
// `buffer` must hold 33 (itota) or 65 (i64tota) bytes plus the sign.
char* itota(int value, char* buffer, int radix);
char* i64tota(long long value, char* buffer, int radix);

// Index of the first `pattern` in `text`; 0 for an empty pattern; -1 when `text` is
// empty (or null) or the pattern does not occur.
int tstrfind(const char* text, const char* pattern);

}  // namespace VGSLib
