// Windows implementation of zek_platform.h, over the kernel's own objects: named mappings
// are page-file-backed file mappings, events are named manual-reset events, the pipe is a
// named pipe, children are started with CreateProcessW, each in a job of its own that
// terminating it ends. Windows keeps a named object while some handle to it is open and
// closes the handles of a process that ends, which is the lifetime the header describes.
//
// Every name and path is UTF-8 in the interface and wide characters towards the system.
// Names get the value of ZEK_PLATFORM_NAME_PREFIX (its '/' and '\' turned into '_') in
// front: mapping or event NAME is the object PNAME, pipe "\\.\pipe\REST" is the pipe
// "\\.\pipe\PREST" (a name without that lead is the pipe "\\.\pipe\PNAME").
//
// Error codes are the system's own (GetLastError), texts come from FormatMessageW.
//
// A termination request (a console control event) sets a manual-reset event that every wait
// of this layer watches beside its own handle, so a wait ends as soon as the request comes.
#include "zek_platform.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <shellapi.h>

#include <fcntl.h>
#include <io.h>

namespace {

thread_local std::uint32_t t_last_error = 0;

// The console control event of the first termination request + 1; 0 while none came in.
volatile LONG g_termination_request = 0;
// Called by the first request (plat_termination_notify).
void (*g_termination_notify)() = nullptr;
// Set once a request came in; watched by every wait. Null until plat_termination_watch.
HANDLE g_termination_signal = nullptr;
// Set by plat_termination_ending: the request no longer ends waits.
volatile LONG g_termination_ending = 0;

// The code of a wait that a termination request ended.
constexpr DWORD INTERRUPTED = ERROR_OPERATION_ABORTED;

// The event a wait watches beside its own handle; null when requests do not end waits.
HANDLE termination_watched()
{
    return g_termination_ending != 0 ? nullptr : g_termination_signal;
}

// A wait ends early while a termination request stands, until the ordered ending begins.
bool interrupted_by_termination()
{
    if (g_termination_request == 0 || g_termination_ending != 0)
        return false;
    t_last_error = INTERRUPTED;
    return true;
}

void set_error(DWORD code)
{
    t_last_error = static_cast<std::uint32_t>(code);
}

void set_system_error()
{
    DWORD code = GetLastError();
    set_error(code != 0 ? code : ERROR_GEN_FAILURE);
}

template <typename T>
T* new_record()
{
    T* record = static_cast<T*>(std::calloc(1, sizeof(T)));
    if (record == nullptr)
        set_error(ERROR_NOT_ENOUGH_MEMORY);
    return record;
}

// A copy of the UTF-8 text in wide characters, to be freed with std::free; null (with the
// error set) when the text is no valid UTF-8 or there is no memory.
wchar_t* to_wide(const char* text)
{
    int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
    if (length <= 0) {
        set_system_error();
        return nullptr;
    }
    wchar_t* wide = static_cast<wchar_t*>(std::malloc(static_cast<std::size_t>(length) * sizeof(wchar_t)));
    if (wide == nullptr) {
        set_error(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, wide, length);
    return wide;
}

// Writes the UTF-8 form of the wide text into buffer (capacity > 0). With cut, a text that
// does not fit is cut after its last whole character; without, it fails with ERROR_INSUFFICIENT_BUFFER.
bool to_utf8(const wchar_t* text, int length, char* buffer, std::size_t capacity, bool cut)
{
    int limit = capacity - 1 > static_cast<std::size_t>(INT32_MAX) ? INT32_MAX : static_cast<int>(capacity - 1);
    while (length > 0) {
        int needed = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
        if (needed <= 0) {
            set_system_error();
            buffer[0] = '\0';
            return false;
        }
        if (needed <= limit) {
            WideCharToMultiByte(CP_UTF8, 0, text, length, buffer, needed, nullptr, nullptr);
            buffer[needed] = '\0';
            return true;
        }
        if (!cut) {
            set_error(ERROR_INSUFFICIENT_BUFFER);
            buffer[0] = '\0';
            return false;
        }
        // Drop the last character, both halves of a surrogate pair together.
        --length;
        if (length > 0 && text[length] >= 0xDC00 && text[length] <= 0xDFFF && text[length - 1] >= 0xD800 &&
            text[length - 1] <= 0xDBFF)
            --length;
    }
    buffer[0] = '\0';
    return true;
}

// The test prefix of every name, with '/' and '\' turned into '_' so that it can never
// reach into another namespace; empty when the variable is not set.
void name_prefix(char* out, std::size_t capacity)
{
    // A missing variable is no failure of the caller's call: its error code stays.
    std::uint32_t saved = t_last_error;
    if (!plat_getenv("ZEK_PLATFORM_NAME_PREFIX", out, capacity))
        out[0] = '\0';
    t_last_error = saved;
    for (char* c = out; *c != '\0'; ++c) {
        if (*c == '/' || *c == '\\')
            *c = '_';
    }
}

// The wide form of lead + prefix + name, to be freed with std::free; null when the name is
// empty or not valid UTF-8.
wchar_t* object_name(const char* lead, const char* name)
{
    if (name == nullptr || name[0] == '\0') {
        set_error(ERROR_INVALID_NAME);
        return nullptr;
    }
    char prefix[256];
    name_prefix(prefix, sizeof prefix);
    std::size_t size = std::strlen(lead) + std::strlen(prefix) + std::strlen(name) + 1;
    char* full = static_cast<char*>(std::malloc(size));
    if (full == nullptr) {
        set_error(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    std::snprintf(full, size, "%s%s%s", lead, prefix, name);
    wchar_t* wide = to_wide(full);
    std::free(full);
    return wide;
}

const char PIPE_LEAD[] = "\\\\.\\pipe\\";

// The rest of a pipe name after its lead "\\.\pipe\" (any case), or the whole name.
const char* pipe_rest(const char* name)
{
    if (name != nullptr && _strnicmp(name, PIPE_LEAD, sizeof PIPE_LEAD - 1) == 0)
        return name + sizeof PIPE_LEAD - 1;
    return name;
}

// The exact size of a file-mapping object. The view of a mapping is rounded up to whole
// pages, so the size comes from the section itself (NtQuerySection, SectionBasicInformation:
// base address, attributes, then the 64-bit size); wine reports it in whole pages too. Zero
// when it cannot be asked.
std::uint64_t section_size(HANDLE section)
{
    struct SectionBasicInformation {
        void* base;
        ULONG attributes;
        LARGE_INTEGER size;
    };
    using Query = LONG(WINAPI*)(HANDLE, int, void*, ULONG, ULONG*);
    static Query query = reinterpret_cast<Query>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySection")));
    SectionBasicInformation info{};
    if (query == nullptr || query(section, 0, &info, sizeof info, nullptr) < 0 || info.size.QuadPart < 0)
        return 0;
    return static_cast<std::uint64_t>(info.size.QuadPart);
}

// Waits on one handle and on a termination request; the wait result of the header. The
// handle comes first in the list: when both are signalled, what was awaited happened.
PlatWaitResult wait_handle(HANDLE handle, std::uint32_t timeout_ms)
{
    if (interrupted_by_termination())
        return PLAT_WAIT_FAILED;
    HANDLE waits[2] = {handle, termination_watched()};
    DWORD result = WaitForMultipleObjects(waits[1] != nullptr ? 2 : 1, waits, FALSE, timeout_ms);
    if (result == WAIT_OBJECT_0)
        return PLAT_WAIT_OK;
    if (result == WAIT_TIMEOUT)
        return PLAT_WAIT_TIMEOUT;
    if (result == WAIT_OBJECT_0 + 1) {
        set_error(INTERRUPTED);
        return PLAT_WAIT_FAILED;
    }
    set_system_error();
    return PLAT_WAIT_FAILED;
}

} // namespace

// ---- Mappings -------------------------------------------------------------------------

struct PlatMapping {
    void* data;         // null when size is 0
    std::size_t size;
    HANDLE section;     // the held named mapping; null for a file mapping
};

namespace {

PlatMapping* map_section(HANDLE section, std::size_t size, DWORD access)
{
    PlatMapping* mapping = new_record<PlatMapping>();
    void* data = nullptr;
    if (mapping != nullptr && size > 0) {
        data = MapViewOfFile(section, access, 0, 0, size);
        if (data == nullptr) {
            set_system_error();
            std::free(mapping);
            mapping = nullptr;
        }
    }
    if (mapping == nullptr) {
        CloseHandle(section);
        return nullptr;
    }
    mapping->data = data;
    mapping->size = size;
    mapping->section = section;
    return mapping;
}

} // namespace

PlatMapping* plat_mapping_create(const char* name, std::size_t size)
{
    if (size == 0 || static_cast<std::uint64_t>(size) >> 63 != 0) {
        set_error(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    wchar_t* wide = object_name("", name);
    if (wide == nullptr)
        return nullptr;
    std::uint64_t size64 = size;
    // A new page-file-backed mapping is zero-filled.
    HANDLE section = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE,
                                        static_cast<DWORD>(size64 >> 32), static_cast<DWORD>(size64), wide);
    DWORD created = GetLastError();
    std::free(wide);
    if (section == nullptr) {
        set_system_error();
        return nullptr;
    }
    // A live mapping keeps the size it was made with; Windows cannot grow it, so one smaller
    // than asked for is refused rather than mapped short.
    if (created == ERROR_ALREADY_EXISTS) {
        std::uint64_t existing = section_size(section);
        if (existing != 0 && existing < size64) {
            CloseHandle(section);
            set_error(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
    }
    return map_section(section, size, FILE_MAP_ALL_ACCESS);
}

PlatMapping* plat_mapping_open(const char* name)
{
    wchar_t* wide = object_name("", name);
    if (wide == nullptr)
        return nullptr;
    HANDLE section = OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, wide);
    std::free(wide);
    if (section == nullptr) {
        set_system_error();
        return nullptr;
    }
    std::uint64_t size = section_size(section);
    if (size == 0) {
        // Without the section's size, the whole view's size (whole pages) stands for it.
        void* view = MapViewOfFile(section, FILE_MAP_ALL_ACCESS, 0, 0, 0);
        MEMORY_BASIC_INFORMATION info{};
        if (view == nullptr || VirtualQuery(view, &info, sizeof info) == 0) {
            set_system_error();
            if (view != nullptr)
                UnmapViewOfFile(view);
            CloseHandle(section);
            return nullptr;
        }
        PlatMapping* mapping = new_record<PlatMapping>();
        if (mapping == nullptr) {
            UnmapViewOfFile(view);
            CloseHandle(section);
            return nullptr;
        }
        mapping->data = view;
        mapping->size = info.RegionSize;
        mapping->section = section;
        return mapping;
    }
    if (size > SIZE_MAX) {
        CloseHandle(section);
        set_error(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return map_section(section, static_cast<std::size_t>(size), FILE_MAP_ALL_ACCESS);
}

PlatMapping* plat_mapping_open_file(const char* path)
{
    if (path == nullptr) {
        set_error(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    wchar_t* wide = to_wide(path);
    if (wide == nullptr)
        return nullptr;
    // Others may read the file too but not write it: it must not shrink under the view.
    HANDLE file = CreateFileW(wide, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    std::free(wide);
    if (file == INVALID_HANDLE_VALUE) {
        set_system_error();
        return nullptr;
    }
    DWORD error = 0;
    LARGE_INTEGER size{};
    if (GetFileType(file) != FILE_TYPE_DISK)
        error = ERROR_INVALID_PARAMETER;
    else if (!GetFileSizeEx(file, &size))
        error = GetLastError();
    else if (static_cast<std::uint64_t>(size.QuadPart) > SIZE_MAX)
        error = ERROR_FILE_TOO_LARGE;
    void* data = nullptr;
    // An empty file cannot be mapped at all; it is the mapping of size 0.
    if (error == 0 && size.QuadPart > 0) {
        HANDLE section = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
        if (section == nullptr) {
            error = GetLastError();
        } else {
            data = MapViewOfFile(section, FILE_MAP_READ, 0, 0, static_cast<SIZE_T>(size.QuadPart));
            if (data == nullptr)
                error = GetLastError();
            // The view keeps the section and the file open.
            CloseHandle(section);
        }
    }
    CloseHandle(file);
    PlatMapping* mapping = error == 0 ? new_record<PlatMapping>() : nullptr;
    if (mapping == nullptr) {
        if (error != 0)
            set_error(error);
        if (data != nullptr)
            UnmapViewOfFile(data);
        return nullptr;
    }
    mapping->data = data;
    mapping->size = static_cast<std::size_t>(size.QuadPart);
    mapping->section = nullptr;
    return mapping;
}

void* plat_mapping_data(const PlatMapping* mapping)
{
    return mapping->data;
}

std::size_t plat_mapping_size(const PlatMapping* mapping)
{
    return mapping->size;
}

void plat_mapping_close(PlatMapping* mapping)
{
    if (mapping == nullptr)
        return;
    if (mapping->data != nullptr)
        UnmapViewOfFile(mapping->data);
    if (mapping->section != nullptr)
        CloseHandle(mapping->section);
    std::free(mapping);
}

// ---- Events ---------------------------------------------------------------------------

struct PlatEvent {
    HANDLE handle;
};

namespace {

PlatEvent* event_record(HANDLE handle)
{
    if (handle == nullptr) {
        set_system_error();
        return nullptr;
    }
    PlatEvent* event = new_record<PlatEvent>();
    if (event == nullptr) {
        CloseHandle(handle);
        return nullptr;
    }
    event->handle = handle;
    return event;
}

} // namespace

PlatEvent* plat_event_create(const char* name)
{
    wchar_t* wide = object_name("", name);
    if (wide == nullptr)
        return nullptr;
    // Manual reset, not signalled; an existing event is opened as it is.
    HANDLE handle = CreateEventW(nullptr, TRUE, FALSE, wide);
    std::free(wide);
    return event_record(handle);
}

PlatEvent* plat_event_open(const char* name)
{
    wchar_t* wide = object_name("", name);
    if (wide == nullptr)
        return nullptr;
    HANDLE handle = OpenEventW(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, wide);
    std::free(wide);
    return event_record(handle);
}

bool plat_event_set(PlatEvent* event)
{
    if (!SetEvent(event->handle)) {
        set_system_error();
        return false;
    }
    return true;
}

bool plat_event_reset(PlatEvent* event)
{
    if (!ResetEvent(event->handle)) {
        set_system_error();
        return false;
    }
    return true;
}

PlatWaitResult plat_event_wait(PlatEvent* event, std::uint32_t timeout_ms)
{
    // PLAT_INFINITE is INFINITE; a set releases every waiter at once, even when a reset
    // follows right after it.
    return wait_handle(event->handle, timeout_ms);
}

void plat_event_close(PlatEvent* event)
{
    if (event == nullptr)
        return;
    CloseHandle(event->handle);
    std::free(event);
}

// ---- Pipe -----------------------------------------------------------------------------
// Both ends use overlapped I/O, so that the server's wait for its client can end with a
// time-out or with the child; reads and writes wait for their own completion and so block
// as the header says.

struct PlatPipe {
    HANDLE handle;
    HANDLE io_done;      // manual-reset event of the one operation in flight
    OVERLAPPED io;
    bool server;
    bool connected;
    bool connect_pending; // the server's ConnectNamedPipe has not completed yet
};

namespace {

// The buffers are advisory for Windows; with room for a request line, a write never waits
// for the reader, as on the other systems.
constexpr DWORD PIPE_BUFFER_SIZE = 65536;

PlatPipe* pipe_record(HANDLE handle, bool server)
{
    PlatPipe* pipe = new_record<PlatPipe>();
    HANDLE io_done = pipe != nullptr ? CreateEventW(nullptr, TRUE, FALSE, nullptr) : nullptr;
    if (pipe != nullptr && io_done == nullptr)
        set_system_error();
    if (io_done == nullptr) {
        std::free(pipe);
        CloseHandle(handle);
        return nullptr;
    }
    pipe->handle = handle;
    pipe->io_done = io_done;
    pipe->server = server;
    pipe->connected = !server;
    return pipe;
}

void start_io(PlatPipe* pipe)
{
    std::memset(&pipe->io, 0, sizeof pipe->io);
    ResetEvent(pipe->io_done);
    pipe->io.hEvent = pipe->io_done;
}

// Starts the server's wait for a client, unless one is under way: 1 when the client has
// come, 0 while the wait goes on, -1 on failure.
int start_connect(PlatPipe* pipe)
{
    if (pipe->connected)
        return 1;
    if (pipe->connect_pending)
        return 0;
    start_io(pipe);
    if (ConnectNamedPipe(pipe->handle, &pipe->io)) {
        pipe->connected = true;
        return 1;
    }
    DWORD error = GetLastError();
    if (error == ERROR_IO_PENDING) {
        pipe->connect_pending = true;
        return 0;
    }
    // A client that connected before (and may have closed again since) is the client.
    if (error == ERROR_PIPE_CONNECTED || error == ERROR_NO_DATA) {
        pipe->connected = true;
        return 1;
    }
    set_error(error);
    return -1;
}

// Collects the result of the pending connect once its event is set: 1 connected, -1 failed.
int finish_connect(PlatPipe* pipe)
{
    DWORD ignored = 0;
    pipe->connect_pending = false;
    if (GetOverlappedResult(pipe->handle, &pipe->io, &ignored, FALSE) || GetLastError() == ERROR_PIPE_CONNECTED ||
        GetLastError() == ERROR_NO_DATA) {
        pipe->connected = true;
        return 1;
    }
    set_system_error();
    return -1;
}

// Ends an operation still in flight before its record goes away.
void cancel_io(PlatPipe* pipe)
{
    if (!pipe->connect_pending)
        return;
    DWORD ignored = 0;
    CancelIoEx(pipe->handle, &pipe->io);
    GetOverlappedResult(pipe->handle, &pipe->io, &ignored, TRUE);
    pipe->connect_pending = false;
}

// Runs one read or write to its end; the byte count, or -1 with the error set. The code of a
// peer that has gone is reported as ERROR_BROKEN_PIPE whichever way the system says it.
// An interruptible operation (a read) ends early on a termination request: it is cancelled,
// and bytes it had read already are still its result.
std::int64_t complete_io(PlatPipe* pipe, BOOL started, bool interruptible)
{
    DWORD done = 0;
    if (!started && GetLastError() != ERROR_IO_PENDING) {
        DWORD error = GetLastError();
        set_error(error == ERROR_NO_DATA || error == ERROR_PIPE_NOT_CONNECTED ? ERROR_BROKEN_PIPE : error);
        return -1;
    }
    HANDLE waits[2] = {pipe->io_done, interruptible ? termination_watched() : nullptr};
    if (!started && waits[1] != nullptr &&
        WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0 + 1 &&
        WaitForSingleObject(pipe->io_done, 0) != WAIT_OBJECT_0) {
        CancelIoEx(pipe->handle, &pipe->io);
        if (GetOverlappedResult(pipe->handle, &pipe->io, &done, TRUE) && done > 0)
            return done;
        set_error(INTERRUPTED);
        return -1;
    }
    if (!GetOverlappedResult(pipe->handle, &pipe->io, &done, TRUE)) {
        DWORD error = GetLastError();
        set_error(error == ERROR_NO_DATA || error == ERROR_PIPE_NOT_CONNECTED ? ERROR_BROKEN_PIPE : error);
        return -1;
    }
    return done;
}

} // namespace

bool plat_pipe_path(const char* name, char* buffer, std::size_t capacity)
{
    if (name == nullptr || name[0] == '\0' || buffer == nullptr) {
        set_error(ERROR_INVALID_NAME);
        return false;
    }
    char prefix[256];
    name_prefix(prefix, sizeof prefix);
    int length = std::snprintf(buffer, capacity, "%s%s%s", PIPE_LEAD, prefix, pipe_rest(name));
    if (length < 0 || static_cast<std::size_t>(length) >= capacity) {
        set_error(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    return true;
}

PlatPipe* plat_pipe_create(const char* name)
{
    char path[512];
    if (!plat_pipe_path(name, path, sizeof path))
        return nullptr;
    wchar_t* wide = to_wide(path);
    if (wide == nullptr)
        return nullptr;
    // One instance and the first one: a live server of the name makes this fail.
    HANDLE handle = CreateNamedPipeW(wide, PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE | FILE_FLAG_OVERLAPPED,
                                     PIPE_TYPE_MESSAGE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
                                     1, PIPE_BUFFER_SIZE, PIPE_BUFFER_SIZE, 0, nullptr);
    std::free(wide);
    if (handle == INVALID_HANDLE_VALUE) {
        set_system_error();
        return nullptr;
    }
    return pipe_record(handle, true);
}

PlatWaitResult plat_pipe_accept(PlatPipe* pipe, std::uint32_t timeout_ms)
{
    if (pipe->connected)
        return PLAT_WAIT_OK;
    if (!pipe->server) {
        set_error(ERROR_INVALID_PARAMETER);
        return PLAT_WAIT_FAILED;
    }
    int started = start_connect(pipe);
    if (started != 0)
        return started > 0 ? PLAT_WAIT_OK : PLAT_WAIT_FAILED;
    PlatWaitResult waited = wait_handle(pipe->io_done, timeout_ms);
    if (waited != PLAT_WAIT_OK)
        return waited;
    return finish_connect(pipe) > 0 ? PLAT_WAIT_OK : PLAT_WAIT_FAILED;
}

PlatPipe* plat_pipe_connect(const char* name)
{
    char path[512];
    if (!plat_pipe_path(name, path, sizeof path))
        return nullptr;
    wchar_t* wide = to_wide(path);
    if (wide == nullptr)
        return nullptr;
    // No wait for a busy server: a name without a free instance fails at once.
    HANDLE handle = CreateFileW(wide, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                                nullptr);
    std::free(wide);
    if (handle == INVALID_HANDLE_VALUE) {
        set_system_error();
        return nullptr;
    }
    return pipe_record(handle, false);
}

bool plat_pipe_write(PlatPipe* pipe, const void* data, std::size_t size)
{
    if (!pipe->connected) {
        set_error(ERROR_PIPE_NOT_CONNECTED);
        return false;
    }
    const char* next = static_cast<const char*>(data);
    while (size > 0) {
        DWORD chunk = size > 0x10000000u ? 0x10000000u : static_cast<DWORD>(size);
        start_io(pipe);
        std::int64_t written = complete_io(pipe, WriteFile(pipe->handle, next, chunk, nullptr, &pipe->io), false);
        if (written < 0)
            return false;
        next += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

std::int64_t plat_pipe_read(PlatPipe* pipe, void* buffer, std::size_t capacity)
{
    if (!pipe->connected || capacity == 0) {
        set_error(!pipe->connected ? ERROR_PIPE_NOT_CONNECTED : ERROR_INVALID_PARAMETER);
        return -1;
    }
    DWORD chunk = capacity > 0x10000000u ? 0x10000000u : static_cast<DWORD>(capacity);
    for (;;) {
        if (interrupted_by_termination())
            return -1;
        start_io(pipe);
        std::int64_t got = complete_io(pipe, ReadFile(pipe->handle, buffer, chunk, nullptr, &pipe->io), true);
        if (got < 0)
            return t_last_error == ERROR_BROKEN_PIPE ? 0 : -1;
        // A message of no bytes is no end of the stream; the end is the broken pipe.
        if (got > 0)
            return got;
    }
}

void plat_pipe_close(PlatPipe* pipe)
{
    if (pipe == nullptr)
        return;
    cancel_io(pipe);
    // Closing without DisconnectNamedPipe: bytes written last (the "shutdown" line) stay
    // readable for the peer, which then sees the end of the stream.
    CloseHandle(pipe->handle);
    CloseHandle(pipe->io_done);
    std::free(pipe);
}

// ---- Child processes ------------------------------------------------------------------

struct PlatProcess {
    HANDLE process;
    HANDLE thread;
    // The job that holds the child and every process it starts; null where the child cannot
    // be put in a job of its own (a system without nested jobs, when the host runs in one).
    HANDLE job;
    DWORD id;
};

namespace {

// Appends one argument to the command line so that the C runtime's parsing of the child
// gives it back unchanged: quoted when it is empty or holds blanks or quotes, backslashes
// doubled before a quote, quotes escaped.
void append_argument(wchar_t* line, std::size_t* used, const wchar_t* arg, bool program)
{
    std::size_t at = *used;
    if (at > 0)
        line[at++] = L' ';
    bool quote = program || arg[0] == L'\0' || std::wcspbrk(arg, L" \t\n\v\"") != nullptr;
    if (quote)
        line[at++] = L'"';
    std::size_t backslashes = 0;
    for (const wchar_t* c = arg; *c != L'\0'; ++c) {
        if (*c == L'\\') {
            ++backslashes;
        } else {
            if (*c == L'"' && !program) {
                for (std::size_t i = 0; i <= backslashes; ++i)
                    line[at++] = L'\\';
            }
            backslashes = 0;
        }
        line[at++] = *c;
    }
    if (quote) {
        // Backslashes before the closing quote are doubled so that they stay backslashes.
        for (std::size_t i = 0; i < backslashes && !program; ++i)
            line[at++] = L'\\';
        line[at++] = L'"';
    }
    line[at] = L'\0';
    *used = at;
}

// The command line of argv, to be freed with std::free; null on failure.
wchar_t* command_line(const char* const* argv)
{
    std::size_t capacity = 1;
    std::size_t count = 0;
    for (; argv[count] != nullptr; ++count) {
        // Every character may need its escape; quotes and the blank come on top.
        capacity += 2 * std::strlen(argv[count]) + 4;
    }
    // The program's name is taken up to the next quote: it cannot hold one.
    if (std::strchr(argv[0], '"') != nullptr || capacity > 32767) {
        set_error(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    wchar_t* line = static_cast<wchar_t*>(std::malloc(capacity * sizeof(wchar_t)));
    if (line == nullptr) {
        set_error(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    line[0] = L'\0';
    std::size_t used = 0;
    for (std::size_t i = 0; i < count; ++i) {
        wchar_t* wide = to_wide(argv[i]);
        if (wide == nullptr) {
            std::free(line);
            return nullptr;
        }
        append_argument(line, &used, wide, i == 0);
        std::free(wide);
    }
    return line;
}

// An inheritable duplicate of one of this process's standard handles; null when it has none.
HANDLE inheritable_copy(DWORD which)
{
    HANDLE own = GetStdHandle(which);
    HANDLE copy = nullptr;
    if (own == nullptr || own == INVALID_HANDLE_VALUE ||
        !DuplicateHandle(GetCurrentProcess(), own, GetCurrentProcess(), &copy, 0, TRUE, DUPLICATE_SAME_ACCESS))
        return nullptr;
    return copy;
}

// A job for a new child: processes the child starts join it, unless they ask to leave it.
// Null when the system gives none.
HANDLE child_job()
{
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    if (job == nullptr)
        return nullptr;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_BREAKAWAY_OK;
    SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
    return job;
}

} // namespace

PlatProcess* plat_process_start(const char* const* argv)
{
    if (argv == nullptr || argv[0] == nullptr || argv[0][0] == '\0') {
        set_error(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    wchar_t* line = command_line(argv);
    if (line == nullptr)
        return nullptr;
    PlatProcess* process = new_record<PlatProcess>();
    if (process == nullptr) {
        std::free(line);
        return nullptr;
    }
    // The child inherits exactly three handles: the null device as standard input and our
    // standard output and error. The handle list keeps back every other inheritable handle
    // that other code of the host may hold.
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE handles[3] = {
        CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr),
        inheritable_copy(STD_OUTPUT_HANDLE), inheritable_copy(STD_ERROR_HANDLE)};
    if (handles[0] == INVALID_HANDLE_VALUE)
        handles[0] = nullptr;
    HANDLE listed[3];
    DWORD count = 0;
    for (HANDLE handle : handles) {
        if (handle != nullptr)
            listed[count++] = handle;
    }
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = handles[0];
    startup.StartupInfo.hStdOutput = handles[1];
    startup.StartupInfo.hStdError = handles[2];
    SIZE_T attribute_size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &attribute_size);
    void* attributes = count > 0 ? std::malloc(attribute_size) : nullptr;
    // A console program gets a console of its own without a window: the console events of the
    // host's console do not reach it, and no window opens for it.
    // The child starts suspended, so that it is in its job before it can start a process.
    DWORD flags = CREATE_NO_WINDOW | CREATE_SUSPENDED;
    if (attributes != nullptr) {
        auto* list = static_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributes);
        if (InitializeProcThreadAttributeList(list, 1, 0, &attribute_size)) {
            if (UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, listed, count * sizeof(HANDLE),
                                          nullptr, nullptr)) {
                startup.lpAttributeList = list;
                flags |= EXTENDED_STARTUPINFO_PRESENT;
            } else {
                DeleteProcThreadAttributeList(list);
            }
        }
    }
    PROCESS_INFORMATION info{};
    BOOL started = CreateProcessW(nullptr, line, nullptr, nullptr, count > 0, flags, nullptr, nullptr,
                                  &startup.StartupInfo, &info);
    DWORD error = started ? 0 : GetLastError();
    if (startup.lpAttributeList != nullptr)
        DeleteProcThreadAttributeList(startup.lpAttributeList);
    std::free(attributes);
    for (HANDLE handle : handles) {
        if (handle != nullptr)
            CloseHandle(handle);
    }
    std::free(line);
    if (!started) {
        set_error(error != 0 ? error : ERROR_GEN_FAILURE);
        std::free(process);
        return nullptr;
    }
    // A child that cannot have a job of its own runs without (terminating it then ends the
    // child alone).
    HANDLE job = child_job();
    if (job != nullptr && !AssignProcessToJobObject(job, info.hProcess)) {
        CloseHandle(job);
        job = nullptr;
    }
    process->job = job;
    process->process = info.hProcess;
    process->thread = info.hThread;
    process->id = info.dwProcessId;
    if (ResumeThread(info.hThread) == static_cast<DWORD>(-1)) {
        set_system_error();
        TerminateProcess(info.hProcess, 137);
        plat_process_close(process);
        return nullptr;
    }
    return process;
}

PlatWaitResult plat_pipe_accept_child(PlatPipe* pipe, PlatProcess* child, std::uint32_t timeout_ms)
{
    if (pipe->connected)
        return PLAT_WAIT_OK;
    if (!pipe->server || child == nullptr) {
        set_error(ERROR_INVALID_PARAMETER);
        return PLAT_WAIT_FAILED;
    }
    int started = start_connect(pipe);
    if (started != 0)
        return started > 0 ? PLAT_WAIT_OK : PLAT_WAIT_FAILED;
    if (interrupted_by_termination())
        return PLAT_WAIT_FAILED;
    HANDLE waits[3] = {pipe->io_done, child->process, termination_watched()};
    // The connect comes first in the list: a client that came before the child ended wins.
    DWORD result = WaitForMultipleObjects(waits[2] != nullptr ? 3 : 2, waits, FALSE, timeout_ms);
    if (result != WAIT_OBJECT_0 && result != WAIT_TIMEOUT && WaitForSingleObject(pipe->io_done, 0) == WAIT_OBJECT_0)
        result = WAIT_OBJECT_0;
    if (result == WAIT_OBJECT_0)
        return finish_connect(pipe) > 0 ? PLAT_WAIT_OK : PLAT_WAIT_FAILED;
    if (result == WAIT_OBJECT_0 + 2) {
        set_error(INTERRUPTED);
        return PLAT_WAIT_FAILED;
    }
    if (result == WAIT_OBJECT_0 + 1) {
        set_error(ERROR_BROKEN_PIPE);
        return PLAT_WAIT_FAILED;
    }
    if (result == WAIT_TIMEOUT) {
        set_error(WAIT_TIMEOUT);
        return PLAT_WAIT_TIMEOUT;
    }
    set_system_error();
    return PLAT_WAIT_FAILED;
}

std::uint32_t plat_process_id(const PlatProcess* process)
{
    return process->id;
}

bool plat_process_running(PlatProcess* process)
{
    return WaitForSingleObject(process->process, 0) == WAIT_TIMEOUT;
}

PlatWaitResult plat_process_wait(PlatProcess* process, std::uint32_t timeout_ms)
{
    return wait_handle(process->process, timeout_ms);
}

int plat_process_exit_code(PlatProcess* process)
{
    // STILL_ACTIVE is also a possible exit code, so the end is asked of the handle.
    DWORD code = 0;
    if (plat_process_running(process) || !GetExitCodeProcess(process->process, &code))
        return -1;
    return static_cast<int>(code);
}

bool plat_process_terminate(PlatProcess* process)
{
    if (!plat_process_running(process))
        return true;
    // 128 + 9, the code of a child ended this way on the other systems. The job ends the
    // processes the child started as well: one of them that outlived the child would keep
    // what it inherited, the host's standard output and error among them.
    BOOL ended = process->job != nullptr ? TerminateJobObject(process->job, 137) : FALSE;
    if (!ended && !TerminateProcess(process->process, 137)) {
        DWORD error = GetLastError();
        // Access is denied to a process that is ending already.
        if (!plat_process_running(process))
            return true;
        set_error(error);
        return false;
    }
    return true;
}

void plat_process_close(PlatProcess* process)
{
    if (process == nullptr)
        return;
    if (process->job != nullptr)
        CloseHandle(process->job);
    CloseHandle(process->thread);
    CloseHandle(process->process);
    std::free(process);
}

// ---- Time, environment, errors --------------------------------------------------------

std::uint64_t plat_tick_ms()
{
    // Its low 32 bits are GetTickCount(); the 64 bits do not wrap after 49 days.
    return GetTickCount64();
}

bool plat_getenv(const char* name, char* buffer, std::size_t capacity)
{
    wchar_t* wide = name != nullptr && name[0] != '\0' ? to_wide(name) : nullptr;
    if (wide == nullptr) {
        set_error(ERROR_ENVVAR_NOT_FOUND);
        return false;
    }
    wchar_t small[512];
    wchar_t* value = small;
    DWORD room = sizeof small / sizeof small[0];
    bool found = false;
    for (int attempt = 0; attempt < 3; ++attempt) {
        SetLastError(0);
        DWORD length = GetEnvironmentVariableW(wide, value, room);
        if (length == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND)
            break;
        if (length < room) {
            found = true;
            value[length] = L'\0';
            break;
        }
        // Too small: length is the room needed, with its NUL.
        if (value != small)
            std::free(value);
        value = static_cast<wchar_t*>(std::malloc(static_cast<std::size_t>(length) * sizeof(wchar_t)));
        room = length;
        if (value == nullptr)
            break;
    }
    std::free(wide);
    bool copied = false;
    if (!found) {
        set_error(value == nullptr ? ERROR_NOT_ENOUGH_MEMORY : ERROR_ENVVAR_NOT_FOUND);
    } else if (buffer == nullptr || capacity == 0) {
        set_error(ERROR_INSUFFICIENT_BUFFER);
    } else {
        copied = to_utf8(value, static_cast<int>(std::wcslen(value)), buffer, capacity, false);
    }
    if (value != small)
        std::free(value);
    return copied;
}

namespace {

// ".zek", 16 hexadecimal digits, ".tmp".
constexpr std::size_t TEMPORARY_NAME_LENGTH = 24;
// Names tried before giving up; each one is taken only by chance, so a few are plenty.
constexpr int TEMPORARY_NAME_ATTEMPTS = 64;

volatile LONG64 g_temporary_count = 0;

// 64 bits that differ from call to call and from process to process. Uniqueness itself comes
// from the exclusive creation; these bits only make a taken name unlikely.
std::uint64_t temporary_name_bits()
{
    LARGE_INTEGER counter{};
    QueryPerformanceCounter(&counter);
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    std::uint64_t x = (static_cast<std::uint64_t>(now.dwHighDateTime) << 32 | now.dwLowDateTime) ^
                      static_cast<std::uint64_t>(counter.QuadPart);
    x ^= static_cast<std::uint64_t>(GetCurrentProcessId()) << 40;
    x += static_cast<std::uint64_t>(InterlockedIncrement64(&g_temporary_count)) * 0x9E3779B97F4A7C15u;
    // The finaliser of splitmix64: every input bit reaches every output bit.
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9u;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBu;
    return x ^ (x >> 31);
}

} // namespace

std::FILE* plat_temporary_file_create(const char* beside, char** path)
{
    if (path != nullptr)
        *path = nullptr;
    if (beside == nullptr || path == nullptr) {
        set_error(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    // The folder ends at the last separator of either kind, or at the drive of "C:name".
    std::size_t folder = 0;
    for (std::size_t i = 0; beside[i] != '\0'; ++i)
        if (beside[i] == '/' || beside[i] == '\\' || beside[i] == ':')
            folder = i + 1;
    char* name = static_cast<char*>(std::malloc(folder + TEMPORARY_NAME_LENGTH + 1));
    if (name == nullptr) {
        set_error(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    std::memcpy(name, beside, folder);
    // Every name tried was taken, unless a failure of another kind ends the search.
    DWORD error = ERROR_FILE_EXISTS;
    for (int attempt = 0; attempt < TEMPORARY_NAME_ATTEMPTS; ++attempt) {
        std::snprintf(name + folder, TEMPORARY_NAME_LENGTH + 1, ".zek%016llx.tmp",
                      static_cast<unsigned long long>(temporary_name_bits()));
        wchar_t* wide = to_wide(name);
        if (wide == nullptr) {
            error = t_last_error;
            break;
        }
        // CREATE_NEW: a name that exists in any form, a link included, is refused, never
        // followed. The handle is not inherited by children.
        HANDLE file = CreateFileW(wide, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        DWORD created = file != INVALID_HANDLE_VALUE ? ERROR_SUCCESS : GetLastError();
        if (created == ERROR_FILE_EXISTS || created == ERROR_ALREADY_EXISTS) {
            std::free(wide);
            continue;
        }
        if (created != ERROR_SUCCESS) {
            std::free(wide);
            error = created != 0 ? created : ERROR_GEN_FAILURE;
            break;
        }
        // The C runtime's descriptor takes the handle over, and the stream the descriptor.
        int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_WRONLY | _O_BINARY);
        std::FILE* stream = fd != -1 ? _fdopen(fd, "wb") : nullptr;
        if (stream != nullptr) {
            std::free(wide);
            *path = name;
            return stream;
        }
        error = ERROR_NOT_ENOUGH_MEMORY;
        if (fd != -1)
            _close(fd);
        else
            CloseHandle(file);
        DeleteFileW(wide);
        std::free(wide);
        break;
    }
    set_error(error);
    std::free(name);
    return nullptr;
}

bool plat_file_replace(const char* from, const char* to)
{
    if (from == nullptr || to == nullptr) {
        set_error(ERROR_INVALID_PARAMETER);
        return false;
    }
    wchar_t* wide_from = to_wide(from);
    wchar_t* wide_to = wide_from != nullptr ? to_wide(to) : nullptr;
    // A plain rename (MoveFileW, the C runtime's rename) refuses an existing target.
    bool moved = wide_to != nullptr && MoveFileExW(wide_from, wide_to, MOVEFILE_REPLACE_EXISTING);
    if (wide_to != nullptr && !moved)
        set_system_error();
    std::free(wide_from);
    std::free(wide_to);
    return moved;
}

void* plat_large_block_alloc(std::size_t size)
{
    // Reserved and committed at the allocation granularity of 64 KiB; pages are zero-filled
    // on first touch.
    void* block = VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (block == nullptr)
        set_system_error();
    return block;
}

void plat_large_block_free(void* block, std::size_t)
{
    if (block != nullptr)
        VirtualFree(block, 0, MEM_RELEASE);
}

bool plat_file_remove(const char* path)
{
    wchar_t* wide = path != nullptr ? to_wide(path) : nullptr;
    if (wide == nullptr) {
        if (path == nullptr)
            set_error(ERROR_INVALID_PARAMETER);
        return false;
    }
    bool removed = DeleteFileW(wide) != 0;
    if (!removed)
        set_system_error();
    std::free(wide);
    return removed;
}

std::uint32_t plat_error_broken_pipe()
{
    return ERROR_BROKEN_PIPE;
}

std::uint32_t plat_last_error()
{
    return t_last_error;
}

void plat_error_text(std::uint32_t code, char* buffer, std::size_t capacity)
{
    if (buffer == nullptr || capacity == 0)
        return;
    buffer[0] = '\0';
    if (code == 0)
        return;
    wchar_t text[1024];
    DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    DWORD room = sizeof text / sizeof text[0];
    // The user's default language, else whatever language the system has the text in.
    DWORD length = FormatMessageW(flags, nullptr, code, LANG_USER_DEFAULT, text, room, nullptr);
    if (length == 0)
        length = FormatMessageW(flags, nullptr, code, 0, text, room, nullptr);
    // The system's texts end with a line break, which a message of ours does not want.
    while (length > 0 && (text[length - 1] == L'\r' || text[length - 1] == L'\n' || text[length - 1] == L' '))
        --length;
    if (length == 0) {
        std::snprintf(buffer, capacity, "Unknown error %lu", static_cast<unsigned long>(code));
        return;
    }
    DWORD saved = t_last_error;
    to_utf8(text, static_cast<int>(length), buffer, capacity, true);
    t_last_error = saved;
}

// ---- Files ----------------------------------------------------------------------------

namespace {

// Opens the existing file path for reading, or for its attributes only (access 0). Folders
// open too, so that their identity can be had and they can be told apart.
HANDLE open_existing(const char* path, DWORD access)
{
    wchar_t* wide = path != nullptr ? to_wide(path) : nullptr;
    if (wide == nullptr) {
        if (path == nullptr)
            set_error(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE file = CreateFileW(wide, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        set_system_error();
    std::free(wide);
    return file;
}

} // namespace

PlatFileResult plat_file_read_all(const char* path, std::uint8_t** data, std::uint64_t* size)
{
    *data = nullptr;
    *size = 0;
    HANDLE file = open_existing(path, GENERIC_READ);
    if (file == INVALID_HANDLE_VALUE)
        return PLAT_FILE_NO_FILE;
    BY_HANDLE_FILE_INFORMATION info{};
    LARGE_INTEGER length{};
    PlatFileResult result = PLAT_FILE_OK;
    // A pipe, console or device is refused before anything is read from it.
    if (GetFileType(file) != FILE_TYPE_DISK) {
        set_error(ERROR_INVALID_PARAMETER);
        result = PLAT_FILE_NOT_REGULAR;
    } else if (!GetFileInformationByHandle(file, &info) || !GetFileSizeEx(file, &length)) {
        set_system_error();
        result = PLAT_FILE_READ_FAILED;
    } else if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        set_error(ERROR_DIRECTORY);
        result = PLAT_FILE_DIRECTORY;
    }
    std::uint64_t total = static_cast<std::uint64_t>(length.QuadPart);
    std::uint8_t* buffer = nullptr;
    if (result == PLAT_FILE_OK && total > 0) {
        if (total > SIZE_MAX || plat_fault_fires(PLAT_FAULT_ALLOCATION) ||
            (buffer = static_cast<std::uint8_t*>(std::malloc(static_cast<std::size_t>(total)))) == nullptr) {
            set_error(ERROR_NOT_ENOUGH_MEMORY);
            result = PLAT_FILE_NO_MEMORY;
        }
    }
    // The size is what the file holds now; a file that comes up short was cut while it was read.
    std::uint64_t done = 0;
    while (result == PLAT_FILE_OK && done < total) {
        DWORD chunk = static_cast<DWORD>(total - done < (1u << 30) ? total - done : (1u << 30));
        DWORD got = 0;
        if (!ReadFile(file, buffer + done, chunk, &got, nullptr) || got == 0) {
            if (got == 0)
                set_error(ERROR_HANDLE_EOF);
            else
                set_system_error();
            result = PLAT_FILE_READ_FAILED;
            break;
        }
        done += got;
    }
    CloseHandle(file);
    if (result != PLAT_FILE_OK) {
        std::free(buffer);
        return result;
    }
    *data = buffer;
    *size = total;
    return PLAT_FILE_OK;
}

bool plat_stream_seek(std::FILE* stream, std::int64_t position)
{
    return stream != nullptr && _fseeki64(stream, position, SEEK_SET) == 0;
}

std::int64_t plat_stream_tell(std::FILE* stream)
{
    return stream != nullptr ? static_cast<std::int64_t>(_ftelli64(stream)) : -1;
}

bool plat_file_identity(const char* path, PlatFileIdentity* identity)
{
    HANDLE file = open_existing(path, 0);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION info{};
    bool known = GetFileInformationByHandle(file, &info);
    if (!known)
        set_system_error();
    CloseHandle(file);
    if (!known)
        return false;
    identity->volume = info.dwVolumeSerialNumber;
    identity->file = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return true;
}

// ---- Termination requests -------------------------------------------------------------

namespace {

// Runs on a thread of its own that the system starts for each console control event.
BOOL WINAPI on_console_control(DWORD type)
{
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT && type != CTRL_CLOSE_EVENT)
        return FALSE;
    if (InterlockedCompareExchange(&g_termination_request, static_cast<LONG>(type) + 1, 0) != 0) {
        // The second request: the system's own handler ends the process at once.
        return FALSE;
    }
    if (g_termination_notify != nullptr)
        g_termination_notify();
    SetEvent(g_termination_signal);
    // The process ends when this handler returns from a close event (or after the system's
    // grace of a few seconds): the handler waits there, and the program's ordered end, which
    // ends the process, comes first.
    if (type == CTRL_CLOSE_EVENT)
        Sleep(INFINITE);
    return TRUE;
}

} // namespace

void plat_termination_watch()
{
    if (g_termination_signal == nullptr)
        g_termination_signal = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    // A Ctrl+C that the process was started to ignore is a request too from now on.
    SetConsoleCtrlHandler(nullptr, FALSE);
    if (g_termination_signal != nullptr)
        SetConsoleCtrlHandler(on_console_control, TRUE);
}

bool plat_termination_requested()
{
    return g_termination_request != 0;
}

void plat_termination_notify(void (*notify)())
{
    g_termination_notify = notify;
}

void plat_termination_ending()
{
    InterlockedExchange(&g_termination_ending, 1);
}

const char* plat_termination_name()
{
    switch (g_termination_request) {
    case 0:
        return "";
    case CTRL_C_EVENT + 1:
        return "Ctrl+C";
    case CTRL_BREAK_EVENT + 1:
        return "Ctrl+Break";
    case CTRL_CLOSE_EVENT + 1:
        return "the closing of the console";
    }
    return "a console event";
}

std::uint32_t plat_error_interrupted()
{
    return INTERRUPTED;
}

// ---- UTF-8 names towards the C runtime ---------------------------------------------

std::FILE* plat_fopen(const char* path, const char* mode)
{
    wchar_t* wide_path = path != nullptr ? to_wide(path) : nullptr;
    wchar_t* wide_mode = mode != nullptr ? to_wide(mode) : nullptr;
    std::FILE* stream = wide_path != nullptr && wide_mode != nullptr ? _wfopen(wide_path, wide_mode) : nullptr;
    std::free(wide_path);
    std::free(wide_mode);
    return stream;
}

bool plat_utf8_arguments(int* argc, char*** argv)
{
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr)
        return false;
    // One block: the pointer table, then the texts.
    std::size_t size = (static_cast<std::size_t>(count) + 1) * sizeof(char*);
    for (int i = 0; i < count; ++i) {
        int length = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
        size += static_cast<std::size_t>(length > 0 ? length : 1); // an argument that fails is empty
    }
    char** table = static_cast<char**>(std::malloc(size));
    if (table == nullptr) {
        LocalFree(wide);
        return false;
    }
    char* text = reinterpret_cast<char*>(table + count + 1);
    char* end = reinterpret_cast<char*>(table) + size;
    for (int i = 0; i < count; ++i) {
        int length = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, text, static_cast<int>(end - text), nullptr, nullptr);
        table[i] = text;
        text += length > 0 ? length : 0;
        if (length <= 0)
            *text++ = '\0';
    }
    table[count] = nullptr;
    LocalFree(wide);
    *argc = count;
    *argv = table;
    return true;
}
