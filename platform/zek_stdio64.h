// 64-bit positions in C streams. The plain fseek and ftell take a long, which is 32 bits on
// 64-bit Windows, and fseeko's off_t is 32 bits there too; record files are not bounded by
// that, so every position goes through these.
#ifndef ZEK_STDIO64_H
#define ZEK_STDIO64_H

#include <cstdint>
#include <cstdio>

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
