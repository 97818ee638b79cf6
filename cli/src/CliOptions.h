// The command line of vandrel-cli: global options, the command and its arguments.
//
//   vandrel-cli [--port PATH | --com N | --usb [DEVICE]]... [--baud BPS] [--writer FILE]
//               [--wait SECONDS] [--log FILE] [--quiet] [--json] [--watch] COMMAND [ARGS]
//
// Global options may stand anywhere; the options of a command after the command. "--opt=value"
// is accepted as well as "--opt value"; "--" ends the options.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "CliLine.h"
#include "CliServe.h"
#include "tools/EraseSelection.h"

enum class ECliCommand {
    None,
    Status,
    FlashId,
    Erase,
    Download,
    Dump,
    Compress,
    Ports,
    UdevRule,
    Job,     // job check FILE
    History, // the record of every attempt
    Run,     // --job FILE run
    Store,   // store init [WHERE]
    Serve,   // the station as a service
    Help,
    Version
};

enum class ECliPortChoice { Saved, Path, Com, Usb };

// One --port, --com or --usb as given.
struct TS_CLI_PORT {
    ECliPortChoice Choice = ECliPortChoice::Saved;
    std::string Path; // --port PATH, --usb PATH
    int ComNumber = 0;
    std::string Text; // "--port /dev/ttyUSB0", for messages
};

struct TS_CLI_OPTIONS {
    // the link
    ECliPortChoice PortChoice = ECliPortChoice::Saved;
    std::string PortPath;   // --port PATH, or --usb PATH (empty: the configured USB device)
    int ComNumber = 0;      // --com N, 1..4
    int BaudIndex = -1;     // --baud: index into the baud table; -1: the saved rate
    std::string WriterPath; // --writer FILE; empty: the saved flash writer of the port type
    double WaitSeconds = 30;
    std::string LogPath;
    bool Quiet = false;
    // the station: every port option in order (the first is also PortChoice, PortPath and
    // ComNumber above); --json and --watch
    std::vector<TS_CLI_PORT> Ports;
    bool Json = false;
    bool Watch = false;

    ECliCommand Command = ECliCommand::None;
    // download
    bool Verify = false;
    std::vector<std::string> Files; // download, compress
    // erase, in the order given
    std::vector<TE_ERASE_ITEM> EraseItems;
    // dump
    uint32_t DumpStart = 0;
    std::optional<uint32_t> DumpSize; // units
    int DumpUnit = 0;                 // TE_DUMP_UNIT
    std::optional<uint32_t> DumpEnd;  // --end: dump to a file
    std::string DumpOutput;           // -o FILE.bin
    // udev-rule
    std::string UsbDeviceText; // usb:VVVV:PPPP
    // job, history, run
    TS_CLI_LINE_OPTIONS Line;
    // serve
    TS_CLI_SERVE_OPTIONS Serve;
};

// The rates --baud takes, in the order of the port configuration's baud index.
extern const std::vector<uint32_t> kBaudTable;
// "110, 300, ..., 256000"
std::string BaudTableText();

// Whether the command runs on the station: more than one port, --watch, or --json with status,
// flash-id, erase or download (the other commands write their own JSON Lines).
bool UsesStation(const TS_CLI_OPTIONS& options);

// Parses argv[1..]. False with a message naming the argument on a usage error.
bool ParseCommandLine(const std::vector<std::string>& args, TS_CLI_OPTIONS& options, std::string& error);

// The usage text of --help.
const char* UsageText();

// Parses an address: hexadecimal, with or without "0x". False for anything else or above 32 bits.
bool ParseHexAddress(const std::string& text, uint32_t& value);
