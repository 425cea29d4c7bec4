// Tests of the Windows implementation of the platform layer through its header, with the
// peer program as the other process wherever the layer's objects cross processes. The
// error codes are the system's own.
#include "zek_platform.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <windows.h>

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

std::string pipe_name()
{
    static int count = 0;
    return "\\\\.\\pipe\\" + std::to_string(plat_tick_ms()) + "-" + std::to_string(++count) + "_zek_vmmsgboxPipe";
}

PlatProcess* start_peer(const std::vector<std::string>& args)
{
    std::vector<const char*> argv{ZEK_PEER_PATH};
    for (const std::string& arg : args)
        argv.push_back(arg.c_str());
    argv.push_back(nullptr);
    return plat_process_start(argv.data());
}

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

std::string read_exactly(PlatPipe* pipe, std::size_t size)
{
    std::string data;
    std::vector<char> buffer(65536);
    while (data.size() < size) {
        std::int64_t got = plat_pipe_read(pipe, buffer.data(), buffer.size());
        if (got <= 0)
            break;
        data.append(buffer.data(), static_cast<std::size_t>(got));
    }
    return data;
}

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
    char text[512];
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
    EXPECT_TRUE(plat_event_reset(event));
    EXPECT_EQ(plat_event_wait(event, 0), PLAT_WAIT_TIMEOUT);
    std::uint64_t start = plat_tick_ms();
    EXPECT_EQ(plat_event_wait(event, 40), PLAT_WAIT_TIMEOUT);
    EXPECT_GE(plat_tick_ms() - start, 30u) << "the tick and the wait's clock may differ by a tick";
    plat_event_close(event);
}

TEST(Event, CreateOpensALiveEventKeepingItsStateAcrossProcesses)
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
        EXPECT_EQ(plat_event_wait(second, 0), signalled ? PLAT_WAIT_OK : PLAT_WAIT_TIMEOUT);
        EXPECT_EQ(run_peer({"event-state", name}), signalled ? 0 : 1);
        plat_event_close(first);
        plat_event_close(second);
    }
}

TEST(Event, NameEndsWithItsLastHolder)
{
    std::string name = name_of("e");
    PlatEvent* first = plat_event_create(name.c_str());
    ASSERT_NE(first, nullptr);
    plat_event_set(first);
    PlatEvent* second = plat_event_open(name.c_str());
    ASSERT_NE(second, nullptr);
    plat_event_close(first);
    EXPECT_EQ(plat_event_wait(second, 0), PLAT_WAIT_OK);
    plat_event_close(second);
    EXPECT_EQ(plat_event_open(name.c_str()), nullptr);
    EXPECT_EQ(plat_last_error(), std::uint32_t{ERROR_FILE_NOT_FOUND});

    ASSERT_EQ(run_peer({"event-abandon", name}), 0);
    EXPECT_EQ(plat_event_open(name.c_str()), nullptr) << "the ended peer's event is gone with it";
}

TEST(Event, OneSetReleasesTheWaitersOfOtherProcesses)
{
    std::string in = name_of("in"), out1 = name_of("out1"), out2 = name_of("out2");
    PlatEvent* start = plat_event_create(in.c_str());
    PlatEvent* done1 = plat_event_create(out1.c_str());
    PlatEvent* done2 = plat_event_create(out2.c_str());
    ASSERT_TRUE(start && done1 && done2);
    PlatProcess* peer1 = start_peer({"event-relay", in, out1, "5000"});
    PlatProcess* peer2 = start_peer({"event-relay", in, out2, "5000"});
    ASSERT_TRUE(peer1 && peer2);
    EXPECT_EQ(plat_event_wait(done1, 300), PLAT_WAIT_TIMEOUT);
    plat_event_set(start);
    EXPECT_EQ(plat_event_wait(done1, 5000), PLAT_WAIT_OK);
    EXPECT_EQ(plat_event_wait(done2, 5000), PLAT_WAIT_OK);
    EXPECT_EQ(finish(peer1), 0);
    EXPECT_EQ(finish(peer2), 0);
    plat_event_close(start);
    plat_event_close(done1);
    plat_event_close(done2);
}

// ---- Named mappings -------------------------------------------------------------------

TEST(Mapping, IsSharedWithAnotherProcessAtItsExactSize)
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
    EXPECT_EQ(plat_mapping_open(name.c_str()), nullptr);
    EXPECT_EQ(plat_last_error(), std::uint32_t{ERROR_FILE_NOT_FOUND});
}

// A live mapping cannot grow on Windows: one of the same size or smaller is the live one,
// a larger one is refused instead of mapped short.
TEST(Mapping, CreateOpensALiveMappingOfItsSize)
{
    std::string name = name_of("m");
    PlatMapping* first = plat_mapping_create(name.c_str(), 5000);
    ASSERT_NE(first, nullptr);
    static_cast<char*>(plat_mapping_data(first))[4999] = 'x';
    PlatMapping* same = plat_mapping_create(name.c_str(), 5000);
    ASSERT_NE(same, nullptr);
    EXPECT_EQ(static_cast<char*>(plat_mapping_data(same))[4999], 'x');
    EXPECT_EQ(plat_mapping_create(name.c_str(), 200000), nullptr);
    EXPECT_NE(plat_last_error(), 0u);
    plat_mapping_close(first);
    plat_mapping_close(same);

    ASSERT_EQ(run_peer({"map-abandon", name, "4096", "stale"}), 0);
    PlatMapping* fresh = plat_mapping_create(name.c_str(), 4096);
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(static_cast<const char*>(plat_mapping_data(fresh))[0], '\0') << "the ended peer's mapping is gone";
    plat_mapping_close(fresh);
}

TEST(Mapping, RefusedRequests)
{
    std::string name = name_of("m");
    EXPECT_EQ(plat_mapping_create(name.c_str(), 0), nullptr);
    EXPECT_EQ(plat_last_error(), std::uint32_t{ERROR_INVALID_PARAMETER});
    EXPECT_EQ(plat_mapping_create("", 16), nullptr);
    EXPECT_NE(plat_last_error(), 0u);
    // Events and mappings share one namespace.
    PlatEvent* event = plat_event_create(name.c_str());
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(plat_mapping_create(name.c_str(), 16), nullptr);
    EXPECT_NE(plat_last_error(), 0u);
    plat_event_close(event);
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

TEST(Names, PipeNamesAreTheirOwnLocalForm)
{
    char path[256];
    ASSERT_TRUE(plat_pipe_path("\\\\.\\pipe\\123_zek_vmmsgboxPipe", path, sizeof path));
    EXPECT_EQ(std::string(path), "\\\\.\\pipe\\" + prefix() + "123_zek_vmmsgboxPipe");
    ASSERT_TRUE(plat_pipe_path("\\\\.\\PIPE\\x", path, sizeof path));
    EXPECT_EQ(std::string(path), "\\\\.\\pipe\\" + prefix() + "x");
    ASSERT_TRUE(plat_pipe_path("plain", path, sizeof path));
    EXPECT_EQ(std::string(path), "\\\\.\\pipe\\" + prefix() + "plain");
    char small[16];
    EXPECT_FALSE(plat_pipe_path("\\\\.\\pipe\\123_zek_vmmsgboxPipe", small, sizeof small));
}

// ---- Read-only file mappings ----------------------------------------------------------

class FileMapping : public testing::Test {
protected:
    void SetUp() override
    {
        dir = fs::temp_directory_path() / ("zek-platform-" + std::to_string(GetCurrentProcessId()) + "-" + name_of("d"));
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    fs::path dir;
};

TEST_F(FileMapping, MapsTheWholeFileUnderAUtf8Name)
{
    std::string pattern;
    for (int i = 0; i < 12288; ++i)
        pattern.push_back(static_cast<char>(i * 7));
    // "Grüße-ж" in UTF-8: the layer's names are UTF-8, the file system's wide.
    const std::string utf8 = "Gr\xC3\xBC\xC3\x9F" "e-\xD0\xB6";
    for (std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{5000}, pattern.size()}) {
        SCOPED_TRACE(size);
        std::string content = pattern.substr(0, size);
        fs::path file = dir / fs::u8path(utf8 + std::to_string(size));
        std::ofstream(file, std::ios::binary) << content;
        std::string path = (dir.string() + "\\") + utf8 + std::to_string(size);
        PlatMapping* mapping = plat_mapping_open_file(path.c_str());
        ASSERT_NE(mapping, nullptr) << plat_last_error();
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
    struct Case {
        std::string path;
        DWORD error;
    };
    for (const Case& c : {Case{(dir / "missing").string(), ERROR_FILE_NOT_FOUND}, Case{dir.string(), ERROR_ACCESS_DENIED},
                          Case{"NUL", ERROR_INVALID_PARAMETER}, Case{"bad \xFF utf-8", ERROR_NO_UNICODE_TRANSLATION}}) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(plat_mapping_open_file(c.path.c_str()), nullptr);
        EXPECT_EQ(plat_last_error(), c.error);
        EXPECT_NE(error_text(plat_last_error()), "");
    }
}

// ---- Temporary files -----------------------------------------------------------------

TEST_F(FileMapping, TemporaryFileIsANewFileOfAShortNameBesideThePath)
{
    // "Grüße-ж" in UTF-8: a folder of a UTF-8 name, reached through either separator.
    const std::string utf8 = "Gr\xC3\xBC\xC3\x9F" "e-\xD0\xB6";
    fs::create_directories(dir / fs::u8path(utf8));
    for (const char* separator : {"\\", "/"}) {
        SCOPED_TRACE(separator);
        std::string folder = dir.string() + separator + utf8;
        std::string beside = folder + separator + std::string(200, 'b');
        char* first = nullptr;
        char* second = nullptr;
        std::FILE* a = plat_temporary_file_create(beside.c_str(), &first);
        ASSERT_NE(a, nullptr) << plat_last_error();
        std::FILE* b = plat_temporary_file_create(beside.c_str(), &second);
        ASSERT_NE(b, nullptr) << plat_last_error();
        EXPECT_NE(std::string(first), std::string(second));
        for (const char* made : {first, second}) {
            std::string name(made);
            ASSERT_EQ(name.rfind(folder + separator, 0), 0u) << name;
            name = name.substr(folder.size() + 1);
            EXPECT_EQ(name.size(), 24u) << name;
            EXPECT_EQ(name.rfind(".zek", 0), 0u) << name;
            EXPECT_EQ(name.substr(name.size() - 4), ".tmp") << name;
        }
        // Binary: a line feed stays one byte.
        EXPECT_EQ(std::fwrite("a\nb", 1, 3, a), 3u);
        EXPECT_EQ(std::fclose(a), 0);
        EXPECT_EQ(std::fclose(b), 0);
        std::uint8_t* data = nullptr;
        std::uint64_t length = 0;
        ASSERT_EQ(plat_file_read_all(first, &data, &length), PLAT_FILE_OK);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(data), length), "a\nb");
        std::free(data);
        EXPECT_TRUE(plat_file_remove(first));
        EXPECT_TRUE(plat_file_remove(second));
        std::free(first);
        std::free(second);
    }
}

TEST_F(FileMapping, TemporaryFileRefusalsCreateNothing)
{
    char* made = reinterpret_cast<char*>(&made);
    std::string missing = (dir / "missing").string() + "\\result.bin";
    EXPECT_EQ(plat_temporary_file_create(missing.c_str(), &made), nullptr);
    EXPECT_EQ(made, nullptr);
    EXPECT_EQ(plat_last_error(), std::uint32_t{ERROR_PATH_NOT_FOUND});
    EXPECT_EQ(plat_temporary_file_create("bad \xFF utf-8\\result.bin", &made), nullptr);
    EXPECT_EQ(plat_last_error(), std::uint32_t{ERROR_NO_UNICODE_TRANSLATION});
    EXPECT_EQ(plat_temporary_file_create(nullptr, &made), nullptr);
    EXPECT_EQ(plat_last_error(), std::uint32_t{ERROR_INVALID_PARAMETER});
    EXPECT_TRUE(fs::is_empty(dir));
}

// ---- Pipe -----------------------------------------------------------------------------

TEST(Pipe, RoundTripWithAPeerProcess)
{
    std::string name = pipe_name();
    PlatPipe* server = plat_pipe_create(name.c_str());
    ASSERT_NE(server, nullptr);
    PlatProcess* peer = start_peer({"pipe-echo", name});
    ASSERT_NE(peer, nullptr);
    ASSERT_EQ(plat_pipe_accept_child(server, peer, 5000), PLAT_WAIT_OK);

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

TEST(Pipe, AcceptTimesOutAndTakesALaterClient)
{
    for (std::uint32_t timeout : {0u, 40u}) {
        SCOPED_TRACE(timeout);
        std::string name = pipe_name();
        PlatPipe* server = plat_pipe_create(name.c_str());
        ASSERT_NE(server, nullptr);
        std::uint64_t start = plat_tick_ms();
        EXPECT_EQ(plat_pipe_accept(server, timeout), PLAT_WAIT_TIMEOUT);
        EXPECT_GE(plat_tick_ms() + 16 - start, timeout);
        PlatPipe* client = plat_pipe_connect(name.c_str());
        ASSERT_NE(client, nullptr);
        EXPECT_EQ(plat_pipe_accept(server, 0), PLAT_WAIT_OK) << "a client that connected before the call counts";
        ASSERT_TRUE(write_text(client, "ping"));
        EXPECT_EQ(read_exactly(server, 4), "ping");
        plat_pipe_close(client);
        plat_pipe_close(server);
    }
}

TEST(Pipe, NameHasOneServerAndOneClient)
{
    std::string name = pipe_name();
    auto [server, client] = connect_pair(name);
    ASSERT_TRUE(server && client);
    EXPECT_EQ(plat_pipe_create(name.c_str()), nullptr);
    EXPECT_NE(plat_last_error(), 0u);
    EXPECT_EQ(plat_pipe_connect(name.c_str()), nullptr) << "the name takes no further client";
    ASSERT_TRUE(write_text(server, "pong"));
    EXPECT_EQ(read_exactly(client, 4), "pong");
    plat_pipe_close(client);
    plat_pipe_close(server);
    PlatPipe* again = plat_pipe_create(name.c_str());
    EXPECT_NE(again, nullptr) << "the closed server frees its name";
    plat_pipe_close(again);
}

TEST(Pipe, PeerThatClosedGivesEndOfStreamAndBrokenPipe)
{
    auto [server, client] = connect_pair(pipe_name());
    ASSERT_TRUE(server && client);
    ASSERT_TRUE(write_text(client, "last words"));
    plat_pipe_close(client);
    EXPECT_EQ(read_exactly(server, 10), "last words") << "bytes written before the close arrive";
    char byte;
    EXPECT_EQ(plat_pipe_read(server, &byte, 1), 0);
    EXPECT_FALSE(write_text(server, "shutdown\n"));
    EXPECT_EQ(plat_last_error(), plat_error_broken_pipe());
    EXPECT_NE(error_text(plat_error_broken_pipe()), "");
    plat_pipe_close(server);
}

TEST(Pipe, UnconnectedEndsRefuse)
{
    std::string name = pipe_name();
    EXPECT_EQ(plat_pipe_connect(name.c_str()), nullptr) << "no server";
    EXPECT_EQ(plat_last_error(), std::uint32_t{ERROR_FILE_NOT_FOUND});
    PlatPipe* server = plat_pipe_create(name.c_str());
    ASSERT_NE(server, nullptr);
    char byte;
    EXPECT_FALSE(write_text(server, "x"));
    EXPECT_EQ(plat_last_error(), std::uint32_t{ERROR_PIPE_NOT_CONNECTED});
    EXPECT_EQ(plat_pipe_read(server, &byte, 1), -1);
    plat_pipe_close(server);
}

TEST(Pipe, LargeWriteArrivesWhole)
{
    auto [server, client] = connect_pair(pipe_name());
    ASSERT_TRUE(server && client);
    std::string data(8 << 20, '\0');
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 131 >> 7);
    bool written = false;
    std::thread writer([&] { written = write_text(client, data); });
    EXPECT_TRUE(read_exactly(server, data.size()) == data);
    writer.join();
    EXPECT_TRUE(written);
    plat_pipe_close(client);
    plat_pipe_close(server);
}

struct AcceptChildCase {
    const char* what;
    std::vector<std::string> peer; // arguments; "@" stands for the pipe name
    bool child_ends_first;
    std::uint32_t timeout_ms;
    PlatWaitResult result;
    std::uint32_t error;
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

INSTANTIATE_TEST_SUITE_P(
    Cases, PipeAcceptChild,
    testing::Values(AcceptChildCase{"connects", {"pipe-echo", "@"}, false, PEER_LIMIT_MS, PLAT_WAIT_OK, 0},
                    AcceptChildCase{"ends_without_connecting", {"exit", "0"}, false, PEER_LIMIT_MS,
                                    PLAT_WAIT_FAILED, ERROR_BROKEN_PIPE},
                    AcceptChildCase{"ended_before_the_call", {"exit", "3"}, true, PEER_LIMIT_MS, PLAT_WAIT_FAILED,
                                    ERROR_BROKEN_PIPE},
                    AcceptChildCase{"connected_and_ended_before_the_call", {"args-echo", "@", "x"}, true,
                                    PEER_LIMIT_MS, PLAT_WAIT_OK, 0},
                    AcceptChildCase{"runs_without_connecting", {"sleep", "10000"}, false, 30, PLAT_WAIT_TIMEOUT,
                                    WAIT_TIMEOUT}),
    [](const testing::TestParamInfo<AcceptChildCase>& info) { return std::string(info.param.what); });

// ---- Child processes ------------------------------------------------------------------

TEST(Process, ReportsTheExitCodeAndRunsUntilTerminated)
{
    for (int code : {0, 7, 255, 259}) {
        SCOPED_TRACE(code);
        PlatProcess* peer = start_peer({"exit", std::to_string(code)});
        ASSERT_NE(peer, nullptr);
        EXPECT_NE(plat_process_id(peer), 0u);
        ASSERT_EQ(plat_process_wait(peer, PEER_LIMIT_MS), PLAT_WAIT_OK);
        EXPECT_FALSE(plat_process_running(peer));
        EXPECT_EQ(plat_process_exit_code(peer), code) << "259 is also STILL_ACTIVE";
        plat_process_close(peer);
    }
    PlatProcess* peer = start_peer({"sleep", "10000"});
    ASSERT_NE(peer, nullptr);
    EXPECT_TRUE(plat_process_running(peer));
    EXPECT_EQ(plat_process_wait(peer, 30), PLAT_WAIT_TIMEOUT);
    EXPECT_EQ(plat_process_exit_code(peer), -1);
    EXPECT_TRUE(plat_process_terminate(peer));
    ASSERT_EQ(plat_process_wait(peer, PEER_LIMIT_MS), PLAT_WAIT_OK);
    EXPECT_EQ(plat_process_exit_code(peer), 137);
    EXPECT_TRUE(plat_process_terminate(peer)) << "an ended child counts as terminated";
    plat_process_close(peer);
}

// Terminating a child ends the processes it started as well: one left running would keep what
// it inherited from the child, this host's standard output and error among them.
TEST(Process, TerminatingEndsWhatTheChildStarted)
{
    std::string name = pipe_name();
    PlatPipe* server = plat_pipe_create(name.c_str());
    ASSERT_NE(server, nullptr);
    PlatProcess* peer = start_peer({"spawn", name});
    ASSERT_NE(peer, nullptr);
    ASSERT_EQ(plat_pipe_accept_child(server, peer, PEER_LIMIT_MS), PLAT_WAIT_OK);
    std::string id = read_exactly(server, sizeof(DWORD));
    ASSERT_EQ(id.size(), sizeof(DWORD));
    DWORD started_id = 0;
    std::memcpy(&started_id, id.data(), sizeof started_id);
    HANDLE started = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, started_id);
    ASSERT_NE(started, nullptr);
    EXPECT_TRUE(plat_process_terminate(peer));
    EXPECT_EQ(plat_process_wait(peer, PEER_LIMIT_MS), PLAT_WAIT_OK);
    EXPECT_EQ(WaitForSingleObject(started, PEER_LIMIT_MS), WAIT_OBJECT_0) << "what the child started runs on";
    TerminateProcess(started, 1);
    CloseHandle(started);
    plat_process_close(peer);
    plat_pipe_close(server);
}

// The console control handler: the first Ctrl+C becomes a request that ends the waits of this
// layer, a second one ends the process at once through the system's handler (exit code
// STATUS_CONTROL_C_EXIT; 0 under wine). A peer still sleeping is ended at the time limit (137).
TEST(Termination, CtrlCIsARequestAndASecondOneEndsTheProcess)
{
    std::string passed_name = prefix() + name_of("passed");
    PlatEvent* passed = plat_event_create(passed_name.c_str());
    ASSERT_NE(passed, nullptr);
    DWORD code = static_cast<DWORD>(run_peer({"ctrl-c", prefix() + name_of("event"), passed_name}));
    EXPECT_EQ(plat_event_wait(passed, 0), PLAT_WAIT_OK) << "the first request was not handled as one";
    EXPECT_TRUE(code == STATUS_CONTROL_C_EXIT || code == 0) << code;
    plat_event_close(passed);
}

TEST(Process, ProgramThatCannotRunFailsToStart)
{
    const char* missing[] = {"C:\\nonexistent-dir\\zek-peer.exe", nullptr};
    EXPECT_EQ(plat_process_start(missing), nullptr);
    EXPECT_NE(plat_last_error(), 0u);
    const char* unknown[] = {"zek-no-such-program-on-path", nullptr};
    EXPECT_EQ(plat_process_start(unknown), nullptr);
    EXPECT_EQ(plat_last_error(), std::uint32_t{ERROR_FILE_NOT_FOUND});
    const char* empty[] = {nullptr};
    EXPECT_EQ(plat_process_start(empty), nullptr);
    EXPECT_EQ(plat_last_error(), std::uint32_t{ERROR_INVALID_PARAMETER});
}

TEST(Process, ArgumentsArriveUnchanged)
{
    std::vector<std::string> args{"plain",       "with space", "\"quoted\"",           "",
                                  "semi;colon",  "\\\\.\\pipe\\1_x", "trailing\\",     "space and trailing\\",
                                  "a\\\"b",      "\xC3\xBC\xD0\xB6", "tab\there"};
    std::string name = pipe_name();
    PlatPipe* server = plat_pipe_create(name.c_str());
    ASSERT_NE(server, nullptr);
    std::vector<std::string> command{"args-echo", name};
    command.insert(command.end(), args.begin(), args.end());
    PlatProcess* peer = start_peer(command);
    ASSERT_NE(peer, nullptr);
    ASSERT_EQ(plat_pipe_accept_child(server, peer, 5000), PLAT_WAIT_OK);
    std::string expected;
    for (const std::string& arg : args)
        expected.append(arg).push_back('\0');
    EXPECT_EQ(read_exactly(server, expected.size()), expected);
    EXPECT_EQ(finish(peer), 0);
    plat_pipe_close(server);
}

TEST(Process, ChildGetsTheEnvironmentButNoOtherHandles)
{
    // Many inheritable handles, so that the last one's value lies beyond the few handles the
    // child opens for itself.
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    std::vector<HANDLE> inheritable;
    for (int i = 0; i < 64; ++i)
        inheritable.push_back(CreateEventW(&inherit, TRUE, FALSE, nullptr));
    ASSERT_NE(inheritable.back(), nullptr);
    EXPECT_EQ(run_peer({"inherited", std::to_string(reinterpret_cast<std::uintptr_t>(inheritable.back()))}), 0);
    for (HANDLE handle : inheritable)
        CloseHandle(handle);
    setenv("ZEK_PLATFORM_TEST_VALUE", "seen by the child", 1);
    EXPECT_EQ(run_peer({"env-expect", "ZEK_PLATFORM_TEST_VALUE", "seen by the child"}), 0);
    unsetenv("ZEK_PLATFORM_TEST_VALUE");
}

// ---- Environment, errors --------------------------------------------------------------

TEST(Environment, CopiesValuesThatFit)
{
    setenv("ZEK_PLATFORM_TEST_VALUE", "abc", 1);
    char buffer[4];
    EXPECT_TRUE(plat_getenv("ZEK_PLATFORM_TEST_VALUE", buffer, sizeof buffer));
    EXPECT_STREQ(buffer, "abc");
    EXPECT_FALSE(plat_getenv("ZEK_PLATFORM_TEST_VALUE", buffer, 3));
    EXPECT_EQ(plat_last_error(), std::uint32_t{ERROR_INSUFFICIENT_BUFFER});
    std::string longer(2000, 'v');
    setenv("ZEK_PLATFORM_TEST_VALUE", longer.c_str(), 1);
    std::vector<char> large(2001);
    EXPECT_TRUE(plat_getenv("ZEK_PLATFORM_TEST_VALUE", large.data(), large.size()));
    EXPECT_EQ(std::string(large.data()), longer);
    unsetenv("ZEK_PLATFORM_TEST_VALUE");
    EXPECT_FALSE(plat_getenv("ZEK_PLATFORM_TEST_VALUE", buffer, sizeof buffer));
    EXPECT_EQ(plat_last_error(), std::uint32_t{ERROR_ENVVAR_NOT_FOUND});
}

TEST(ErrorText, TextOfACode)
{
    EXPECT_EQ(error_text(0), "");
    std::string text = error_text(ERROR_FILE_NOT_FOUND);
    ASSERT_NE(text, "");
    EXPECT_NE(text.back(), '\n');
    EXPECT_NE(text.back(), '\r');
    char cut[4];
    plat_error_text(ERROR_FILE_NOT_FOUND, cut, sizeof cut);
    EXPECT_EQ(std::string(cut), text.substr(0, 3));
    EXPECT_NE(error_text(0xDEADBEEFu), "");
}

TEST(ErrorText, SuccessfulCallsLeaveTheLastError)
{
    EXPECT_EQ(plat_event_open(name_of("missing").c_str()), nullptr);
    std::uint32_t code = plat_last_error();
    ASSERT_NE(code, 0u);
    PlatEvent* event = plat_event_create(name_of("e").c_str());
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(plat_last_error(), code);
    plat_event_close(event);
}

} // namespace

int main(int argc, char** argv)
{
    std::string own = "zektest-" + std::to_string(GetCurrentProcessId()) + "-";
    setenv(PREFIX_VARIABLE, own.c_str(), 1);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
