// A native stand-in for the dialog program, for what the Java one cannot easily do. It is
// started as the message-box module starts the dialog:
//   fake_dialog -jar MODE SOCKET-PATH        (Windows: the pipe's name instead of the path)
// with MODE taken from ZEKMSGBOX_JAR_PATH:
//   exit             ends at once with code 3, without connecting
//   silent           never connects; ends by itself after 20 s
//   ignore-shutdown  connects, answers every request "7\n", and on the shutdown line goes on
//                    running (ends by itself after 20 s)
// It appends "pid <pid>" and then one line per thing it did to the file ZEK_TEST_DIALOG_LOG.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#endif

namespace {

constexpr auto kLifetime = std::chrono::seconds(20);

void log(const std::string& line)
{
    const char* path = std::getenv("ZEK_TEST_DIALOG_LOG");
    if (path == nullptr)
        return;
    FILE* file = std::fopen(path, "a");
    if (file == nullptr)
        return;
    std::fprintf(file, "%s\n", line.c_str());
    std::fclose(file);
}

#if defined(_WIN32)
using Connection = HANDLE;
const Connection NO_CONNECTION = INVALID_HANDLE_VALUE;

Connection connect_to(const char* path)
{
    return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

long receive(Connection pipe, char* buffer, std::size_t capacity)
{
    DWORD got = 0;
    return ReadFile(pipe, buffer, static_cast<DWORD>(capacity), &got, nullptr) ? static_cast<long>(got) : -1;
}

bool answer(Connection pipe, const char* text, std::size_t size)
{
    DWORD written = 0;
    return WriteFile(pipe, text, static_cast<DWORD>(size), &written, nullptr) && written == size;
}

int own_pid()
{
    return static_cast<int>(GetCurrentProcessId());
}
#else
using Connection = int;
const Connection NO_CONNECTION = -1;

Connection connect_to(const char* path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path);
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0 || connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return -1;
    return fd;
}

long receive(Connection fd, char* buffer, std::size_t capacity)
{
    return static_cast<long>(read(fd, buffer, capacity));
}

bool answer(Connection fd, const char* text, std::size_t size)
{
    return send(fd, text, size, MSG_NOSIGNAL) == static_cast<ssize_t>(size);
}

int own_pid()
{
    return static_cast<int>(getpid());
}
#endif

int ignore_shutdown(const char* path)
{
    Connection fd = connect_to(path);
    if (fd == NO_CONNECTION) {
        log("connect failed");
        return 2;
    }
    log("connected");
    std::string pending;
    char buffer[65536];
    for (;;) {
        long got = receive(fd, buffer, sizeof buffer);
        if (got <= 0)
            break;
        pending.append(buffer, static_cast<std::size_t>(got));
        std::size_t end;
        while ((end = pending.find('\n')) != std::string::npos) {
            std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            if (line == "shutdown") {
                log("shutdown ignored");
                std::this_thread::sleep_for(kLifetime);
                return 0;
            }
            log("request");
            if (!answer(fd, "7\n", 2))
                return 2;
        }
    }
    log("end of stream");
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 4 || std::strcmp(argv[1], "-jar") != 0)
        return 9;
    std::string mode = argv[2];
    log("pid " + std::to_string(own_pid()));
    if (mode == "exit")
        return 3;
    if (mode == "silent") {
        std::this_thread::sleep_for(kLifetime);
        return 0;
    }
    if (mode == "ignore-shutdown")
        return ignore_shutdown(argv[3]);
    return 9;
}
