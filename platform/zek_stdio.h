// C streams and the command line with UTF-8 file names, and 64-bit stream positions.
//
// Paths in this system are UTF-8. The C runtime of Windows takes the narrow names of fopen
// and main in the ANSI code page, so programs get their arguments through
// zek_utf8_arguments and open files through zek_fopen. The plain fseek and ftell take a
// long, which is 32 bits on 64-bit Windows, and fseeko's off_t is 32 bits there too; record
// files are not bounded by that, so every position goes through zek_fseek64 and zek_ftell64.
#ifndef ZEK_STDIO_H
#define ZEK_STDIO_H

#include <cstdint>
#include <cstdio>

// std::fopen for a UTF-8 path (wide characters towards Windows).
std::FILE* zek_fopen(const char* path, const char* mode);

// Replaces main's arguments with the command line's in UTF-8 (Windows; elsewhere they are
// left as they are). The new arguments live as long as the process. False, with the
// arguments left alone, when they cannot be had.
bool zek_utf8_arguments(int* argc, char*** argv);

// Sets the position as fseek does (origin SEEK_SET, SEEK_CUR or SEEK_END); 0 on success.
inline int zek_fseek64(std::FILE* stream, std::int64_t offset, int origin)
{
#if defined(_WIN32)
    return _fseeki64(stream, offset, origin);
#else
    return fseeko(stream, static_cast<off_t>(offset), origin);
#endif
}

// The position as ftell gives it; -1 on failure.
inline std::int64_t zek_ftell64(std::FILE* stream)
{
#if defined(_WIN32)
    return _ftelli64(stream);
#else
    return static_cast<std::int64_t>(ftello(stream));
#endif
}

#endif
