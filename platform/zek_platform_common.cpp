// The parts of zek_platform.h that need nothing of the operating system beyond the C
// runtime: the test faults, stream writes and stream reads to the end. Every operating
// system's build compiles this file beside its own implementation.
#include <cstdlib>
#include <cstring>

#include "zek_platform.h"

namespace {

// Per fault kind: calls left until it fires (0: not armed).
std::uint64_t g_faultCountdown[2] = {0, 0};

}  // namespace

void plat_fault_arm(PlatFault fault, std::uint64_t n)
{
    g_faultCountdown[fault] = n;
}

bool plat_fault_fires(PlatFault fault)
{
    std::uint64_t& left = g_faultCountdown[fault];
    if (left == 0)
        return false;
    return --left == 0;
}

bool plat_fault_armed(PlatFault fault)
{
    return g_faultCountdown[fault] != 0;
}

bool plat_stream_write(std::FILE* stream, const void* data, std::size_t size)
{
    if (stream == nullptr)
        return false;
    if (size == 0)
        return true;
    if (plat_fault_fires(PLAT_FAULT_WRITE))
        return false;
    return std::fwrite(data, 1, size, stream) == size;
}

PlatFileResult plat_stream_read_all(std::FILE* stream, std::uint8_t** data, std::uint64_t* size)
{
    *data = nullptr;
    *size = 0;
    if (stream == nullptr)
        return PLAT_FILE_NO_FILE;
    // The size that is left, when the stream can tell it, makes one buffer enough; + 1 for the
    // read that meets the end.
    std::uint64_t capacity = 65536;
    std::int64_t start = plat_stream_tell(stream);
    if (start >= 0 && std::fseek(stream, 0, SEEK_END) == 0) {
        std::int64_t end = plat_stream_tell(stream);
        if (end > start)
            capacity = static_cast<std::uint64_t>(end - start) + 1;
    }
    if (start >= 0 && !plat_stream_seek(stream, start))
        return PLAT_FILE_READ_FAILED;
    std::uint64_t n = 0;
    std::uint8_t* buffer = nullptr;
    for (;;) {
        std::uint8_t* grown = capacity <= SIZE_MAX && !plat_fault_fires(PLAT_FAULT_ALLOCATION)
                                  ? static_cast<std::uint8_t*>(std::realloc(buffer, static_cast<std::size_t>(capacity)))
                                  : nullptr;
        if (grown == nullptr) {
            std::free(buffer);
            return PLAT_FILE_NO_MEMORY;
        }
        buffer = grown;
        n += std::fread(buffer + n, 1, static_cast<std::size_t>(capacity - n), stream);
        if (n < capacity) {
            if (std::ferror(stream)) {
                std::free(buffer);
                return PLAT_FILE_READ_FAILED;
            }
            if (n == 0) {
                std::free(buffer);
                buffer = nullptr;
            }
            *data = buffer;
            *size = n;
            return PLAT_FILE_OK;
        }
        if (capacity > UINT64_MAX / 2) {
            std::free(buffer);
            return PLAT_FILE_NO_MEMORY;
        }
        capacity *= 2;
    }
}

bool plat_same_file(const char* a, const char* b)
{
    PlatFileIdentity first, second;
    return a != nullptr && b != nullptr && plat_file_identity(a, &first) && plat_file_identity(b, &second) &&
           first.volume == second.volume && first.file == second.file;
}
