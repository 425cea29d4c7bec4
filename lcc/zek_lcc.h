#pragma once
// What the LCC builds of the S-function libraries add: a bounded formatted print of our own
// (that runtime formats only unbounded), the printing interface the VM library expects of
// vsnprintf and snprintf on top of it, file opening with the path as given, two trace
// printers and the placeholder standard function.
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>

// What the measuring call of zek_lcc_vsnprintf answers; the growable string buffer grows to
// one more byte, so every text formatted through it holds at most this many characters.
constexpr int32_t ZEK_LCC_MEASURE_LENGTH = 16384;

extern "C" {
// The bounded primitive, with the C library's vsnprintf contract: stores at most size - 1
// characters and a NUL (nothing when size is 0) and returns the length of the whole text, or
// -1 when that exceeds INT32_MAX. Conversions: d i u o x X c s p % f F e E g G a A with the
// flags, width, precision and length modifiers hh h l ll j z t (L reads a long double and
// formats it in double precision); %n stores nothing; an unknown conversion is copied as text.
int32_t zek_bounded_vformat(char *buffer, size_t size, const char *format, va_list args);
int32_t zek_bounded_format(char *buffer, size_t size, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

// The vsnprintf of the LCC build: buffer null or size 0 formats nothing and answers
// ZEK_LCC_MEASURE_LENGTH; otherwise at most size - 1 characters and a NUL are stored and their
// number is returned.
int32_t zek_lcc_vsnprintf(char *buffer, uint32_t size, const char *format, va_list args);
// The snprintf of the LCC build: the same bounded formatting; returns the characters stored.
int32_t zek_lcc_snprintf(char *buffer, uint32_t size, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

// Opens the file with the path as given (no conversion from UTF-8); the mode is a wide text of
// the characters of a C stream mode. Null on failure or a mode beyond ASCII.
FILE *zek_lcc_fopen(const char *path, const wchar_t *mode);

// Trace printers: the call level, the parameter stack, the address and an indentation per call
// level, without a newline; and every channel with its current elements, one line each.
void zek_logStackAndCommand(void);
void zek_logVariables(void);

// Standard-function handler of no code: raises 103 "Function code unknown.".
void zek_FUNC_NYI(void);
}
