// The IDE side of the exchange, as a separate process for the tests. It opens the VM's
// events and block by name (it never creates them), runs its commands in order and appends
// what it saw to a log file.
//
//   zek_test_ide LOG COMMAND...
//
//   attach        open the events (waiting for the VM to create them), reset ZVM-TO-ZEK
//                 and set ZEK-TO-ZVM
//   await         wait for the VM's signal, reset it, map the block and log
//                 "seen cycle=N result=R hold=H message=TEXT"; no signal within 10 s logs
//                 "no signal" and ends the program with code 1
//   answer        set ZEK-TO-ZVM
//   quiet MS      log "quiet" when the VM does not signal within MS ms, else "signalled"
//   hold V        write the hold flag
//   poke I V      write heap byte I of the heap copy
//   peek I        log "heap[I]=V"
//   mark I        mark heap byte I on all three levels and set the overwrite flag
//   mark1 I       mark heap byte I on level 1 only and set the overwrite flag
//   clear-marks   clear the three levels and the overwrite flag
//   layout        (layout 2 or 1) log "layout total=.. enums=.. channels=.. S=.. heap=.. level1=.. level2=..
//                 level3=.. overwrite=.. names=a,b,.." as this program decodes the block
//   dump FILE     write the whole block to FILE
//   sleep MS      sleep
//
// The block is decoded here on its own, from the documented layout, not with the VM's code.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "zek_platform.h"

namespace {

constexpr std::uint32_t kLimitMs = 10000;

struct Ide {
    FILE* log = nullptr;
    PlatEvent* toVm = nullptr;
    PlatEvent* toIde = nullptr;
    PlatMapping* mapping = nullptr;
    std::uint8_t* block = nullptr;
    // Decoded layout.
    std::uint64_t total = 0, enumCount = 0, channelCount = 0, padded = 0;
    std::uint64_t heap = 0, level1 = 0, level2 = 0, level3 = 0, overwrite = 0;
    std::string names;
};

void note(Ide& ide, const std::string& line)
{
    std::fprintf(ide.log, "%s\n", line.c_str());
    std::fflush(ide.log);
}

std::uint64_t le(const std::uint8_t* p, int bytes)
{
    std::uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i)
        v = (v << 8) | p[i];
    return v;
}

std::uint64_t textEnd(const std::uint8_t* block, std::uint64_t at)
{
    while (block[at] != 0)
        ++at;
    return at + 1;
}

const int kTypeSizes[11] = {0, 1, 1, 2, 2, 4, 4, 8, 4, 8, 1};

bool decode(Ide& ide)
{
    const std::uint8_t* b = ide.block;
    ide.total = le(b + 0, 4);
    if (ide.total > plat_mapping_size(ide.mapping) || (b[4] != 2 && b[4] != 1))
        return false;
    // Layout 1 carries the declarations of record format 8: a u16 id and 2-byte options 4
    // and 5.
    const std::uint64_t idShorter = b[4] == 1 ? 2 : 0, option = b[4] == 1 ? 2 : 4;
    ide.enumCount = le(b + 276, 2);
    std::uint64_t at = 278;
    for (std::uint64_t e = 0; e < ide.enumCount; ++e) {
        int type = b[at];
        std::uint64_t n = le(b + at + 1, 2);
        at += 3 + n * static_cast<std::uint64_t>(kTypeSizes[type <= 10 ? type : 0]);
        for (std::uint64_t i = 0; i < n; ++i)
            at = textEnd(b, at);
    }
    ide.channelCount = le(b + at, 2);
    at += 2;
    ide.names.clear();
    for (std::uint64_t c = 0; c < ide.channelCount; ++c) {
        std::uint8_t mask = b[at + 15 - idShorter];
        ide.names += (c ? "," : "") + std::string(reinterpret_cast<const char*>(b + at + 16 - idShorter));
        at = textEnd(b, at + 16 - idShorter);
        if (mask & 0x01)
            at += 32;
        if (mask & 0x02)
            at = textEnd(b, at);
        if (mask & 0x04)
            at += 2;
        if (mask & 0x08)
            at += 1 + 4 * static_cast<std::uint64_t>(b[at]);
        if (mask & 0x10)
            at += option;
        if (mask & 0x20)
            at += option;
        if (mask & 0x40) {
            while (b[at] != 0)
                at = textEnd(b, at);
            ++at;
        }
    }
    ide.padded = le(b + at, 4);
    ide.heap = at + 4;
    ide.level1 = ide.heap + ide.padded;
    ide.level2 = ide.level1 + ide.padded / 8;
    ide.level3 = ide.level2 + ide.padded / 64;
    ide.overwrite = ide.level3 + ide.padded / 512;
    return ide.overwrite + 1 == ide.total;
}

bool mapBlock(Ide& ide)
{
    // The VM builds a new block when an IDE attaches again: map afresh after every signal.
    plat_mapping_close(ide.mapping);
    ide.mapping = plat_mapping_open("ZEK-VM-EXCHANGE");
    ide.block = ide.mapping ? static_cast<std::uint8_t*>(plat_mapping_data(ide.mapping)) : nullptr;
    return ide.block != nullptr && decode(ide);
}

bool openEvents(Ide& ide)
{
    for (std::uint32_t waited = 0; waited < kLimitMs; waited += 5) {
        if (ide.toVm == nullptr)
            ide.toVm = plat_event_open("ZEK-TO-ZVM-EVENT");
        if (ide.toIde == nullptr)
            ide.toIde = plat_event_open("ZVM-TO-ZEK-EVENT");
        if (ide.toVm && ide.toIde)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

std::uint64_t number(const char* text)
{
    return std::strtoull(text, nullptr, 0);
}

// Runs the commands; the exit code of the program.
int run(Ide& ide, int count, char** args)
{
    for (int i = 0; i < count; ++i) {
        std::string command = args[i];
        auto arg = [&](int k) -> const char* { return i + k < count ? args[i + k] : "0"; };
        if (command != "attach" && command != "sleep" && (ide.toVm == nullptr || ide.toIde == nullptr)) {
            note(ide, "not attached");
            return 2;
        }
        if (command == "attach") {
            if (!openEvents(ide)) {
                note(ide, "no events");
                return 2;
            }
            // A signal left from a time before this IDE is no answer to it.
            plat_event_reset(ide.toIde);
            plat_event_set(ide.toVm);
            note(ide, "attached");
        } else if (command == "await") {
            if (plat_event_wait(ide.toIde, kLimitMs) != PLAT_WAIT_OK) {
                note(ide, "no signal");
                return 1;
            }
            plat_event_reset(ide.toIde);
            if (!mapBlock(ide)) {
                note(ide, "no block");
                return 2;
            }
            const std::uint8_t* b = ide.block;
            note(ide, "seen cycle=" + std::to_string(le(b + 13, 4)) + " result=" + std::to_string(b[17]) +
                          " hold=" + std::to_string(b[275]) + " message=" + reinterpret_cast<const char*>(b + 18));
        } else if (command == "answer") {
            plat_event_set(ide.toVm);
        } else if (command == "quiet") {
            bool signalled = plat_event_wait(ide.toIde, static_cast<std::uint32_t>(number(arg(1)))) == PLAT_WAIT_OK;
            note(ide, signalled ? "signalled" : "quiet");
            ++i;
        } else if (command == "sleep") {
            std::this_thread::sleep_for(std::chrono::milliseconds(number(arg(1))));
            ++i;
        } else if (ide.block == nullptr) {
            note(ide, "no block");
            return 2;
        } else if (command == "hold") {
            ide.block[275] = static_cast<std::uint8_t>(number(arg(1)));
            ++i;
        } else if (command == "poke") {
            ide.block[ide.heap + number(arg(1))] = static_cast<std::uint8_t>(number(arg(2)));
            i += 2;
        } else if (command == "peek") {
            std::uint64_t at = number(arg(1));
            note(ide, "heap[" + std::to_string(at) + "]=" + std::to_string(ide.block[ide.heap + at]));
            ++i;
        } else if (command == "mark" || command == "mark1") {
            std::uint64_t at = number(arg(1));
            ide.block[ide.level1 + at / 8] |= static_cast<std::uint8_t>(1u << (at % 8));
            if (command == "mark") {
                ide.block[ide.level2 + at / 64] = 1;
                ide.block[ide.level3 + at / 512] = 1;
            }
            ide.block[ide.overwrite] = 1;
            ++i;
        } else if (command == "clear-marks") {
            std::memset(ide.block + ide.level1, 0, ide.total - ide.level1);
        } else if (command == "layout") {
            note(ide, "layout total=" + std::to_string(ide.total) + " enums=" + std::to_string(ide.enumCount) +
                          " channels=" + std::to_string(ide.channelCount) + " S=" + std::to_string(ide.padded) +
                          " heap=" + std::to_string(ide.heap) + " level1=" + std::to_string(ide.level1) +
                          " level2=" + std::to_string(ide.level2) + " level3=" + std::to_string(ide.level3) +
                          " overwrite=" + std::to_string(ide.overwrite) + " names=" + ide.names);
        } else if (command == "dump") {
            FILE* out = std::fopen(arg(1), "wb");
            if (out == nullptr || std::fwrite(ide.block, 1, ide.total, out) != ide.total)
                return 2;
            std::fclose(out);
            ++i;
        } else {
            note(ide, "unknown command " + command);
            return 9;
        }
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
        return 9;
    Ide ide;
    ide.log = std::fopen(argv[1], "a");
    if (ide.log == nullptr)
        return 9;
    int code = run(ide, argc - 2, argv + 2);
    plat_mapping_close(ide.mapping);
    plat_event_close(ide.toVm);
    plat_event_close(ide.toIde);
    std::fclose(ide.log);
    return code;
}
