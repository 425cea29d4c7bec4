// The other process of the platform tests: opens mappings, events and pipes by name, as
// the IDE and the dialog program do, and answers with its exit code.
//
//   event-set NAME                  open the event and set it
//   event-relay IN OUT MS           wait up to MS for IN, then set OUT
//   event-state NAME                create-or-open; exit 0 when signalled, 1 when not
//   event-abandon NAME              create and set, then end without closing
//   map-swap NAME SIZE OLD NEW      open; check size and text OLD, write text NEW
//   map-abandon NAME SIZE TEXT      create and write TEXT, then end without closing
//   pipe-echo NAME                  connect; send back everything until end of stream
//   pipe-abandon NAME               create the server, then end without closing
//   args-echo NAME ARG...           connect; send every ARG with its NUL
//   env-expect NAME VALUE           exit 0 when the variable has that value
//   sleep MS                        sleep, then exit 0
//   spawn NAME                      start this program again as "sleep 30000", connect and
//                                   send that process's id (4 bytes), then sleep as long
//   exit CODE                       exit with CODE
//   inherited                       exit 0 when standard input is empty and no other
//                                   descriptor than 0, 1, 2 is open
//   inherited HANDLE                (Windows) exit 0 when standard input is empty and the
//                                   handle value (decimal) is no open handle here
//   ctrl-c NAME PASSED              (Windows) alone in its console, as plat_process_start
//                                   starts it: watch for termination requests and send
//                                   itself Ctrl+C while waiting for the event NAME; set the
//                                   event PASSED when the wait ended as
//                                   interrupted, the request is named "Ctrl+C" and, once the
//                                   ending began, waits run their course again; then send a
//                                   second Ctrl+C, which must end the process at once
//
// Exit codes: 0 as described, 1 a wait timed out or a check did not hold, 2 a call of the
// platform layer failed, 9 usage.
#include "zek_platform.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dirent.h>
#include <unistd.h>
#endif

namespace {

constexpr int FAILED_CALL = 2;

int event_set(const char* name)
{
    PlatEvent* event = plat_event_open(name);
    if (event == nullptr || !plat_event_set(event))
        return FAILED_CALL;
    plat_event_close(event);
    return 0;
}

int event_relay(const char* in_name, const char* out_name, const char* ms)
{
    PlatEvent* in = plat_event_open(in_name);
    PlatEvent* out = plat_event_open(out_name);
    if (in == nullptr || out == nullptr)
        return FAILED_CALL;
    PlatWaitResult waited = plat_event_wait(in, static_cast<std::uint32_t>(std::atoi(ms)));
    int result = waited == PLAT_WAIT_TIMEOUT ? 1 : FAILED_CALL;
    if (waited == PLAT_WAIT_OK && plat_event_set(out))
        result = 0;
    plat_event_close(in);
    plat_event_close(out);
    return result;
}

int event_state(const char* name)
{
    PlatEvent* event = plat_event_create(name);
    if (event == nullptr)
        return FAILED_CALL;
    int result = plat_event_wait(event, 0) == PLAT_WAIT_OK ? 0 : 1;
    plat_event_close(event);
    return result;
}

int event_abandon(const char* name)
{
    PlatEvent* event = plat_event_create(name);
    if (event == nullptr || !plat_event_set(event))
        return FAILED_CALL;
    _exit(0);
}

int map_swap(const char* name, const char* size, const char* old_text, const char* new_text)
{
    PlatMapping* mapping = plat_mapping_open(name);
    if (mapping == nullptr)
        return FAILED_CALL;
    char* data = static_cast<char*>(plat_mapping_data(mapping));
    int result = 1;
    std::size_t wanted = std::strtoull(size, nullptr, 10);
#if defined(_WIN32)
    // The size the system reports for the section: exact on Windows, whole pages under wine.
    bool size_fits = plat_mapping_size(mapping) >= wanted && plat_mapping_size(mapping) < wanted + 65536;
#else
    bool size_fits = plat_mapping_size(mapping) == wanted;
#endif
    if (size_fits && std::strcmp(data, old_text) == 0) {
        std::strcpy(data, new_text);
        result = 0;
    }
    plat_mapping_close(mapping);
    return result;
}

int map_abandon(const char* name, const char* size, const char* text)
{
    PlatMapping* mapping = plat_mapping_create(name, std::strtoull(size, nullptr, 10));
    if (mapping == nullptr)
        return FAILED_CALL;
    std::strcpy(static_cast<char*>(plat_mapping_data(mapping)), text);
    _exit(0);
}

int pipe_echo(const char* name)
{
    PlatPipe* pipe = plat_pipe_connect(name);
    if (pipe == nullptr)
        return FAILED_CALL;
    char buffer[4096];
    for (;;) {
        std::int64_t got = plat_pipe_read(pipe, buffer, sizeof buffer);
        if (got == 0)
            break;
        if (got < 0 || !plat_pipe_write(pipe, buffer, static_cast<std::size_t>(got)))
            return FAILED_CALL;
    }
    plat_pipe_close(pipe);
    return 0;
}

int pipe_abandon(const char* name)
{
    if (plat_pipe_create(name) == nullptr)
        return FAILED_CALL;
    _exit(0);
}

int args_echo(const char* name, int count, char** args)
{
    PlatPipe* pipe = plat_pipe_connect(name);
    if (pipe == nullptr)
        return FAILED_CALL;
    for (int i = 0; i < count; ++i) {
        if (!plat_pipe_write(pipe, args[i], std::strlen(args[i]) + 1))
            return FAILED_CALL;
    }
    plat_pipe_close(pipe);
    return 0;
}

int env_expect(const char* name, const char* value)
{
    char buffer[256];
    if (!plat_getenv(name, buffer, sizeof buffer))
        return FAILED_CALL;
    return std::strcmp(buffer, value) == 0 ? 0 : 1;
}

int spawn(const char* self, const char* name)
{
    const char* argv[] = {self, "sleep", "30000", nullptr};
    PlatProcess* child = plat_process_start(argv);
    if (child == nullptr)
        return FAILED_CALL;
    PlatPipe* pipe = plat_pipe_connect(name);
    std::uint32_t id = plat_process_id(child);
    if (pipe == nullptr || !plat_pipe_write(pipe, &id, sizeof id))
        return FAILED_CALL;
    plat_pipe_close(pipe);
    std::this_thread::sleep_for(std::chrono::milliseconds(30000));
    return 0;
}

#if defined(_WIN32)
int ctrl_c(const char* name, const char* passed_name)
{
    // The event reaches every process of a console: the peer is alone in the console without
    // window that plat_process_start gives every child. (A console of its own opened here with
    // AllocConsole would have a window, and under wine the first window starts the desktop
    // process, which would inherit the test's output and keep it open long after the test.)
    plat_termination_watch();
    PlatEvent* event = plat_event_create(name);
    if (event == nullptr || !GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0))
        return FAILED_CALL;
    bool interrupted = plat_event_wait(event, 10000) == PLAT_WAIT_FAILED &&
                       plat_last_error() == plat_error_interrupted();
    bool named = plat_termination_requested() && std::strcmp(plat_termination_name(), "Ctrl+C") == 0;
    plat_termination_ending();
    bool waits_again = plat_event_wait(event, 50) == PLAT_WAIT_TIMEOUT;
    PlatEvent* passed = plat_event_create(passed_name);
    if (!interrupted || !named || !waits_again || passed == nullptr || !plat_event_set(passed))
        return 1;
    GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
    Sleep(30000);
    return 1;
}

int inherited(const char* handle)
{
    char byte;
    DWORD got = 0;
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (input != nullptr && input != INVALID_HANDLE_VALUE && ReadFile(input, &byte, 1, &got, nullptr) && got != 0)
        return 1;
    DWORD flags = 0;
    HANDLE value = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(std::strtoull(handle, nullptr, 10)));
    return GetHandleInformation(value, &flags) ? 1 : 0;
}
#else
int inherited()
{
    char byte;
    if (read(0, &byte, 1) != 0)
        return 1;
    DIR* fds = opendir("/proc/self/fd");
    if (fds == nullptr)
        return FAILED_CALL;
    int extra = 0;
    while (dirent* entry = readdir(fds)) {
        if (entry->d_name[0] == '.')
            continue;
        int fd = std::atoi(entry->d_name);
        if (fd > 2 && fd != dirfd(fds))
            ++extra;
    }
    closedir(fds);
    return extra == 0 ? 0 : 1;
}
#endif

} // namespace

int main(int argc, char** argv)
{
    plat_utf8_arguments(&argc, &argv);
    std::string command = argc > 1 ? argv[1] : "";
    if (command == "event-set" && argc == 3)
        return event_set(argv[2]);
    if (command == "event-relay" && argc == 5)
        return event_relay(argv[2], argv[3], argv[4]);
    if (command == "event-state" && argc == 3)
        return event_state(argv[2]);
    if (command == "event-abandon" && argc == 3)
        return event_abandon(argv[2]);
    if (command == "map-swap" && argc == 6)
        return map_swap(argv[2], argv[3], argv[4], argv[5]);
    if (command == "map-abandon" && argc == 5)
        return map_abandon(argv[2], argv[3], argv[4]);
    if (command == "pipe-echo" && argc == 3)
        return pipe_echo(argv[2]);
    if (command == "pipe-abandon" && argc == 3)
        return pipe_abandon(argv[2]);
    if (command == "args-echo" && argc >= 3)
        return args_echo(argv[2], argc - 3, argv + 3);
    if (command == "env-expect" && argc == 4)
        return env_expect(argv[2], argv[3]);
    if (command == "sleep" && argc == 3) {
        std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(argv[2])));
        return 0;
    }
    if (command == "spawn" && argc == 3)
        return spawn(argv[0], argv[2]);
    if (command == "exit" && argc == 3)
        return std::atoi(argv[2]);
#if defined(_WIN32)
    if (command == "inherited" && argc == 3)
        return inherited(argv[2]);
    if (command == "ctrl-c" && argc == 4)
        return ctrl_c(argv[2], argv[3]);
#else
    if (command == "inherited" && argc == 2)
        return inherited();
#endif
    return 9;
}
