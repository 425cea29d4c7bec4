// The operating-system services of the hosts: named shared mappings and read-only file
// mappings, named manual-reset events, a named duplex byte pipe, child processes, a
// millisecond tick, environment look-up, temporary files, replacing a file and error texts;
// whole-file reads, UTF-8 file names, 64-bit stream positions and file identities; termination
// requests for a program's main; and the fault hooks of the tests. The parts that need nothing
// of the operating system are shared by every implementation (zek_platform_common.cpp).
//
// Nothing above this header includes a system header for these things. Each operating
// system has one implementation of it; the handles are opaque and the functions plain.
//
// Names of mappings, events and pipes are the names the peers agree on ("ZEK-VM-EXCHANGE",
// "\\.\pipe\123_zek_vmmsgboxPipe"). When the environment variable ZEK_PLATFORM_NAME_PREFIX
// is set, its value is put in front of every such name, so that tests running side by side
// keep their objects apart; peers started by such a test inherit the variable.
//
// A failing call records its error code for this thread; plat_last_error() returns it and
// plat_error_text() turns it into the system's text. Successful calls leave it alone.
// No call is safe to use on one handle from two threads at once.
#ifndef ZEK_PLATFORM_H
#define ZEK_PLATFORM_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Time-out value for a wait without limit.
constexpr std::uint32_t PLAT_INFINITE = 0xFFFFFFFFu;

// Outcome of every wait that has a time-out.
enum PlatWaitResult {
    PLAT_WAIT_OK = 0,      // the awaited thing happened (signalled, connected, ended)
    PLAT_WAIT_TIMEOUT = 1, // the time ran out first
    PLAT_WAIT_FAILED = 2,  // the wait itself failed; plat_last_error() tells why
};

struct PlatMapping;
struct PlatEvent;
struct PlatPipe;
struct PlatProcess;

// ---- Mappings -------------------------------------------------------------------------
// A named mapping is memory shared by every process that maps the same name. It exists
// while some process holds it: the last close removes the name, and a name whose holders
// all ended without closing counts as free.

// Creates the named mapping of size bytes (size > 0), zero-filled, or opens it when it
// exists; then maps size bytes read-write. An existing smaller mapping is grown to size
// (Windows cannot grow one: there the call fails instead).
PlatMapping* plat_mapping_create(const char* name, std::size_t size);

// Opens an existing named mapping and maps all of it read-write; null when there is none.
PlatMapping* plat_mapping_open(const char* name);

// Maps a whole existing regular file read-only. An empty file gives a mapping of size 0
// whose data pointer is null. The file must not be shortened while it is mapped.
PlatMapping* plat_mapping_open_file(const char* path);

// The first mapped byte (read-only memory for a file mapping) and the mapped size.
void* plat_mapping_data(const PlatMapping* mapping);
std::size_t plat_mapping_size(const PlatMapping* mapping);

// Unmaps and closes; null is ignored.
void plat_mapping_close(PlatMapping* mapping);

// ---- Events ---------------------------------------------------------------------------
// A named manual-reset event: once set it stays signalled, for every waiter of every
// process, until it is reset. Lifetime of the name as for mappings.

// Creates the named event, not signalled, or opens it keeping its state when it exists.
PlatEvent* plat_event_create(const char* name);

// Opens an existing named event; null when there is none.
PlatEvent* plat_event_open(const char* name);

bool plat_event_set(PlatEvent* event);
bool plat_event_reset(PlatEvent* event);

// Waits until the event is signalled, at most timeout_ms milliseconds (0: only tests it;
// PLAT_INFINITE: no limit). Leaves the event as it is.
PlatWaitResult plat_event_wait(PlatEvent* event, std::uint32_t timeout_ms);

// Closes; null is ignored.
void plat_event_close(PlatEvent* event);

// ---- Pipe -----------------------------------------------------------------------------
// A named duplex byte stream between one server and one client. Bytes come in order but
// a read may return fewer bytes than were written in one write.

// Creates the server end under name. Fails when a live server holds the name.
PlatPipe* plat_pipe_create(const char* name);

// Waits at most timeout_ms milliseconds for one client and accepts it; from then on the
// name takes no further clients. PLAT_WAIT_OK also when the client connected before.
PlatWaitResult plat_pipe_accept(PlatPipe* pipe, std::uint32_t timeout_ms);

// Waits like plat_pipe_accept while watching child, the program that is to connect. When
// the child ends before a client has come, the wait ends with PLAT_WAIT_FAILED and the code
// of plat_error_broken_pipe(); when the time runs out, with PLAT_WAIT_TIMEOUT and the system's
// code of a timed-out wait (both for plat_last_error()). A client that came before the child
// ended is accepted.
PlatWaitResult plat_pipe_accept_child(PlatPipe* pipe, PlatProcess* child, std::uint32_t timeout_ms);

// Connects a client end to the server named name; fails at once when there is none.
PlatPipe* plat_pipe_connect(const char* name);

// Writes all size bytes; false on failure (for instance when the peer has closed its end).
bool plat_pipe_write(PlatPipe* pipe, const void* data, std::size_t size);

// Blocks until bytes arrive and reads at most capacity of them: the count read, 0 when the
// peer has closed its end, -1 on failure.
std::int64_t plat_pipe_read(PlatPipe* pipe, void* buffer, std::size_t capacity);

// Writes the name's local form (the path of the socket file on Linux, the name itself on
// Windows) into buffer; false when it does not fit.
bool plat_pipe_path(const char* name, char* buffer, std::size_t capacity);

// Disconnects and closes; the server end frees its name. Null is ignored.
void plat_pipe_close(PlatPipe* pipe);

// ---- Child processes ------------------------------------------------------------------

// Starts the program argv[0] (searched on PATH when it holds no directory) and passes it
// argv, argv[0] included, up to the null entry. The child gets the environment and current directory of this
// process, standard input from the null device, standard output and error of this
// process, and no other handle of it. Null when the program cannot be started.
PlatProcess* plat_process_start(const char* const* argv);

// The child's process id.
std::uint32_t plat_process_id(const PlatProcess* process);

// True while the child has not ended.
bool plat_process_running(PlatProcess* process);

// Waits at most timeout_ms milliseconds for the child to end.
PlatWaitResult plat_process_wait(PlatProcess* process, std::uint32_t timeout_ms);

// The exit code of an ended child: its exit status, or 128 + the signal number when a
// signal ended it; -1 while it is running, or when its status was collected elsewhere.
int plat_process_exit_code(PlatProcess* process);

// Ends the child at once, and on Windows the processes it started as well (all but those that
// left its job); true also when it had ended already.
bool plat_process_terminate(PlatProcess* process);

// Releases the record, collecting an ended child. A child still running goes on running
// unwatched: terminate and wait first to end it. Null is ignored.
void plat_process_close(PlatProcess* process);

// ---- Large blocks -----------------------------------------------------------------------

// A block of size bytes (a multiple of 2 MiB) aligned to at least 64 KiB, its pages given
// on first touch; where the system offers large pages for such blocks, it is asked for them,
// which spares a fault per 4 KiB page. Null when no memory can be had.
void* plat_large_block_alloc(std::size_t size);
// Releases a block of plat_large_block_alloc; null is ignored.
void plat_large_block_free(void* block, std::size_t size);

// ---- Time, environment, errors --------------------------------------------------------

// Milliseconds of a monotonic clock; only differences are meaningful.
std::uint64_t plat_tick_ms();

// Copies the value of the environment variable name, NUL-terminated, into buffer. False
// when the variable is not set or its value does not fit.
bool plat_getenv(const char* name, char* buffer, std::size_t capacity);

// Puts the file from in the place of the file to in one step, replacing a file of that
// name: a reader finds the old file or the new one, never a part. Both lie in the same
// directory. False on failure, and from is then left as it was. (Windows: MoveFileEx with
// MOVEFILE_REPLACE_EXISTING, which a plain rename does not do there.)
bool plat_file_replace(const char* from, const char* to);

// Removes the file path (a UTF-8 name); false on failure.
bool plat_file_remove(const char* path);

// Creates a new empty file in the folder of the UTF-8 path beside (the part up to its last
// separator; the current folder when it has none) and opens it for binary writing, for a file
// that is to be put in beside's place with plat_file_replace. Its name is made here: short
// (".zek", 16 hexadecimal digits, ".tmp"), so it fits wherever beside's folder takes a file,
// whatever beside's own length. The file is created only where nothing of that name exists: an
// existing file, folder or link (even one that leads nowhere) is never opened, followed or
// changed, and another name is tried. *path gets the new file's name (owned memory, std::free).
// Null, with *path null and nothing created, on failure.
std::FILE* plat_temporary_file_create(const char* beside, char** path);

// The system's code of a pipe whose other end has gone, for callers that report a read of
// 0 bytes (the peer closed its end) as the failure it is.
std::uint32_t plat_error_broken_pipe();

// Error code of this thread's last failed call of this layer; 0 when none failed yet.
std::uint32_t plat_last_error();

// Writes the system's text for code into buffer (cut to fit, always NUL-terminated; empty
// for code 0).
void plat_error_text(std::uint32_t code, char* buffer, std::size_t capacity);

// ---- Files ----------------------------------------------------------------------------
// Whole-file reads into owned memory, 64-bit positions of standard C streams, and the
// identity of a file. Owned memory is released with std::free.

// Outcome of a whole-file read.
enum PlatFileResult {
    PLAT_FILE_OK = 0,
    PLAT_FILE_NO_FILE = 1,     // the file cannot be opened; plat_last_error() tells why
    PLAT_FILE_NOT_REGULAR = 2, // a FIFO, device or socket: refused without reading
    PLAT_FILE_READ_FAILED = 3, // a read failed, or the file changed its size while it was read
    PLAT_FILE_NO_MEMORY = 4,   // no buffer of the file's size
    PLAT_FILE_DIRECTORY = 5,   // a directory: refused without reading
};

// Reads the whole regular file path into one owned buffer (*data; null for an empty file)
// of *size bytes. Opening never blocks: a FIFO or device is refused at once. The buffer is a
// private copy, so a later change of the file (shortened by another process, say) cannot
// reach what was read.
PlatFileResult plat_file_read_all(const char* path, std::uint8_t** data, std::uint64_t* size);

// Reads stream from its current position to its end into one owned buffer, as above.
PlatFileResult plat_stream_read_all(std::FILE* stream, std::uint8_t** data, std::uint64_t* size);

// Writes all size bytes to stream; false when the stream refused any of them (or when the
// write fault is armed and fires, see below).
bool plat_stream_write(std::FILE* stream, const void* data, std::size_t size);

// Moves stream to the absolute byte position; false on failure.
bool plat_stream_seek(std::FILE* stream, std::int64_t position);

// The stream's byte position; -1 on failure.
std::int64_t plat_stream_tell(std::FILE* stream);

// What tells two names of one file apart from names of two files: two paths name the same
// file when both identities are equal.
struct PlatFileIdentity {
    std::uint64_t volume; // the device (Linux) or volume serial number (Windows)
    std::uint64_t file;   // the inode (Linux) or file index (Windows)
};

// The identity of the existing file path; false when it does not exist or cannot be examined.
bool plat_file_identity(const char* path, PlatFileIdentity* identity);

// True when the paths a and b (either may be null) name one existing file.
bool plat_same_file(const char* a, const char* b);

// Paths in this system are UTF-8. The C runtime of Windows takes the narrow names of fopen
// and of main's arguments in the ANSI code page, so programs open files by name through
// plat_fopen and take their arguments through plat_utf8_arguments; a file's size and position
// go through plat_stream_seek and plat_stream_tell (long is 32 bits on 64-bit Windows).

// std::fopen for a UTF-8 path (wide characters towards Windows).
std::FILE* plat_fopen(const char* path, const char* mode);

// Replaces main's arguments with the command line's in UTF-8 (Windows; elsewhere they are
// left as they are). The new arguments live as long as the process. False, with the
// arguments left alone, when they cannot be had.
bool plat_utf8_arguments(int* argc, char*** argv);

// ---- Faults for tests -----------------------------------------------------------------
// A test arms a fault so that the n-th call from now of one kind fails (the allocation
// returns null, the write refuses its bytes), to prove that the caller ends in the error it
// promises. Armed faults fire once. Nothing arms them outside of tests.

enum PlatFault {
    PLAT_FAULT_ALLOCATION = 0, // zek_malloc, the record writer and the whole-file reads of this layer
    PLAT_FAULT_WRITE = 1,      // plat_stream_write
};

// Arms fault to fire at the n-th call from now (n = 1: the next call); 0 disarms it.
void plat_fault_arm(PlatFault fault, std::uint64_t n);

// Counts one call of the fault's kind; true when this call is the one that must fail.
bool plat_fault_fires(PlatFault fault);

// True while fault is armed and has not fired yet.
bool plat_fault_armed(PlatFault fault);

// ---- Termination requests -------------------------------------------------------------
// For a program's main only (a library loaded into another process leaves the process's
// signals to its host): from this call on, a request to end the process (SIGTERM, SIGINT,
// SIGHUP; on Windows Ctrl+C, Ctrl+Break, closing the console) sets a flag instead of ending
// it, so the program can end in order between two steps; a second request ends the process
// at once. A write to a pipe without reader fails (EPIPE) instead of ending the process.
// While the flag is set, the waits of this layer (events, pipe accept and read, child
// processes) end with PLAT_WAIT_FAILED (a read with -1) and plat_error_interrupted().
void plat_termination_watch();

// True once a termination request came in.
bool plat_termination_requested();

// Called once, by the first request, where it comes in: in the signal handler, or on Windows
// on the thread of the console event. For what cannot wait until the program looks at
// plat_termination_requested (byte code that never ends its cycle): it may only do what a
// signal handler may, a store to a lock-free atomic, say. Null (the default) calls nothing.
// Install it before plat_termination_watch.
void plat_termination_notify(void (*notify)());

// The program has begun its ordered ending: from now on the waits of this layer run their
// course again, for the ending's own handshakes (a second request still ends the process).
void plat_termination_ending();

// The name of the first request ("SIGTERM", "SIGINT", "SIGHUP", "Ctrl+C", ...); "" while none
// came in.
const char* plat_termination_name();

// The system's code of a wait that a termination request ended.
std::uint32_t plat_error_interrupted();

#endif
