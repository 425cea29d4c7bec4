// Linux implementation of zek_platform.h.
//
// Mappings and events are POSIX shared-memory objects. A Windows named object lives while
// some handle to it is open; to keep that lifetime here, every handle holds a
// shared flock on its object for as long as it is open. An object without any lock is left
// over from processes that ended without closing and counts as free, and a closer that can
// take the exclusive lock is the last holder and removes the name.
//
// An event is one 32-bit word in its own object: bit 0 is the signalled state, the upper
// bits count the sets. Waiters sleep on the word with futex; a waiter whose word changed
// while it slept was released by a set, even when a reset followed at once.
//
// The pipe is a Unix-domain stream socket whose file lies in /tmp.
//
// Where peers find the objects (P: the value of ZEK_PLATFORM_NAME_PREFIX, or nothing; every
// '/' and '\' of P and the name becomes '_'):
//   mapping or event NAME    shared-memory object "/PNAME" (the file /dev/shm/PNAME)
//   pipe "\\.\pipe\REST"       socket file /tmp/PREST (a name without that lead: /tmp/PNAME)
// Events and mappings share one namespace, as they do on Windows.
#include "zek_platform.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <linux/futex.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

// "/" + at most NAME_MAX characters + NUL.
constexpr std::size_t SHM_NAME_CAPACITY = NAME_MAX + 2;
constexpr std::uint64_t NO_DEADLINE = UINT64_MAX;
constexpr std::uint32_t EVENT_SIGNALLED = 1;

thread_local std::uint32_t t_last_error = 0;

// The signal of the first termination request; 0 while none came in.
volatile sig_atomic_t g_termination_signal = 0;
// Called by the first request (plat_termination_notify).
void (*g_termination_notify)() = nullptr;
// Set by plat_termination_ending: the request no longer ends waits.
bool g_termination_ending = false;

// A wait ends early while a termination request stands, until the ordered ending begins.
bool interrupted_by_termination()
{
    if (g_termination_signal == 0 || g_termination_ending)
        return false;
    t_last_error = EINTR;
    return true;
}

void set_error(int code)
{
    t_last_error = static_cast<std::uint32_t>(code);
}

template <typename T>
T* new_record()
{
    T* record = static_cast<T*>(std::calloc(1, sizeof(T)));
    if (record == nullptr)
        set_error(ENOMEM);
    return record;
}

std::uint64_t now_ns()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000u + static_cast<std::uint64_t>(ts.tv_nsec);
}

std::uint64_t deadline_after(std::uint32_t timeout_ms)
{
    if (timeout_ms == PLAT_INFINITE)
        return NO_DEADLINE;
    return now_ns() + std::uint64_t{timeout_ms} * 1000000u;
}

// The poll time-out up to the deadline: -1 without one, else the milliseconds left, rounded
// up so that a wait never ends before the deadline.
int poll_timeout(std::uint64_t deadline)
{
    if (deadline == NO_DEADLINE)
        return -1;
    std::uint64_t now = now_ns();
    std::uint64_t left_ms = now >= deadline ? 0 : (deadline - now + 999999u) / 1000000u;
    return static_cast<int>(std::min<std::uint64_t>(left_ms, INT_MAX));
}

// Waits for events on fd until the deadline; a signal resumes the wait for the time left.
PlatWaitResult poll_until(int fd, short events, std::uint64_t deadline)
{
    for (;;) {
        if (interrupted_by_termination())
            return PLAT_WAIT_FAILED;
        int timeout = poll_timeout(deadline);
        pollfd p{fd, events, 0};
        int ready = poll(&p, 1, timeout);
        if (ready > 0)
            return PLAT_WAIT_OK;
        if (ready == 0 && timeout == 0)
            return PLAT_WAIT_TIMEOUT;
        if (ready < 0 && errno != EINTR) {
            set_error(errno);
            return PLAT_WAIT_FAILED;
        }
    }
}

// Writes lead, the test prefix and name into out, with every '/' and '\' of the prefix and
// name turned into '_' so that the result is a single file name below lead.
bool local_name(const char* lead, const char* name, char* out, std::size_t capacity)
{
    if (name == nullptr || name[0] == '\0' || out == nullptr) {
        set_error(EINVAL);
        return false;
    }
    const char* prefix = std::getenv("ZEK_PLATFORM_NAME_PREFIX");
    int length = std::snprintf(out, capacity, "%s%s%s", lead, prefix ? prefix : "", name);
    if (length < 0 || static_cast<std::size_t>(length) >= capacity) {
        set_error(ENAMETOOLONG);
        return false;
    }
    for (char* c = out + std::strlen(lead); *c != '\0'; ++c) {
        if (*c == '/' || *c == '\\')
            *c = '_';
    }
    return true;
}

// ---- Shared objects -------------------------------------------------------------------

// True when shm_name still leads to the object open on fd: its last holder may have
// removed the name, and a newer object may have taken it, while this process waited.
bool names_object(const char* shm_name, int fd)
{
    int other = shm_open(shm_name, O_RDONLY | O_CLOEXEC, 0);
    if (other < 0)
        return false;
    struct stat a{}, b{};
    bool same = fstat(fd, &a) == 0 && fstat(other, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
    close(other);
    return same;
}

int flock_retrying(int fd, int operation)
{
    int result;
    do
        result = flock(fd, operation);
    while (result != 0 && errno == EINTR);
    return result;
}

// Opens the shared object shm_name as one more holder and returns its descriptor.
// With create (size > 0): a missing or left-over object is made anew with size zero bytes,
// and a live one smaller than size is grown. Without create: a missing or left-over object
// fails with ENOENT.
int acquire_object(const char* shm_name, bool create, std::size_t size)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        int fd = shm_open(shm_name, O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0), 0600);
        if (fd < 0) {
            set_error(errno);
            return -1;
        }
        int error = 0;
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
            // No holder: new or left over, its content void. It is sized while this process
            // holds the exclusive lock, so that no holder ever sees it shorter.
            if (!names_object(shm_name, fd)) {
                close(fd);
                continue;
            }
            if (!create) {
                shm_unlink(shm_name);
                close(fd);
                set_error(ENOENT);
                return -1;
            }
            if (ftruncate(fd, 0) != 0)
                error = errno;
            else
                error = posix_fallocate(fd, 0, static_cast<off_t>(size));
        } else if (errno != EWOULDBLOCK && errno != EINTR) {
            error = errno;
        } else if (create) {
            // posix_fallocate never shrinks, so concurrent creators cannot cut each other short.
            error = posix_fallocate(fd, 0, static_cast<off_t>(size));
        }
        if (error == 0 && flock_retrying(fd, LOCK_SH) != 0)
            error = errno;
        if (error != 0) {
            close(fd);
            set_error(error);
            return -1;
        }
        if (names_object(shm_name, fd))
            return fd;
        close(fd);
    }
    set_error(EAGAIN);
    return -1;
}

// Drops this holder; the last one removes the name.
void release_object(const char* shm_name, int fd)
{
    if (flock(fd, LOCK_EX | LOCK_NB) == 0 && names_object(shm_name, fd))
        shm_unlink(shm_name);
    close(fd);
}

std::size_t object_size(int fd)
{
    struct stat st{};
    return fstat(fd, &st) == 0 ? static_cast<std::size_t>(st.st_size) : 0;
}

// ---- Pipe helpers ---------------------------------------------------------------------

// True when path is a socket file that no socket is bound to any more: left over from a
// server that ended without closing. /proc/net/unix ends each bound socket's line with its
// path; a server that has only bound and not yet listened is listed too.
bool socket_file_left_over(const char* path)
{
    struct stat st{};
    if (lstat(path, &st) != 0 || !S_ISSOCK(st.st_mode))
        return false;
    FILE* table = std::fopen("/proc/net/unix", "re");
    if (table == nullptr)
        return false;
    std::size_t path_length = std::strlen(path);
    bool bound = false;
    char line[512];
    while (!bound && std::fgets(line, sizeof line, table) != nullptr) {
        std::size_t length = std::strcspn(line, "\n");
        bound = length > path_length && line[length - path_length - 1] == ' ' &&
                std::memcmp(line + length - path_length, path, path_length) == 0;
    }
    std::fclose(table);
    return !bound;
}

bool pipe_address(const char* name, sockaddr_un* address)
{
    *address = sockaddr_un{};
    address->sun_family = AF_UNIX;
    return plat_pipe_path(name, address->sun_path, sizeof address->sun_path);
}

const sockaddr* as_sockaddr(const sockaddr_un* address)
{
    return reinterpret_cast<const sockaddr*>(address);
}

} // namespace

// ---- Mappings -------------------------------------------------------------------------

struct PlatMapping {
    void* data;        // null when size is 0
    std::size_t size;
    int fd;            // the held shared object; -1 for a file mapping
    char shm_name[SHM_NAME_CAPACITY];
};

namespace {

PlatMapping* map_object(const char* shm_name, int fd, std::size_t size)
{
    PlatMapping* mapping = new_record<PlatMapping>();
    void* data = nullptr;
    if (mapping != nullptr && size > 0) {
        data = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (data == MAP_FAILED) {
            set_error(errno);
            std::free(mapping);
            mapping = nullptr;
        }
    }
    if (mapping == nullptr) {
        release_object(shm_name, fd);
        return nullptr;
    }
    mapping->data = data;
    mapping->size = size;
    mapping->fd = fd;
    std::snprintf(mapping->shm_name, sizeof mapping->shm_name, "%s", shm_name);
    return mapping;
}

} // namespace

PlatMapping* plat_mapping_create(const char* name, std::size_t size)
{
    char shm_name[SHM_NAME_CAPACITY];
    if (size == 0 || size > static_cast<std::size_t>(INT64_MAX)) {
        set_error(EINVAL);
        return nullptr;
    }
    if (!local_name("/", name, shm_name, sizeof shm_name))
        return nullptr;
    int fd = acquire_object(shm_name, true, size);
    return fd < 0 ? nullptr : map_object(shm_name, fd, size);
}

PlatMapping* plat_mapping_open(const char* name)
{
    char shm_name[SHM_NAME_CAPACITY];
    if (!local_name("/", name, shm_name, sizeof shm_name))
        return nullptr;
    int fd = acquire_object(shm_name, false, 0);
    return fd < 0 ? nullptr : map_object(shm_name, fd, object_size(fd));
}

namespace {

// Opens path for reading when it names a regular file: the descriptor and its size; else -1
// when the open failed, -2 when the file was opened but refused (EISDIR for a directory,
// EINVAL for a FIFO, device or socket, EFBIG beyond the address space), the reason in *error.
int open_regular_file(const char* path, int* error, std::uint64_t* size)
{
    *error = 0;
    *size = 0;
    if (path == nullptr) {
        *error = EINVAL;
        return -1;
    }
    // O_NONBLOCK keeps the open of a FIFO from blocking; it is refused below.
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        *error = errno;
        return -1;
    }
    struct stat st{};
    if (fstat(fd, &st) != 0)
        *error = errno;
    else if (S_ISDIR(st.st_mode))
        *error = EISDIR;
    else if (!S_ISREG(st.st_mode))
        *error = EINVAL;
    else if (static_cast<std::uint64_t>(st.st_size) > SIZE_MAX)
        *error = EFBIG;
    if (*error != 0) {
        close(fd);
        return -2;
    }
    *size = static_cast<std::uint64_t>(st.st_size);
    return fd;
}

}  // namespace

PlatMapping* plat_mapping_open_file(const char* path)
{
    int error = 0;
    std::uint64_t length = 0;
    int fd = open_regular_file(path, &error, &length);
    if (fd < 0) {
        set_error(error);
        return nullptr;
    }
    void* data = nullptr;
    std::size_t size = static_cast<std::size_t>(length);
    if (size > 0) {
        data = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
        if (data == MAP_FAILED) {
            error = errno;
            data = nullptr;
        }
    }
    close(fd);
    PlatMapping* mapping = error == 0 ? new_record<PlatMapping>() : nullptr;
    if (mapping == nullptr) {
        if (error != 0)
            set_error(error);
        if (data != nullptr)
            munmap(data, size);
        return nullptr;
    }
    mapping->data = data;
    mapping->size = size;
    mapping->fd = -1;
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
        munmap(mapping->data, mapping->size);
    if (mapping->fd >= 0)
        release_object(mapping->shm_name, mapping->fd);
    std::free(mapping);
}

// ---- Events ---------------------------------------------------------------------------

struct PlatEvent {
    std::uint32_t* word;
    int fd;
    char shm_name[SHM_NAME_CAPACITY];
};

namespace {

PlatEvent* map_event(const char* shm_name, int fd)
{
    if (object_size(fd) < sizeof(std::uint32_t)) {
        set_error(EINVAL);
        release_object(shm_name, fd);
        return nullptr;
    }
    PlatEvent* event = new_record<PlatEvent>();
    void* word = MAP_FAILED;
    if (event != nullptr) {
        word = mmap(nullptr, sizeof(std::uint32_t), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (word == MAP_FAILED)
            set_error(errno);
    }
    if (word == MAP_FAILED) {
        std::free(event);
        release_object(shm_name, fd);
        return nullptr;
    }
    event->word = static_cast<std::uint32_t*>(word);
    event->fd = fd;
    std::snprintf(event->shm_name, sizeof event->shm_name, "%s", shm_name);
    return event;
}

long futex(std::uint32_t* word, int operation, std::uint32_t value, const timespec* deadline)
{
    // Not FUTEX_PRIVATE_FLAG: the word is shared between processes.
    return syscall(SYS_futex, word, operation, value, deadline, nullptr, FUTEX_BITSET_MATCH_ANY);
}

PlatEvent* acquire_event(const char* name, bool create)
{
    char shm_name[SHM_NAME_CAPACITY];
    if (!local_name("/", name, shm_name, sizeof shm_name))
        return nullptr;
    // A new object is zero-filled: not signalled.
    int fd = acquire_object(shm_name, create, sizeof(std::uint32_t));
    return fd < 0 ? nullptr : map_event(shm_name, fd);
}

} // namespace

PlatEvent* plat_event_create(const char* name)
{
    return acquire_event(name, true);
}

PlatEvent* plat_event_open(const char* name)
{
    return acquire_event(name, false);
}

bool plat_event_set(PlatEvent* event)
{
    std::atomic_ref<std::uint32_t> word(*event->word);
    std::uint32_t old = word.load(std::memory_order_relaxed);
    do {
        if (old & EVENT_SIGNALLED)
            return true;
    } while (!word.compare_exchange_weak(old, (old + 2) | EVENT_SIGNALLED, std::memory_order_release,
                                         std::memory_order_relaxed));
    if (futex(event->word, FUTEX_WAKE_BITSET, INT_MAX, nullptr) < 0) {
        set_error(errno);
        return false;
    }
    return true;
}

bool plat_event_reset(PlatEvent* event)
{
    std::atomic_ref<std::uint32_t>(*event->word).fetch_and(~EVENT_SIGNALLED, std::memory_order_relaxed);
    return true;
}

PlatWaitResult plat_event_wait(PlatEvent* event, std::uint32_t timeout_ms)
{
    std::atomic_ref<std::uint32_t> word(*event->word);
    std::uint32_t seen = word.load(std::memory_order_acquire);
    if (seen & EVENT_SIGNALLED)
        return PLAT_WAIT_OK;
    if (timeout_ms == 0)
        return PLAT_WAIT_TIMEOUT;
    std::uint64_t deadline = deadline_after(timeout_ms);
    timespec until{};
    until.tv_sec = static_cast<time_t>(deadline / 1000000000u);
    until.tv_nsec = static_cast<long>(deadline % 1000000000u);
    for (;;) {
        if (interrupted_by_termination())
            return PLAT_WAIT_FAILED;
        // FUTEX_WAIT_BITSET takes an absolute CLOCK_MONOTONIC time, so an interrupted wait
        // resumes for exactly the time that is left.
        long result = futex(event->word, FUTEX_WAIT_BITSET, seen, deadline == NO_DEADLINE ? nullptr : &until);
        int error = result == 0 ? 0 : errno;
        // A reset alone cannot change a word whose signalled bit was clear: any change is a set.
        if (word.load(std::memory_order_acquire) != seen)
            return PLAT_WAIT_OK;
        if (error == ETIMEDOUT)
            return PLAT_WAIT_TIMEOUT;
        if (error != 0 && error != EINTR && error != EAGAIN) {
            set_error(error);
            return PLAT_WAIT_FAILED;
        }
    }
}

void plat_event_close(PlatEvent* event)
{
    if (event == nullptr)
        return;
    munmap(event->word, sizeof(std::uint32_t));
    release_object(event->shm_name, event->fd);
    std::free(event);
}

// ---- Pipe -----------------------------------------------------------------------------

struct PlatPipe {
    int listener;   // server end until its client has come; else -1
    int connection; // -1 until connected
    char path[sizeof(sockaddr_un::sun_path)]; // socket file of a listening server; else empty
};

namespace {

// The record of an end whose sockets are set up; null (the sockets closed, the socket file
// removed) when there is no memory for it.
PlatPipe* new_pipe(int listener, int connection, const char* path)
{
    PlatPipe* pipe = new_record<PlatPipe>();
    if (pipe == nullptr) {
        if (listener >= 0) {
            unlink(path);
            close(listener);
        }
        if (connection >= 0)
            close(connection);
        return nullptr;
    }
    pipe->listener = listener;
    pipe->connection = connection;
    std::snprintf(pipe->path, sizeof pipe->path, "%s", listener >= 0 ? path : "");
    return pipe;
}

void stop_listening(PlatPipe* pipe)
{
    if (pipe->listener < 0)
        return;
    // Remove the file before closing, so that the name is never bound to a closed socket.
    unlink(pipe->path);
    pipe->path[0] = '\0';
    close(pipe->listener);
    pipe->listener = -1;
}

// Accepts a client that is waiting: 1 when one was taken, 0 when none is waiting, -1 on
// failure.
int take_client(PlatPipe* pipe)
{
    // Without SOCK_NONBLOCK the connection blocks, as reads and writes expect.
    int connection = accept4(pipe->listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection >= 0) {
        pipe->connection = connection;
        stop_listening(pipe);
        return 1;
    }
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED) {
        set_error(errno);
        return -1;
    }
    return 0;
}

} // namespace

bool plat_pipe_path(const char* name, char* buffer, std::size_t capacity)
{
    static const char WINDOWS_LEAD[] = "\\\\.\\pipe\\";
    if (name != nullptr && strncasecmp(name, WINDOWS_LEAD, sizeof WINDOWS_LEAD - 1) == 0)
        name += sizeof WINDOWS_LEAD - 1;
    return local_name("/tmp/", name, buffer, capacity);
}

PlatPipe* plat_pipe_create(const char* name)
{
    sockaddr_un address;
    if (!pipe_address(name, &address))
        return nullptr;
    // Non-blocking, so that accept after poll cannot hang on a client that went away.
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    int error = 0;
    if (fd < 0) {
        error = errno;
    } else {
        int bound = bind(fd, as_sockaddr(&address), sizeof address);
        if (bound != 0 && errno == EADDRINUSE && socket_file_left_over(address.sun_path)) {
            unlink(address.sun_path);
            bound = bind(fd, as_sockaddr(&address), sizeof address);
        }
        if (bound != 0) {
            error = errno;
        } else if (listen(fd, 1) != 0) {
            error = errno;
            unlink(address.sun_path);
        }
    }
    if (error != 0) {
        if (fd >= 0)
            close(fd);
        set_error(error);
        return nullptr;
    }
    return new_pipe(fd, -1, address.sun_path);
}

PlatWaitResult plat_pipe_accept(PlatPipe* pipe, std::uint32_t timeout_ms)
{
    if (pipe->connection >= 0)
        return PLAT_WAIT_OK;
    if (pipe->listener < 0) {
        set_error(EINVAL);
        return PLAT_WAIT_FAILED;
    }
    std::uint64_t deadline = deadline_after(timeout_ms);
    for (;;) {
        PlatWaitResult ready = poll_until(pipe->listener, POLLIN, deadline);
        if (ready != PLAT_WAIT_OK)
            return ready;
        int taken = take_client(pipe);
        if (taken != 0)
            return taken > 0 ? PLAT_WAIT_OK : PLAT_WAIT_FAILED;
    }
}

PlatPipe* plat_pipe_connect(const char* name)
{
    sockaddr_un address;
    if (!pipe_address(name, &address))
        return nullptr;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || connect(fd, as_sockaddr(&address), sizeof address) != 0) {
        set_error(errno);
        if (fd >= 0)
            close(fd);
        return nullptr;
    }
    return new_pipe(-1, fd, nullptr);
}

bool plat_pipe_write(PlatPipe* pipe, const void* data, std::size_t size)
{
    if (pipe->connection < 0) {
        set_error(ENOTCONN);
        return false;
    }
    const char* next = static_cast<const char*>(data);
    while (size > 0) {
        // MSG_NOSIGNAL: a peer that has gone away is an error result, not SIGPIPE.
        ssize_t written = send(pipe->connection, next, size, MSG_NOSIGNAL);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            set_error(errno);
            return false;
        }
        next += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

std::int64_t plat_pipe_read(PlatPipe* pipe, void* buffer, std::size_t capacity)
{
    if (pipe->connection < 0 || capacity == 0) {
        set_error(pipe->connection < 0 ? ENOTCONN : EINVAL);
        return -1;
    }
    for (;;) {
        if (interrupted_by_termination())
            return -1;
        ssize_t received = recv(pipe->connection, buffer, capacity, 0);
        if (received >= 0)
            return received;
        if (errno != EINTR) {
            set_error(errno);
            return -1;
        }
    }
}

void plat_pipe_close(PlatPipe* pipe)
{
    if (pipe == nullptr)
        return;
    stop_listening(pipe);
    if (pipe->connection >= 0)
        close(pipe->connection);
    std::free(pipe);
}

// ---- Child processes ------------------------------------------------------------------

struct PlatProcess {
    pid_t pid;
    int pidfd;  // readable once the child has ended; -1 after collecting or without pidfd
    bool ended;
    int exit_code;
};

namespace {

// Collects the child when it has ended; true then.
bool collect(PlatProcess* process)
{
    if (process->ended)
        return true;
    int status = 0;
    pid_t result;
    do
        result = waitpid(process->pid, &status, WNOHANG);
    while (result < 0 && errno == EINTR);
    if (result == 0)
        return false;
    process->ended = true;
    process->exit_code = -1;
    if (result < 0)
        set_error(errno); // ECHILD: collected elsewhere (SIGCHLD ignored), status unknown
    else if (WIFEXITED(status))
        process->exit_code = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        process->exit_code = 128 + WTERMSIG(status);
    if (process->pidfd >= 0)
        close(process->pidfd);
    process->pidfd = -1;
    return true;
}

} // namespace

PlatProcess* plat_process_start(const char* const* argv)
{
    if (argv == nullptr || argv[0] == nullptr) {
        set_error(EINVAL);
        return nullptr;
    }
    PlatProcess* process = new_record<PlatProcess>();
    if (process == nullptr)
        return nullptr;
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    // Every descriptor of ours is close-on-exec already; this also keeps back those that
    // other code of the host opened without it.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
#endif
    // The child starts with no blocked signals and default dispositions, whatever the host
    // has set for itself (an ignored SIGPIPE would otherwise be inherited).
    sigset_t signals;
    sigemptyset(&signals);
    posix_spawnattr_setsigmask(&attributes, &signals);
    sigfillset(&signals);
    posix_spawnattr_setsigdefault(&attributes, &signals);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = 0;
    int error = posix_spawnp(&pid, argv[0], &actions, &attributes, const_cast<char* const*>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (error != 0) {
        set_error(error);
        std::free(process);
        return nullptr;
    }
    process->pid = pid;
    // The pid cannot be reused before the child is collected, so the pidfd (close-on-exec
    // by itself) is the child's. Without pidfd support the waits fall back to polling.
    process->pidfd = -1;
#ifdef SYS_pidfd_open
    process->pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#endif
    return process;
}

PlatWaitResult plat_pipe_accept_child(PlatPipe* pipe, PlatProcess* child, std::uint32_t timeout_ms)
{
    if (pipe->connection >= 0)
        return PLAT_WAIT_OK;
    if (pipe->listener < 0 || child == nullptr) {
        set_error(EINVAL);
        return PLAT_WAIT_FAILED;
    }
    std::uint64_t deadline = deadline_after(timeout_ms);
    for (;;) {
        if (interrupted_by_termination())
            return PLAT_WAIT_FAILED;
        int taken = take_client(pipe);
        if (taken == 0 && collect(child)) {
            // The child may have connected just before it ended.
            taken = take_client(pipe);
            if (taken == 0) {
                set_error(EPIPE);
                return PLAT_WAIT_FAILED;
            }
        }
        if (taken != 0)
            return taken > 0 ? PLAT_WAIT_OK : PLAT_WAIT_FAILED;
        int timeout = poll_timeout(deadline);
        if (timeout == 0) {
            set_error(ETIMEDOUT);
            return PLAT_WAIT_TIMEOUT;
        }
        pollfd ready[2] = {{pipe->listener, POLLIN, 0}, {child->pidfd, POLLIN, 0}};
        nfds_t count = child->pidfd >= 0 ? 2 : 1;
        // Without a pidfd the child's end is noticed by looking again every 5 ms.
        if (count == 1 && (timeout < 0 || timeout > 5))
            timeout = 5;
        if (poll(ready, count, timeout) < 0 && errno != EINTR) {
            set_error(errno);
            return PLAT_WAIT_FAILED;
        }
    }
}

std::uint32_t plat_process_id(const PlatProcess* process)
{
    return static_cast<std::uint32_t>(process->pid);
}

bool plat_process_running(PlatProcess* process)
{
    return !collect(process);
}

PlatWaitResult plat_process_wait(PlatProcess* process, std::uint32_t timeout_ms)
{
    std::uint64_t deadline = deadline_after(timeout_ms);
    for (;;) {
        if (collect(process))
            return PLAT_WAIT_OK;
        if (interrupted_by_termination())
            return PLAT_WAIT_FAILED;
        std::uint64_t now = now_ns();
        if (now >= deadline)
            return PLAT_WAIT_TIMEOUT;
        if (process->pidfd >= 0) {
            if (poll_until(process->pidfd, POLLIN, deadline) == PLAT_WAIT_FAILED)
                return PLAT_WAIT_FAILED;
        } else {
            std::uint64_t pause = std::min<std::uint64_t>(deadline - now, 5000000u);
            timespec ts{0, static_cast<long>(pause)};
            nanosleep(&ts, nullptr);
        }
    }
}

int plat_process_exit_code(PlatProcess* process)
{
    return collect(process) ? process->exit_code : -1;
}

bool plat_process_terminate(PlatProcess* process)
{
    if (collect(process))
        return true;
    if (kill(process->pid, SIGKILL) != 0) {
        set_error(errno);
        return false;
    }
    return true;
}

void plat_process_close(PlatProcess* process)
{
    if (process == nullptr)
        return;
    collect(process);
    if (process->pidfd >= 0)
        close(process->pidfd);
    std::free(process);
}

// ---- Time, environment, errors --------------------------------------------------------

std::uint64_t plat_tick_ms()
{
    return now_ns() / 1000000u;
}

bool plat_getenv(const char* name, char* buffer, std::size_t capacity)
{
    const char* value = name != nullptr ? std::getenv(name) : nullptr;
    if (value == nullptr) {
        set_error(ENOENT);
        return false;
    }
    std::size_t length = std::strlen(value);
    if (length >= capacity) {
        set_error(ERANGE);
        return false;
    }
    std::memcpy(buffer, value, length + 1);
    return true;
}

void* plat_large_block_alloc(std::size_t size)
{
    constexpr std::size_t huge_page = std::size_t{2} << 20;
    void* block = std::aligned_alloc(huge_page, size);
    if (block == nullptr) {
        set_error(ENOMEM);
        return nullptr;
    }
    // Transparent huge pages are often given only where a mapping asks for them.
    (void)madvise(block, size, MADV_HUGEPAGE);
    return block;
}

void plat_large_block_free(void* block, std::size_t)
{
    std::free(block);
}

bool plat_file_remove(const char* path)
{
    if (path == nullptr || std::remove(path) != 0) {
        set_error(path == nullptr ? EINVAL : errno);
        return false;
    }
    return true;
}

namespace {

// ".zek", 16 hexadecimal digits, ".tmp".
constexpr std::size_t TEMPORARY_NAME_LENGTH = 24;
// Names tried before giving up; each one is taken only by chance, so a few are plenty.
constexpr int TEMPORARY_NAME_ATTEMPTS = 64;

std::atomic<std::uint64_t> g_temporary_count{0};

// 64 bits that differ from call to call and from process to process. Uniqueness itself comes
// from the exclusive creation; these bits only make a taken name unlikely.
std::uint64_t temporary_name_bits()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    std::uint64_t x = static_cast<std::uint64_t>(now.tv_sec) * 1000000000u + static_cast<std::uint64_t>(now.tv_nsec);
    x ^= static_cast<std::uint64_t>(getpid()) << 40;
    x += (g_temporary_count.fetch_add(1) + 1) * 0x9E3779B97F4A7C15u;
    // The finaliser of splitmix64: every input bit reaches every output bit.
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9u;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBu;
    return x ^ (x >> 31);
}

}  // namespace

std::FILE* plat_temporary_file_create(const char* beside, char** path)
{
    if (path != nullptr)
        *path = nullptr;
    if (beside == nullptr || path == nullptr) {
        set_error(EINVAL);
        return nullptr;
    }
    const char* slash = std::strrchr(beside, '/');
    std::size_t folder = slash != nullptr ? static_cast<std::size_t>(slash - beside) + 1 : 0;
    char* name = static_cast<char*>(std::malloc(folder + TEMPORARY_NAME_LENGTH + 1));
    if (name == nullptr) {
        set_error(ENOMEM);
        return nullptr;
    }
    std::memcpy(name, beside, folder);
    // Every name tried was taken, unless a failure of another kind ends the search.
    int error = EEXIST;
    for (int attempt = 0; attempt < TEMPORARY_NAME_ATTEMPTS; ++attempt) {
        std::snprintf(name + folder, TEMPORARY_NAME_LENGTH + 1, ".zek%016llx.tmp",
                      static_cast<unsigned long long>(temporary_name_bits()));
        // O_EXCL: a name that exists in any form, a link included, is refused, never followed.
        int fd = open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0) {
            if (errno == EEXIST || errno == EINTR)
                continue;
            error = errno;
            break;
        }
        std::FILE* stream = fdopen(fd, "wb");
        if (stream != nullptr) {
            *path = name;
            return stream;
        }
        error = errno;
        close(fd);
        unlink(name);
        break;
    }
    set_error(error);
    std::free(name);
    return nullptr;
}

bool plat_file_replace(const char* from, const char* to)
{
    if (from == nullptr || to == nullptr) {
        set_error(EINVAL);
        return false;
    }
    if (std::rename(from, to) != 0) {
        set_error(errno);
        return false;
    }
    return true;
}

std::uint32_t plat_error_broken_pipe()
{
    return EPIPE;
}

std::uint32_t plat_last_error()
{
    return t_last_error;
}

void plat_error_text(std::uint32_t code, char* buffer, std::size_t capacity)
{
    if (buffer == nullptr || capacity == 0)
        return;
    if (code == 0) {
        buffer[0] = '\0';
        return;
    }
    char scratch[256];
    // The GNU strerror_r, which returns the text (not always in scratch).
    const char* text = strerror_r(static_cast<int>(code), scratch, sizeof scratch);
    std::snprintf(buffer, capacity, "%s", text);
}

// ---- Files ----------------------------------------------------------------------------

PlatFileResult plat_file_read_all(const char* path, std::uint8_t** data, std::uint64_t* size)
{
    *data = nullptr;
    *size = 0;
    int error = 0;
    std::uint64_t length = 0;
    int fd = open_regular_file(path, &error, &length);
    if (fd < 0) {
        set_error(error);
        if (fd == -1)
            return PLAT_FILE_NO_FILE;
        switch (error) {
        case EISDIR:
            return PLAT_FILE_DIRECTORY;
        case EINVAL:
            return PLAT_FILE_NOT_REGULAR;
        case EFBIG:
            return PLAT_FILE_NO_MEMORY;
        }
        return PLAT_FILE_READ_FAILED;
    }
    PlatFileResult result = PLAT_FILE_OK;
    std::uint8_t* buffer = nullptr;
    if (length > 0) {
        if (length > SIZE_MAX || plat_fault_fires(PLAT_FAULT_ALLOCATION) ||
            (buffer = static_cast<std::uint8_t*>(std::malloc(static_cast<std::size_t>(length)))) == nullptr) {
            set_error(ENOMEM);
            result = PLAT_FILE_NO_MEMORY;
        }
    }
    // The size fstat gave is what the file holds now; a file that comes up short was cut
    // while it was read.
    std::uint64_t done = 0;
    while (result == PLAT_FILE_OK && done < length) {
        std::size_t chunk = static_cast<std::size_t>(std::min<std::uint64_t>(length - done, 1u << 30));
        ssize_t n = read(fd, buffer + done, chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            set_error(n < 0 ? errno : EIO);
            result = PLAT_FILE_READ_FAILED;
            break;
        }
        done += static_cast<std::uint64_t>(n);
    }
    close(fd);
    if (result != PLAT_FILE_OK) {
        std::free(buffer);
        return result;
    }
    *data = buffer;
    *size = length;
    return PLAT_FILE_OK;
}

bool plat_stream_seek(std::FILE* stream, std::int64_t position)
{
    return stream != nullptr && fseeko(stream, static_cast<off_t>(position), SEEK_SET) == 0;
}

std::int64_t plat_stream_tell(std::FILE* stream)
{
    return stream != nullptr ? static_cast<std::int64_t>(ftello(stream)) : -1;
}

bool plat_file_identity(const char* path, PlatFileIdentity* identity)
{
    struct stat st{};
    if (path == nullptr || stat(path, &st) != 0) {
        set_error(path == nullptr ? EINVAL : errno);
        return false;
    }
    identity->volume = static_cast<std::uint64_t>(st.st_dev);
    identity->file = static_cast<std::uint64_t>(st.st_ino);
    return true;
}

// ---- Termination requests -------------------------------------------------------------

namespace {

constexpr int TERMINATION_SIGNALS[] = {SIGTERM, SIGINT, SIGHUP};

void on_termination(int signal_number)
{
    if (g_termination_signal != 0) {
        // The second request: the default action ends the process as soon as this handler
        // returns (the signal is blocked while it runs).
        ::signal(signal_number, SIG_DFL);
        raise(signal_number);
        return;
    }
    g_termination_signal = signal_number;
    if (g_termination_notify != nullptr)
        g_termination_notify();
}

}  // namespace

void plat_termination_watch()
{
    struct sigaction action{};
    action.sa_handler = on_termination;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a blocking read (the step prompt's) returns, so the program sees the flag.
    action.sa_flags = 0;
    for (int s : TERMINATION_SIGNALS)
        sigaction(s, &action, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
}

bool plat_termination_requested()
{
    return g_termination_signal != 0;
}

void plat_termination_notify(void (*notify)())
{
    g_termination_notify = notify;
}

void plat_termination_ending()
{
    g_termination_ending = true;
}

const char* plat_termination_name()
{
    switch (g_termination_signal) {
    case 0:
        return "";
    case SIGTERM:
        return "SIGTERM";
    case SIGINT:
        return "SIGINT";
    case SIGHUP:
        return "SIGHUP";
    }
    return "a signal";
}

std::uint32_t plat_error_interrupted()
{
    return EINTR;
}



std::FILE* plat_fopen(const char* path, const char* mode)
{
    return std::fopen(path, mode);
}

bool plat_utf8_arguments(int*, char***)
{
    return true;
}
