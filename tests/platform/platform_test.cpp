// Tests of the platform layer through its header, with the peer program as the other
// process wherever the layer's objects cross processes.
#include "zek_platform.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

const char* const PREFIX_VARIABLE = "ZEK_PLATFORM_NAME_PREFIX";

// Only a safety bound for peers that end by themselves; a passing run never reaches it.
constexpr std::uint32_t PEER_LIMIT_MS = 10000;

std::string prefix()
{
    const char* value = std::getenv(PREFIX_VARIABLE);
    return value ? value : "";
}

// A name of its own for every test; the prefix set in main keeps test processes apart.
std::string name_of(const char* what)
{
    const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
    return std::string(test->test_suite_name()) + "." + test->name() + "." + what;
}

// Pipe names as the message-box module makes them, short enough for a socket path.
std::string pipe_name()
{
    static int count = 0;
    return "\\\\.\\pipe\\" + std::to_string(plat_tick_ms()) + "-" + std::to_string(++count) + "_zek_vmmsgboxPipe";
}

std::string pipe_file(const std::string& name)
{
    char path[256];
    EXPECT_TRUE(plat_pipe_path(name.c_str(), path, sizeof path));
    return path;
}

PlatProcess* start_peer(const std::vector<std::string>& args)
{
    std::vector<const char*> argv{ZEK_PEER_PATH};
    for (const std::string& arg : args)
        argv.push_back(arg.c_str());
    argv.push_back(nullptr);
    return plat_process_start(argv.data());
}

// The exit code of a peer that ends by itself; -1 when it does not end in time.
int finish(PlatProcess* peer)
{
    int code = -1;
    if (plat_process_wait(peer, PEER_LIMIT_MS) == PLAT_WAIT_OK) {
        code = plat_process_exit_code(peer);
    } else {
        plat_process_terminate(peer);
        plat_process_wait(peer, PEER_LIMIT_MS);
    }
    plat_process_close(peer);
    return code;
}

int run_peer(const std::vector<std::string>& args)
{
    PlatProcess* peer = start_peer(args);
    return peer == nullptr ? -2 : finish(peer);
}

// True once the peer is in the given scheduler state: 'S' (sleeping, which for the peers
// below means inside the wait under test) or 'T' (stopped).
bool in_state(const PlatProcess* peer, char state)
{
    std::string path = "/proc/" + std::to_string(plat_process_id(peer)) + "/stat";
    for (int i = 0; i < 2000; ++i) {
        std::ifstream file(path);
        std::string stat((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        std::size_t close = stat.rfind(')');
        if (close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == state)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

std::string read_exactly(PlatPipe* pipe, std::size_t size)
{
    std::string data;
    char buffer[4096];
    while (data.size() < size) {
        std::int64_t got = plat_pipe_read(pipe, buffer, sizeof buffer);
        if (got <= 0)
            break;
        data.append(buffer, static_cast<std::size_t>(got));
    }
    return data;
}

// A server and a client of it, both in this process, connected; null ends on failure.
struct Connection {
    PlatPipe* server;
    PlatPipe* client;
};

Connection connect_pair(const std::string& name)
{
    Connection ends{plat_pipe_create(name.c_str()), nullptr};
    if (ends.server != nullptr)
        ends.client = plat_pipe_connect(name.c_str());
    if (ends.client != nullptr && plat_pipe_accept(ends.server, 1000) != PLAT_WAIT_OK) {
        plat_pipe_close(ends.client);
        ends.client = nullptr;
    }
    return ends;
}

bool write_text(PlatPipe* pipe, const std::string& text)
{
    return plat_pipe_write(pipe, text.data(), text.size());
}

std::string error_text(std::uint32_t code)
{
    char text[256];
    plat_error_text(code, text, sizeof text);
    return text;
}

// ---- Events ---------------------------------------------------------------------------

TEST(Event, ManualResetStaysSignalledUntilReset)
{
    PlatEvent* event = plat_event_create(name_of("e").c_str());
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(plat_event_wait(event, 0), PLAT_WAIT_TIMEOUT);
    EXPECT_TRUE(plat_event_set(event));
    EXPECT_EQ(plat_event_wait(event, 0), PLAT_WAIT_OK);
    EXPECT_EQ(plat_event_wait(event, 20), PLAT_WAIT_OK) << "a wait must not consume the signal";
    EXPECT_TRUE(plat_event_set(event));
    EXPECT_TRUE(plat_event_reset(event));
    EXPECT_EQ(plat_event_wait(event, 0), PLAT_WAIT_TIMEOUT);
    EXPECT_TRUE(plat_event_reset(event));
    EXPECT_EQ(plat_event_wait(event, 0), PLAT_WAIT_TIMEOUT);
    plat_event_close(event);
}

class EventTimeout : public testing::TestWithParam<std::uint32_t> {};

TEST_P(EventTimeout, WaitOnAClearEventLastsTheTimeout)
{
    PlatEvent* event = plat_event_create(name_of("e").c_str());
    ASSERT_NE(event, nullptr);
    std::uint64_t start = plat_tick_ms();
    EXPECT_EQ(plat_event_wait(event, GetParam()), PLAT_WAIT_TIMEOUT);
    EXPECT_GE(plat_tick_ms() - start, GetParam());
    plat_event_close(event);
}

INSTANTIATE_TEST_SUITE_P(Short, EventTimeout, testing::Values(0u, 1u, 25u, 80u));

TEST(Event, CreateOpensALiveEventKeepingItsState)
{
    for (bool signalled : {false, true}) {
        SCOPED_TRACE(signalled ? "signalled" : "clear");
        std::string name = name_of(signalled ? "signalled" : "clear");
        PlatEvent* first = plat_event_create(name.c_str());
        ASSERT_NE(first, nullptr);
        if (signalled)
            plat_event_set(first);
        PlatEvent* second = plat_event_create(name.c_str());
        ASSERT_NE(second, nullptr);
        PlatWaitResult expected = signalled ? PLAT_WAIT_OK : PLAT_WAIT_TIMEOUT;
        EXPECT_EQ(plat_event_wait(second, 0), expected);
        EXPECT_EQ(run_peer({"event-state", name}), signalled ? 0 : 1);
        plat_event_set(second);
        EXPECT_EQ(plat_event_wait(first, 0), PLAT_WAIT_OK);
        plat_event_reset(first);
        EXPECT_EQ(plat_event_wait(second, 0), PLAT_WAIT_TIMEOUT);
        plat_event_close(first);
        plat_event_close(second);
    }
}

TEST(Event, NameEndsWithItsLastHolder)
{
    std::string name = name_of("e");
    PlatEvent* first = plat_event_create(name.c_str());
    PlatEvent* second = plat_event_create(name.c_str());
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    plat_event_set(first);
    plat_event_close(first);
    PlatEvent* third = plat_event_open(name.c_str());
    ASSERT_NE(third, nullptr) << "the second holder keeps the name";
    EXPECT_EQ(plat_event_wait(third, 0), PLAT_WAIT_OK);
    plat_event_close(second);
    plat_event_close(third);

    EXPECT_EQ(plat_event_open(name.c_str()), nullptr);
    EXPECT_EQ(plat_last_error(), std::uint32_t{ENOENT});
    PlatEvent* fresh = plat_event_create(name.c_str());
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(plat_event_wait(fresh, 0), PLAT_WAIT_TIMEOUT);
    plat_event_close(fresh);
}

TEST(Event, EventLeftByAnEndedProcessIsGone)
{
    std::string created = name_of("created"), opened = name_of("opened");
    ASSERT_EQ(run_peer({"event-abandon", created}), 0);
    PlatEvent* event = plat_event_create(created.c_str());
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(plat_event_wait(event, 0), PLAT_WAIT_TIMEOUT) << "the ended process's set must not survive it";
    plat_event_close(event);

    ASSERT_EQ(run_peer({"event-abandon", opened}), 0);
    EXPECT_EQ(plat_event_open(opened.c_str()), nullptr);
    EXPECT_EQ(plat_last_error(), std::uint32_t{ENOENT});
}

TEST(Event, OneSetReleasesTheWaitersOfOtherProcesses)
{
    std::string in = name_of("in"), out1 = name_of("out1"), out2 = name_of("out2");
    PlatEvent* start = plat_event_create(in.c_str());
    PlatEvent* done1 = plat_event_create(out1.c_str());
    PlatEvent* done2 = plat_event_create(out2.c_str());
    ASSERT_TRUE(start && done1 && done2);
    PlatProcess* peer1 = start_peer({"event-relay", in, out1, "3000"});
    PlatProcess* peer2 = start_peer({"event-relay", in, out2, "3000"});
    ASSERT_TRUE(peer1 && peer2);
    EXPECT_EQ(plat_event_wait(done1, 30), PLAT_WAIT_TIMEOUT);
    EXPECT_TRUE(in_state(peer1, 'S'));
    EXPECT_TRUE(in_state(peer2, 'S'));
    plat_event_set(start);
    EXPECT_EQ(plat_event_wait(done1, 3000), PLAT_WAIT_OK);
    EXPECT_EQ(plat_event_wait(done2, 3000), PLAT_WAIT_OK);
    EXPECT_EQ(finish(peer1), 0);
    EXPECT_EQ(finish(peer2), 0);
    plat_event_close(start);
    plat_event_close(done1);
    plat_event_close(done2);
}

TEST(Event, WaiterAsleepAtASetIsReleasedEvenWhenAResetFollows)
{
    std::string in = name_of("in"), out = name_of("out");
    PlatEvent* start = plat_event_create(in.c_str());
    PlatEvent* done = plat_event_create(out.c_str());
    ASSERT_TRUE(start && done);
    PlatProcess* peer = start_peer({"event-relay", in, out, "3000"});
    ASSERT_NE(peer, nullptr);
    ASSERT_TRUE(in_state(peer, 'S'));
    // Stopped, the peer can look at the event only after the reset.
    pid_t pid = static_cast<pid_t>(plat_process_id(peer));
    kill(pid, SIGSTOP);
    ASSERT_TRUE(in_state(peer, 'T'));
    plat_event_set(start);
    plat_event_reset(start);
    kill(pid, SIGCONT);
    EXPECT_EQ(plat_event_wait(done, 3000), PLAT_WAIT_OK);
    EXPECT_EQ(finish(peer), 0);
    plat_event_close(start);
    plat_event_close(done);
}

// ---- Every bounded wait goes on after a signal ----------------------------------------

std::atomic<int> g_alarms{0};

void count_alarm(int)
{
    ++g_alarms;
}

// Runs work with SIGALRM arriving every period_us (its handler set without SA_RESTART, so
// that blocking calls return EINTR) and checks that signals did arrive.
void with_alarms(long period_us, const std::function<void()>& work)
{
    struct sigaction action{}, previous{};
    action.sa_handler = count_alarm;
    sigemptyset(&action.sa_mask);
    sigaction(SIGALRM, &action, &previous);
    itimerval every{{0, period_us}, {0, period_us}}, stop{};
    g_alarms = 0;
    setitimer(ITIMER_REAL, &every, nullptr);
    work();
    setitimer(ITIMER_REAL, &stop, nullptr);
    sigaction(SIGALRM, &previous, nullptr);
    EXPECT_GT(g_alarms.load(), 0);
}

// The wait still times out under signals, and only after its whole time.
void expect_full_wait_under_signals(const std::function<PlatWaitResult(std::uint32_t)>& wait)
{
    constexpr std::uint32_t timeout_ms = 60;
    with_alarms(5000, [&] {
        std::uint64_t start = plat_tick_ms();
        EXPECT_EQ(wait(timeout_ms), PLAT_WAIT_TIMEOUT);
        EXPECT_GE(plat_tick_ms() - start, timeout_ms);
    });
}

TEST(Interrupted, EventWait)
{
    PlatEvent* event = plat_event_create(name_of("e").c_str());
    ASSERT_NE(event, nullptr);
    expect_full_wait_under_signals([&](std::uint32_t ms) { return plat_event_wait(event, ms); });
    plat_event_close(event);
}

TEST(Interrupted, PipeAccept)
{
    PlatPipe* server = plat_pipe_create(pipe_name().c_str());
    ASSERT_NE(server, nullptr);
    expect_full_wait_under_signals([&](std::uint32_t ms) { return plat_pipe_accept(server, ms); });
    plat_pipe_close(server);
}

TEST(Interrupted, ProcessWait)
{
    PlatProcess* peer = start_peer({"sleep", "5000"});
    ASSERT_NE(peer, nullptr);
    expect_full_wait_under_signals([&](std::uint32_t ms) { return plat_process_wait(peer, ms); });
    plat_process_terminate(peer);
    EXPECT_EQ(plat_process_wait(peer, PEER_LIMIT_MS), PLAT_WAIT_OK);
    plat_process_close(peer);
}

// A write far beyond the socket's buffer, cut short by signals, still arrives whole.
TEST(Interrupted, PipeWrite)
{
    Connection ends = connect_pair(pipe_name());
    PlatPipe* server = ends.server;
    PlatPipe* client = ends.client;
    ASSERT_TRUE(server && client);
    std::string data(8 << 20, '\0');
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 131 >> 7);
    with_alarms(200, [&] {
        bool written = false;
        std::thread writer([&] { written = write_text(client, data); });
        // Blocked here, the signals go to the writer.
        sigset_t alarm, previous;
        sigemptyset(&alarm);
        sigaddset(&alarm, SIGALRM);
        pthread_sigmask(SIG_BLOCK, &alarm, &previous);
        EXPECT_TRUE(read_exactly(server, data.size()) == data);
        writer.join();
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        EXPECT_TRUE(written);
    });
    plat_pipe_close(client);
    plat_pipe_close(server);
}

// ---- Named mappings -------------------------------------------------------------------

TEST(Mapping, IsSharedWithAnotherProcess)
{
    constexpr std::size_t size = 70001; // not a whole number of pages
    std::string name = name_of("m");
    PlatMapping* mapping = plat_mapping_create(name.c_str(), size);
    ASSERT_NE(mapping, nullptr);
    ASSERT_EQ(plat_mapping_size(mapping), size);
    const char* data = static_cast<const char*>(plat_mapping_data(mapping));
    EXPECT_EQ(std::vector<char>(data, data + size), std::vector<char>(size, 0));
    std::strcpy(static_cast<char*>(plat_mapping_data(mapping)), "from the creator");
    EXPECT_EQ(run_peer({"map-swap", name, std::to_string(size), "from the creator", "from the peer"}), 0);
    EXPECT_STREQ(data, "from the peer");
    plat_mapping_close(mapping);
}

TEST(Mapping, CreateOpensALiveMappingAndGrowsIt)
{
    std::string name = name_of("m");
    PlatMapping* small = plat_mapping_create(name.c_str(), 100);
    ASSERT_NE(small, nullptr);
    static_cast<char*>(plat_mapping_data(small))[99] = 'x';
    PlatMapping* large = plat_mapping_create(name.c_str(), 200000);
    ASSERT_NE(large, nullptr);
    EXPECT_EQ(plat_mapping_size(large), 200000u);
    char* bytes = static_cast<char*>(plat_mapping_data(large));
    EXPECT_EQ(bytes[99], 'x');
    bytes[199999] = 'y';
    PlatMapping* opened = plat_mapping_open(name.c_str());
    ASSERT_NE(opened, nullptr);
    EXPECT_EQ(plat_mapping_size(opened), 200000u);
    EXPECT_EQ(static_cast<char*>(plat_mapping_data(opened))[199999], 'y');
    plat_mapping_close(small);
    plat_mapping_close(large);
    plat_mapping_close(opened);
    EXPECT_EQ(plat_mapping_open(name.c_str()), nullptr);
}

TEST(Mapping, MappingLeftByAnEndedProcessIsGone)
{
    std::string created = name_of("created"), opened = name_of("opened");
    ASSERT_EQ(run_peer({"map-abandon", created, "4096", "stale"}), 0);
    PlatMapping* mapping = plat_mapping_create(created.c_str(), 4096);
    ASSERT_NE(mapping, nullptr);
    EXPECT_EQ(static_cast<const char*>(plat_mapping_data(mapping))[0], '\0');
    plat_mapping_close(mapping);

    ASSERT_EQ(run_peer({"map-abandon", opened, "4096", "stale"}), 0);
    EXPECT_EQ(plat_mapping_open(opened.c_str()), nullptr);
    EXPECT_EQ(plat_last_error(), std::uint32_t{ENOENT});
}

TEST(Mapping, RefusedRequests)
{
    std::string name = name_of("m");
    EXPECT_EQ(plat_mapping_open(name.c_str()), nullptr);
    EXPECT_EQ(plat_last_error(), std::uint32_t{ENOENT});
    EXPECT_EQ(plat_mapping_create(name.c_str(), 0), nullptr);
    EXPECT_EQ(plat_last_error(), std::uint32_t{EINVAL});
    EXPECT_EQ(plat_mapping_create("", 16), nullptr);
    EXPECT_EQ(plat_last_error(), std::uint32_t{EINVAL});
    EXPECT_EQ(plat_mapping_create(std::string(300, 'n').c_str(), 16), nullptr);
    EXPECT_EQ(plat_last_error(), std::uint32_t{ENAMETOOLONG});
}

// ---- Names ----------------------------------------------------------------------------

TEST(Names, PrefixKeepsObjectsApart)
{
    std::string name = name_of("e");
    PlatEvent* mine = plat_event_create(name.c_str());
    ASSERT_NE(mine, nullptr);
    std::string own = prefix();
    setenv(PREFIX_VARIABLE, (own + "other-").c_str(), 1);
    PlatEvent* other = plat_event_open(name.c_str());
    setenv(PREFIX_VARIABLE, own.c_str(), 1);
    EXPECT_EQ(other, nullptr);
    plat_event_close(other);
    plat_event_close(mine);
}

// Java peers find the objects by these rules.
TEST(Names, LocalFormsOfNames)
{
    PlatEvent* event = plat_event_create("Local/ZEK-TO-ZVM-EVENT");
    ASSERT_NE(event, nullptr);
    EXPECT_TRUE(fs::exists("/dev/shm/" + prefix() + "Local_ZEK-TO-ZVM-EVENT"));
    plat_event_close(event);
    EXPECT_FALSE(fs::exists("/dev/shm/" + prefix() + "Local_ZEK-TO-ZVM-EVENT"));

    EXPECT_EQ(pipe_file("\\\\.\\pipe\\123_zek_vmmsgboxPipe"), "/tmp/" + prefix() + "123_zek_vmmsgboxPipe");
    EXPECT_EQ(pipe_file("\\\\.\\PIPE\\a\\b/c"), "/tmp/" + prefix() + "a_b_c");
    char small[16];
    EXPECT_FALSE(plat_pipe_path("\\\\.\\pipe\\123_zek_vmmsgboxPipe", small, sizeof small));
    EXPECT_EQ(plat_last_error(), std::uint32_t{ENAMETOOLONG});
}

// ---- Read-only file mappings ----------------------------------------------------------

class FileMapping : public testing::Test {
protected:
    void SetUp() override
    {
        dir = fs::temp_directory_path() / ("zek-platform-" + std::to_string(getpid()) + "-" + name_of("d"));
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    std::string file_with(const std::string& name, const std::string& content)
    {
        std::string path = (dir / name).string();
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }

    fs::path dir;
};

TEST_F(FileMapping, MapsTheWholeFile)
{
    std::string pattern;
    for (int i = 0; i < 12288; ++i)
        pattern.push_back(static_cast<char>(i * 7));
    for (std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{5000}, std::size_t{8192}, pattern.size()}) {
        SCOPED_TRACE(size);
        std::string content = pattern.substr(0, size);
        PlatMapping* mapping = plat_mapping_open_file(file_with("f" + std::to_string(size), content).c_str());
        ASSERT_NE(mapping, nullptr);
        ASSERT_EQ(plat_mapping_size(mapping), size);
        const char* data = static_cast<const char*>(plat_mapping_data(mapping));
        EXPECT_EQ(data == nullptr, size == 0);
        if (data != nullptr) {
            EXPECT_EQ(std::string(data, size), content);
        }
        plat_mapping_close(mapping);
    }
}

TEST_F(FileMapping, RefusesWhatIsNoRegularFile)
{
    std::string fifo = (dir / "fifo").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    struct Case {
        std::string path;
        int error;
    };
    for (const Case& c : {Case{(dir / "missing").string(), ENOENT}, Case{dir.string(), EISDIR}, Case{fifo, EINVAL}}) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(plat_mapping_open_file(c.path.c_str()), nullptr);
        EXPECT_EQ(plat_last_error(), static_cast<std::uint32_t>(c.error));
        EXPECT_NE(error_text(plat_last_error()), "");
    }
}

// ---- Whole-file reads and file identity -----------------------------------------------

TEST_F(FileMapping, WholeFileReadsGiveAPrivateCopy)
{
    std::string pattern;
    for (int i = 0; i < 12288; ++i)
        pattern.push_back(static_cast<char>(i * 7));
    for (std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{5000}, pattern.size()}) {
        SCOPED_TRACE(size);
        std::string path = file_with("r" + std::to_string(size), pattern.substr(0, size));
        std::uint8_t* data = nullptr;
        std::uint64_t length = 99;
        ASSERT_EQ(plat_file_read_all(path.c_str(), &data, &length), PLAT_FILE_OK);
        ASSERT_EQ(length, size);
        EXPECT_EQ(data == nullptr, size == 0);
        // Cutting the file leaves the copy as it was read.
        ASSERT_EQ(truncate(path.c_str(), 0), 0);
        if (data != nullptr) {
            EXPECT_EQ(std::string(reinterpret_cast<char*>(data), size), pattern.substr(0, size));
        }
        std::free(data);
    }
    // A stream is read from where it stands to its end.
    std::string path = file_with("stream", pattern);
    std::FILE* stream = std::fopen(path.c_str(), "rb");
    ASSERT_NE(stream, nullptr);
    ASSERT_TRUE(plat_stream_seek(stream, 100));
    EXPECT_EQ(plat_stream_tell(stream), 100);
    std::uint8_t* data = nullptr;
    std::uint64_t length = 0;
    ASSERT_EQ(plat_stream_read_all(stream, &data, &length), PLAT_FILE_OK);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(data), length), pattern.substr(100));
    std::free(data);
    // An allocation that fails is told apart from a failed read.
    ASSERT_TRUE(plat_stream_seek(stream, 0));
    plat_fault_arm(PLAT_FAULT_ALLOCATION, 1);
    EXPECT_EQ(plat_stream_read_all(stream, &data, &length), PLAT_FILE_NO_MEMORY);
    plat_fault_arm(PLAT_FAULT_ALLOCATION, 1);
    EXPECT_EQ(plat_file_read_all(path.c_str(), &data, &length), PLAT_FILE_NO_MEMORY);
    EXPECT_FALSE(plat_fault_armed(PLAT_FAULT_ALLOCATION));
    EXPECT_EQ(data, nullptr);
    std::fclose(stream);
}

TEST_F(FileMapping, WholeFileReadsRefuseWhatIsNoRegularFileAtOnce)
{
    std::string fifo = (dir / "fifo").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    struct Case {
        std::string path;
        PlatFileResult result;
        int error;
    };
    for (const Case& c : {Case{(dir / "missing").string(), PLAT_FILE_NO_FILE, ENOENT},
                          Case{dir.string(), PLAT_FILE_DIRECTORY, EISDIR}, Case{fifo, PLAT_FILE_NOT_REGULAR, EINVAL},
                          Case{"/dev/zero", PLAT_FILE_NOT_REGULAR, EINVAL}}) {
        SCOPED_TRACE(c.path);
        std::uint8_t* data = nullptr;
        std::uint64_t length = 0;
        EXPECT_EQ(plat_file_read_all(c.path.c_str(), &data, &length), c.result);
        EXPECT_EQ(plat_last_error(), static_cast<std::uint32_t>(c.error));
        EXPECT_EQ(data, nullptr);
    }
}

TEST_F(FileMapping, IdentityNamesTheFileNotThePath)
{
    std::string a = file_with("a", "x"), b = file_with("b", "x");
    std::string linked = (dir / "linked").string();
    ASSERT_EQ(link(a.c_str(), linked.c_str()), 0);
    std::string dotted = (dir / "." / "a").string();
    PlatFileIdentity ia{}, ib{}, il{}, id{};
    ASSERT_TRUE(plat_file_identity(a.c_str(), &ia));
    ASSERT_TRUE(plat_file_identity(b.c_str(), &ib));
    ASSERT_TRUE(plat_file_identity(linked.c_str(), &il));
    ASSERT_TRUE(plat_file_identity(dotted.c_str(), &id));
    EXPECT_TRUE(ia.volume == il.volume && ia.file == il.file);
    EXPECT_TRUE(ia.volume == id.volume && ia.file == id.file);
    EXPECT_FALSE(ia.volume == ib.volume && ia.file == ib.file);
    EXPECT_FALSE(plat_file_identity((dir / "missing").string().c_str(), &ia));
}

// ---- Pipe -----------------------------------------------------------------------------

TEST(Pipe, RoundTripWithAPeerProcess)
{
    std::string name = pipe_name();
    PlatPipe* server = plat_pipe_create(name.c_str());
    ASSERT_NE(server, nullptr);
    PlatProcess* peer = start_peer({"pipe-echo", name});
    ASSERT_NE(peer, nullptr);
    ASSERT_EQ(plat_pipe_accept(server, 3000), PLAT_WAIT_OK);

    std::string request = "open:42;1;a\x1e" "b\x1f" "c;0;[];10;0\n";
    ASSERT_TRUE(write_text(server, request));
    EXPECT_EQ(read_exactly(server, request.size()), request);
    std::string longest(32766, '\0');
    for (std::size_t i = 0; i < longest.size(); ++i)
        longest[i] = static_cast<char>('a' + i % 26);
    ASSERT_TRUE(write_text(server, longest));
    EXPECT_EQ(read_exactly(server, longest.size()), longest);

    plat_pipe_close(server); // the peer sees the end of the stream and ends
    EXPECT_EQ(finish(peer), 0);
}

class PipeAcceptTimeout : public testing::TestWithParam<std::uint32_t> {};

TEST_P(PipeAcceptTimeout, ReturnsWhenNobodyConnectsAndTakesALaterClient)
{
    std::string name = pipe_name();
    PlatPipe* server = plat_pipe_create(name.c_str());
    ASSERT_NE(server, nullptr);
    std::uint64_t start = plat_tick_ms();
    EXPECT_EQ(plat_pipe_accept(server, GetParam()), PLAT_WAIT_TIMEOUT);
    EXPECT_GE(plat_tick_ms() - start, GetParam());

    PlatPipe* client = plat_pipe_connect(name.c_str());
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(plat_pipe_accept(server, 0), PLAT_WAIT_OK) << "a client that connected before the call counts";
    plat_pipe_close(client);
    plat_pipe_close(server);
}

INSTANTIATE_TEST_SUITE_P(Short, PipeAcceptTimeout, testing::Values(0u, 30u));

TEST(Pipe, TakesOneClientAndThenFreesItsName)
{
    std::string name = pipe_name();
    auto [server, client] = connect_pair(name);
    ASSERT_TRUE(server && client);
    EXPECT_FALSE(fs::exists(pipe_file(name)));
    EXPECT_EQ(plat_pipe_connect(name.c_str()), nullptr);

    ASSERT_TRUE(write_text(client, "ping"));
    EXPECT_EQ(read_exactly(server, 4), "ping");
    ASSERT_TRUE(write_text(server, "pong"));
    EXPECT_EQ(read_exactly(client, 4), "pong");
    plat_pipe_close(client);
    plat_pipe_close(server);
}

TEST(Pipe, NameHasOneLiveServer)
{
    std::string name = pipe_name();
    PlatPipe* first = plat_pipe_create(name.c_str());
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(plat_pipe_create(name.c_str()), nullptr);
    EXPECT_EQ(plat_last_error(), std::uint32_t{EADDRINUSE});
    EXPECT_TRUE(fs::exists(pipe_file(name))) << "the refused server must leave the live one's file";
    plat_pipe_close(first);
    EXPECT_FALSE(fs::exists(pipe_file(name)));
    PlatPipe* second = plat_pipe_create(name.c_str());
    EXPECT_NE(second, nullptr);
    plat_pipe_close(second);
}

TEST(Pipe, SocketFileLeftByAnEndedServerIsTakenOver)
{
    std::string name = pipe_name();
    ASSERT_EQ(run_peer({"pipe-abandon", name}), 0);
    ASSERT_TRUE(fs::exists(pipe_file(name)));
    auto [server, client] = connect_pair(name);
    EXPECT_TRUE(server && client);
    plat_pipe_close(client);
    plat_pipe_close(server);
}

TEST(Pipe, PeerThatClosedGivesEndOfStreamAndFailedWrites)
{
    auto [server, client] = connect_pair(pipe_name());
    ASSERT_TRUE(server && client);
    plat_pipe_close(client);
    char byte;
    EXPECT_EQ(plat_pipe_read(server, &byte, 1), 0);
    // With SIGPIPE at its default, which ends the process, reaching the next lines at all
    // shows that the write raised none (the environment of the test may ignore it).
    void (*previous)(int) = std::signal(SIGPIPE, SIG_DFL);
    EXPECT_FALSE(write_text(server, "shutdown\n"));
    EXPECT_EQ(plat_last_error(), std::uint32_t{EPIPE});
    std::signal(SIGPIPE, previous);
    plat_pipe_close(server);
}

TEST(Pipe, UnconnectedEndsRefuse)
{
    std::string name = pipe_name();
    EXPECT_EQ(plat_pipe_connect(name.c_str()), nullptr) << "no server";
    EXPECT_NE(plat_last_error(), 0u);
    EXPECT_NE(error_text(plat_last_error()), "");

    PlatPipe* server = plat_pipe_create(name.c_str());
    ASSERT_NE(server, nullptr);
    char byte;
    EXPECT_FALSE(write_text(server, "x"));
    EXPECT_EQ(plat_last_error(), std::uint32_t{ENOTCONN});
    EXPECT_EQ(plat_pipe_read(server, &byte, 1), -1);
    plat_pipe_close(server);
}

// Accepting the client that a started child is to be: the wait ends with the child.
struct AcceptChildCase {
    const char* what;
    std::vector<std::string> peer; // arguments; "@" stands for the pipe name
    bool child_ends_first;         // wait for the child's end before the accept
    std::uint32_t timeout_ms;
    PlatWaitResult result;
    std::uint32_t error; // plat_last_error() after a result other than OK
};

class PipeAcceptChild : public testing::TestWithParam<AcceptChildCase> {};

TEST_P(PipeAcceptChild, EndsWithTheChild)
{
    const AcceptChildCase& c = GetParam();
    std::string name = pipe_name();
    PlatPipe* server = plat_pipe_create(name.c_str());
    ASSERT_NE(server, nullptr);
    std::vector<std::string> args;
    for (const std::string& arg : c.peer)
        args.push_back(arg == "@" ? name : arg);
    PlatProcess* peer = start_peer(args);
    ASSERT_NE(peer, nullptr);
    if (c.child_ends_first) {
        ASSERT_EQ(plat_process_wait(peer, PEER_LIMIT_MS), PLAT_WAIT_OK);
    }

    EXPECT_EQ(plat_pipe_accept_child(server, peer, c.timeout_ms), c.result);
    if (c.result != PLAT_WAIT_OK) {
        EXPECT_EQ(plat_last_error(), c.error);
    } else {
        EXPECT_EQ(plat_pipe_accept_child(server, peer, 0), PLAT_WAIT_OK) << "connected stays connected";
    }

    plat_process_terminate(peer);
    plat_process_wait(peer, PEER_LIMIT_MS);
    plat_process_close(peer);
    plat_pipe_close(server);
}

// A child that ends without connecting ends the wait long before its limit; a passing
// run never reaches PEER_LIMIT_MS.
INSTANTIATE_TEST_SUITE_P(
    Cases, PipeAcceptChild,
    testing::Values(AcceptChildCase{"connects", {"pipe-echo", "@"}, false, PEER_LIMIT_MS, PLAT_WAIT_OK, 0},
                    AcceptChildCase{"ends_without_connecting", {"exit", "0"}, false, PEER_LIMIT_MS,
                                    PLAT_WAIT_FAILED, EPIPE},
                    AcceptChildCase{"ended_before_the_call", {"exit", "3"}, true, PEER_LIMIT_MS, PLAT_WAIT_FAILED,
                                    EPIPE},
                    AcceptChildCase{"connected_and_ended_before_the_call", {"args-echo", "@", "x"}, true,
                                    PEER_LIMIT_MS, PLAT_WAIT_OK, 0},
                    AcceptChildCase{"runs_without_connecting", {"sleep", "10000"}, false, 30, PLAT_WAIT_TIMEOUT,
                                    ETIMEDOUT}),
    [](const testing::TestParamInfo<AcceptChildCase>& info) { return std::string(info.param.what); });

TEST(Pipe, BrokenPipeCodeIsTheCodeOfAClosedPeer)
{
    auto [server, client] = connect_pair(pipe_name());
    ASSERT_TRUE(server && client);
    plat_pipe_close(client);
    EXPECT_FALSE(write_text(server, "x"));
    EXPECT_EQ(plat_last_error(), plat_error_broken_pipe());
    EXPECT_NE(error_text(plat_error_broken_pipe()), "");
    plat_pipe_close(server);
}

// ---- Child processes ------------------------------------------------------------------

TEST(Process, ReportsTheExitCode)
{
    for (int code : {0, 7, 255}) {
        SCOPED_TRACE(code);
        PlatProcess* peer = start_peer({"exit", std::to_string(code)});
        ASSERT_NE(peer, nullptr);
        EXPECT_NE(plat_process_id(peer), 0u);
        ASSERT_EQ(plat_process_wait(peer, PEER_LIMIT_MS), PLAT_WAIT_OK);
        EXPECT_FALSE(plat_process_running(peer));
        EXPECT_EQ(plat_process_exit_code(peer), code);
        EXPECT_EQ(plat_process_wait(peer, 0), PLAT_WAIT_OK);
        plat_process_close(peer);
    }
}

TEST(Process, RunsUntilTerminated)
{
    PlatProcess* peer = start_peer({"sleep", "10000"});
    ASSERT_NE(peer, nullptr);
    EXPECT_TRUE(plat_process_running(peer));
    EXPECT_EQ(plat_process_wait(peer, 0), PLAT_WAIT_TIMEOUT);
    std::uint64_t start = plat_tick_ms();
    EXPECT_EQ(plat_process_wait(peer, 30), PLAT_WAIT_TIMEOUT);
    EXPECT_GE(plat_tick_ms() - start, 30u);
    EXPECT_EQ(plat_process_exit_code(peer), -1);
    EXPECT_TRUE(plat_process_running(peer));

    EXPECT_TRUE(plat_process_terminate(peer));
    ASSERT_EQ(plat_process_wait(peer, PEER_LIMIT_MS), PLAT_WAIT_OK);
    EXPECT_FALSE(plat_process_running(peer));
    EXPECT_EQ(plat_process_exit_code(peer), 128 + SIGKILL);
    EXPECT_TRUE(plat_process_terminate(peer)) << "an ended child counts as terminated";
    plat_process_close(peer);
}

TEST(Process, ProgramThatCannotRunFailsToStart)
{
    std::string plain = (fs::temp_directory_path() / ("zek-platform-plain-" + std::to_string(getpid()))).string();
    std::ofstream(plain) << "#!/bin/sh\n";
    fs::permissions(plain, fs::perms::owner_read | fs::perms::owner_write);
    struct Case {
        std::string program;
        int error;
    };
    for (const Case& c : {Case{"/nonexistent-dir/zek-peer", ENOENT}, Case{"zek-no-such-program-on-path", ENOENT},
                          Case{plain, EACCES}}) {
        SCOPED_TRACE(c.program);
        const char* argv[] = {c.program.c_str(), nullptr};
        EXPECT_EQ(plat_process_start(argv), nullptr);
        EXPECT_EQ(plat_last_error(), static_cast<std::uint32_t>(c.error));
    }
    fs::remove(plain);
    const char* empty[] = {nullptr};
    EXPECT_EQ(plat_process_start(empty), nullptr);
    EXPECT_EQ(plat_last_error(), std::uint32_t{EINVAL});
}

TEST(Process, ArgumentsArriveUnchanged)
{
    std::vector<std::string> args{"plain", "with space", "\"quoted\"", "", "semi;colon", "\\\\.\\pipe\\1_x"};
    std::string name = pipe_name();
    PlatPipe* server = plat_pipe_create(name.c_str());
    ASSERT_NE(server, nullptr);
    std::vector<std::string> command{"args-echo", name};
    command.insert(command.end(), args.begin(), args.end());
    PlatProcess* peer = start_peer(command);
    ASSERT_NE(peer, nullptr);
    ASSERT_EQ(plat_pipe_accept(server, 3000), PLAT_WAIT_OK);
    std::string expected;
    for (const std::string& arg : args)
        expected.append(arg).push_back('\0');
    EXPECT_EQ(read_exactly(server, expected.size()), expected);
    EXPECT_EQ(finish(peer), 0);
    plat_pipe_close(server);
}

TEST(Process, ChildGetsTheEnvironmentButNoOtherHandles)
{
    // Open objects of every kind, and a descriptor without close-on-exec as other code of a
    // host might hold one.
    PlatEvent* event = plat_event_create(name_of("e").c_str());
    PlatMapping* mapping = plat_mapping_create(name_of("m").c_str(), 64);
    PlatPipe* server = plat_pipe_create(pipe_name().c_str());
    int inheritable = open("/dev/null", O_RDONLY);
    ASSERT_TRUE(event && mapping && server && inheritable >= 0);
    // Our own standard input has bytes waiting, which the child must not see.
    int input[2];
    ASSERT_EQ(::pipe(input), 0);
    ASSERT_EQ(write(input[1], "x", 1), 1);
    int own_input = dup(0);
    dup2(input[0], 0);
    EXPECT_EQ(run_peer({"inherited"}), 0);
    dup2(own_input, 0);
    close(own_input);
    close(input[0]);
    close(input[1]);
    setenv("ZEK_PLATFORM_TEST_VALUE", "seen by the child", 1);
    EXPECT_EQ(run_peer({"env-expect", "ZEK_PLATFORM_TEST_VALUE", "seen by the child"}), 0);
    unsetenv("ZEK_PLATFORM_TEST_VALUE");
    close(inheritable);
    plat_pipe_close(server);
    plat_mapping_close(mapping);
    plat_event_close(event);
}

// ---- Environment, errors --------------------------------------------------------------

TEST(Environment, CopiesValuesThatFit)
{
    setenv("ZEK_PLATFORM_TEST_VALUE", "abc", 1);
    char buffer[4];
    EXPECT_TRUE(plat_getenv("ZEK_PLATFORM_TEST_VALUE", buffer, sizeof buffer));
    EXPECT_STREQ(buffer, "abc");
    EXPECT_FALSE(plat_getenv("ZEK_PLATFORM_TEST_VALUE", buffer, 3));
    EXPECT_EQ(plat_last_error(), std::uint32_t{ERANGE});
    unsetenv("ZEK_PLATFORM_TEST_VALUE");
    EXPECT_FALSE(plat_getenv("ZEK_PLATFORM_TEST_VALUE", buffer, sizeof buffer));
    EXPECT_EQ(plat_last_error(), std::uint32_t{ENOENT});
}

TEST(FileReplace, ReplacesAnExistingFileAndKeepsTheSourceOnFailure)
{
    fs::path dir = fs::path(::testing::TempDir()) / ("zek_replace_" + std::to_string(getpid()));
    fs::create_directories(dir);
    std::string from = (dir / "new").string(), to = (dir / "old").string();
    std::ofstream(from) << "new";
    std::ofstream(to) << "old";
    ASSERT_TRUE(plat_file_replace(from.c_str(), to.c_str()));
    EXPECT_FALSE(fs::exists(from));
    std::string text;
    std::ifstream(to) >> text;
    EXPECT_EQ(text, "new");

    std::ofstream(from) << "kept";
    std::string missingDir = (dir / "none" / "old").string();
    EXPECT_FALSE(plat_file_replace(from.c_str(), missingDir.c_str()));
    EXPECT_EQ(plat_last_error(), std::uint32_t{ENOENT});
    EXPECT_TRUE(fs::exists(from));
    fs::remove_all(dir);
}

// ---- Temporary files -----------------------------------------------------------------

TEST_F(FileMapping, TemporaryFileIsANewFileOfAShortNameBesideThePath)
{
    // However long the name beside which it is made, the temporary name is short.
    std::string beside = (dir / std::string(255, 'b')).string();
    char* first = nullptr;
    char* second = nullptr;
    std::FILE* a = plat_temporary_file_create(beside.c_str(), &first);
    ASSERT_NE(a, nullptr) << plat_last_error();
    std::FILE* b = plat_temporary_file_create(beside.c_str(), &second);
    ASSERT_NE(b, nullptr) << plat_last_error();
    EXPECT_NE(std::string(first), std::string(second));
    for (const char* made : {first, second}) {
        fs::path path(made);
        EXPECT_EQ(path.parent_path(), dir);
        std::string name = path.filename().string();
        EXPECT_EQ(name.size(), 24u) << name;
        EXPECT_EQ(name.rfind(".zek", 0), 0u) << name;
        EXPECT_EQ(name.substr(name.size() - 4), ".tmp") << name;
    }
    // Open for writing, and not handed to children.
    EXPECT_NE(fcntl(fileno(a), F_GETFD) & FD_CLOEXEC, 0);
    EXPECT_EQ(std::fwrite("abc", 1, 3, a), 3u);
    EXPECT_EQ(std::fclose(a), 0);
    EXPECT_EQ(std::fclose(b), 0);
    std::uint8_t* data = nullptr;
    std::uint64_t length = 0;
    ASSERT_EQ(plat_file_read_all(first, &data, &length), PLAT_FILE_OK);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(data), length), "abc");
    std::free(data);
    EXPECT_EQ(fs::file_size(second), 0u);
    // Made as a file opened by name would be: the permissions the umask leaves of 0666.
    mode_t mask = umask(0);
    umask(mask);
    struct stat st{};
    ASSERT_EQ(stat(first, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask);
    std::free(first);
    std::free(second);

    // A name without a folder: the file lies in the current folder.
    char* here = nullptr;
    std::FILE* c = plat_temporary_file_create("result.bin", &here);
    ASSERT_NE(c, nullptr) << plat_last_error();
    std::fclose(c);
    EXPECT_EQ(std::string(here).find('/'), std::string::npos);
    EXPECT_TRUE(fs::is_regular_file(here));
    EXPECT_TRUE(plat_file_remove(here));
    std::free(here);
}

TEST_F(FileMapping, TemporaryFileRefusalsCreateNothing)
{
    std::string file = file_with("file", "x");
    struct Case {
        std::string beside;
        int error;
    };
    for (const Case& c : {Case{(dir / "missing" / "result.bin").string(), ENOENT},
                          Case{file + "/result.bin", ENOTDIR}}) {
        SCOPED_TRACE(c.beside);
        char* made = reinterpret_cast<char*>(&made);
        EXPECT_EQ(plat_temporary_file_create(c.beside.c_str(), &made), nullptr);
        EXPECT_EQ(made, nullptr);
        EXPECT_EQ(plat_last_error(), static_cast<std::uint32_t>(c.error));
    }
    char* made = nullptr;
    EXPECT_EQ(plat_temporary_file_create(nullptr, &made), nullptr);
    EXPECT_EQ(plat_last_error(), std::uint32_t{EINVAL});
    EXPECT_EQ(plat_temporary_file_create((dir / "result.bin").string().c_str(), nullptr), nullptr);
    EXPECT_EQ(plat_last_error(), std::uint32_t{EINVAL});
    std::vector<std::string> left;
    for (const fs::directory_entry& entry : fs::directory_iterator(dir))
        left.push_back(entry.path().filename().string());
    EXPECT_EQ(left, std::vector<std::string>{"file"});
}

TEST(ErrorText, TextOfACode)
{
    EXPECT_EQ(error_text(0), "");
    EXPECT_EQ(error_text(ENOENT), std::strerror(ENOENT));
    char cut[4];
    plat_error_text(ENOENT, cut, sizeof cut);
    EXPECT_EQ(std::string(cut), std::string(std::strerror(ENOENT)).substr(0, 3));
}

} // namespace

int main(int argc, char** argv)
{
    std::string own = "zektest-" + std::to_string(getpid()) + "-";
    setenv(PREFIX_VARIABLE, own.c_str(), 1);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
