// A native stand-in for the dialog program, for what the Java one cannot easily do. It is
// started as the message-box module starts the dialog:
//   fake_dialog -jar MODE SOCKET-PATH
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

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

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

int connect_to(const char* path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path);
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0 || connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return -1;
    return fd;
}

int ignore_shutdown(const char* path)
{
    int fd = connect_to(path);
    if (fd < 0) {
        log("connect failed");
        return 2;
    }
    log("connected");
    std::string pending;
    char buffer[65536];
    for (;;) {
        ssize_t got = read(fd, buffer, sizeof buffer);
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
            if (send(fd, "7\n", 2, MSG_NOSIGNAL) != 2)
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
    log("pid " + std::to_string(getpid()));
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
