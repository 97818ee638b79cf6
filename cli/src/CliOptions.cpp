#include "CliOptions.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <map>

#include "download/FlashFile.h"
#include "quillet/UsbDevices.h"

const std::vector<uint32_t> kBaudTable = {110,   300,   600,   1200,  2400,   4800,   9600,  14400,
                                          19200, 38400, 56000, 57600, 115200, 128000, 256000};

std::string BaudTableText() {
    std::string text;
    for (uint32_t rate : kBaudTable) {
        text += (text.empty() ? "" : ", ") + std::to_string(rate);
    }
    return text;
}

const char* UsageText() {
    return R"(usage: vandrel-cli [--port PATH | --com N | --usb [DEVICE]]... [--baud BPS] [--writer FILE]
                   [--wait SECONDS] [--log FILE] [--quiet] [--json] [--watch] COMMAND [ARGS]

Commands:
  status                          wait for the target; print which program runs and its version
  flash-id                        the flash part on each chip select
  erase (--cs N | --area boot|main|cdrive|ddrive|db|media)...
  download [--verify] FILE...     flash writer first when the boot loader runs (it must then report
                                  itself running), then each file in order; --verify reads back
                                  what each file wrote to flash
  dump ADDR [--size N] [--unit byte|word|dword]       hex rows to stdout
  dump ADDR --end ADDR -o FILE.bin                      raw memory to a file
  compress FILE.m0                write the .cp64 beside it, print the areas it touches
  ports                           serial and USB devices present (serial ones with their stable
                                  /dev/serial names), and how COM1..COM4 and USB map
  udev-rule usb:VVVV:PPPP         print a udev rule that lets the user at the seat open that handset
  job check FILE                  check a job file without a handset: its images, the areas it
                                  erases, the serials left
  --job FILE run                  flash with a job on every port given (docs/JOBS.md)
  store init [WHERE]              make a record store (default: the default file), or bring an
                                  older one's schema up to date
  store archive --before DATE FILE  move the attempts that ended, started before DATE, into the
                                  archive FILE (SQLite; verified before they leave the store);
                                  serials and pools stay: an archived serial is never reissued
  history [FILTERS] [--csv | --json | --show ID]      the record of every attempt, newest first
  [--job FILE] serve [SERVE OPTIONS]  the station as a service: HTTP API and dashboard (docs/API.md)
  --help, --version

Options (they override the program's saved settings for this run and are never saved):
  --port PATH      open this tty directly (wins over VANDREL_COM1)
  --com N          COM1..COM4 through the port map (VANDREL_COMn, the saved map, the default)
  --usb [DEVICE]   the USB device: the configured one, or DEVICE: a packet device or socket path,
                   or usb:VVVV:PPPP, usb:VVVV:PPPP@BUS-PORT, usb:BUS-PORT (through libusb;
                   #N picks interface N)
  --baud BPS       one of 110, 300, 600, 1200, 2400, 4800, 9600, 14400, 19200, 38400, 56000,
                   57600, 115200, 128000, 256000
  --writer FILE    the flash writer sent when the boot loader runs (default: the saved one of the
                   port type)
  --wait SECONDS   how long to wait for the target's answer (default 30, 0 = no limit)
  --log FILE       append the log texts to FILE as well
  --quiet          print only errors and the final result

The station: status, flash-id, erase and download run on every port given at once (repeat
--port, --com and --usb; a port named twice is refused). On a terminal, one line per handset and
a tally; in a pipe, lines prefixed with the port (with --quiet, only each handset's result). At
the end a table, one row per handset, and "summary: N succeeded, M failed"; exit 0 when all
succeeded, 1 when any failed.
  --json           JSON Lines on stdout, one object a line, nothing else (docs/JSON.md)
  --watch          each port waits for a handset, runs the command, waits for the handset to go
                   away, and arms again, until Ctrl-C

The production line: a job file pins the images, the flash writer, verify, the flash parts and
a serial number for every handset; every attempt is recorded (SQLite in
$XDG_DATA_HOME/vandrel/records.db by default, PostgreSQL for several stations).
  --job FILE       the job (run); exit 2 when it does not load, naming file, line and column
  --store WHERE    the record store: a file, sqlite:FILE or postgresql://... (default: the job's,
                   else the default file); credentials from the URL, the libpq environment or
                   ~/.pgpass, never printed
  --create-store   run: make the record store when it is not there (a job with serials never
                   makes one otherwise; history and job check never do)
  --adopt-serials  run: a handset's serial of the job's pool that this store never issued is
                   adopted (recorded as "adopted") instead of failing the handset
  --station NAME   the station in the records (default: the host name)
  --operator NAME  the operator in the records (default: the user)
  history --pool NAME [--csv | --json]   the pool's serials and their state (issued, used, void,
                   adopted), for export
  history filters: --job NAME, --serial TEXT, --port NAME, --station NAME,
                   --result passed|failed|interrupted|open, --since DATE[THH:MM],
                   --until DATE[THH:MM], --limit N; --show ID prints one attempt with its log;
                   --with-logs adds each log to --csv and --json; --store FILE also reads an
                   archive
  serve: --jobs DIR (jobs started by name), --listen ADDR:PORT (default 127.0.0.1:8370),
                   --tokens FILE (viewer and operator tokens; needed off the loopback address),
                   --allow-origin ORIGIN (a web origin whose pages may call the API)

Addresses are hexadecimal, with or without 0x. Sizes are decimal (or 0x hexadecimal), in units.

Exit status: 0 success; 1 the target or the link failed (a failed verification included);
2 bad usage, an unreadable or invalid file, or a port that cannot be opened; 130 (SIGINT), 143
(SIGTERM) or 129 (SIGHUP: the terminal closed) when stopped: the flash where the download was is
then incomplete.
)";
}

namespace {

const std::map<std::string, ECliCommand> kCommands = {
    {"status", ECliCommand::Status}, {"flash-id", ECliCommand::FlashId},
    {"erase", ECliCommand::Erase},   {"download", ECliCommand::Download},
    {"dump", ECliCommand::Dump},     {"compress", ECliCommand::Compress},
    {"ports", ECliCommand::Ports},   {"udev-rule", ECliCommand::UdevRule},
    {"job", ECliCommand::Job},       {"history", ECliCommand::History},
    {"run", ECliCommand::Run},       {"store", ECliCommand::Store},
    {"serve", ECliCommand::Serve},
};

bool ParseUnsigned(const std::string& text, uint64_t max, uint64_t& value) {
    if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || *end != 0 || v > max) {
        return false;
    }
    value = v;
    return true;
}

// The name of an option without its "=value" part, and the value when there was one.
struct TS_SPLIT {
    std::string name;
    std::optional<std::string> value;
};
TS_SPLIT Split(const std::string& arg) {
    const auto eq = arg.find('=');
    if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
        return {arg.substr(0, eq), arg.substr(eq + 1)};
    }
    return {arg, std::nullopt};
}

} // namespace

bool ParseHexAddress(const std::string& text, uint32_t& value) {
    std::string digits = text;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        digits = digits.substr(2);
    }
    if (digits.empty()) {
        return false;
    }
    const auto first = digits.find_first_not_of('0');
    digits = first == std::string::npos ? "0" : digits.substr(first);
    if (digits.size() > 8) {
        return false;
    }
    uint32_t v = 0;
    for (char c : digits) {
        const uint8_t d = kHexDigitValue[static_cast<unsigned char>(c)];
        if (d & 0x80) {
            return false;
        }
        v = (v << 4) | d;
    }
    value = v;
    return true;
}

namespace {
bool StationCommand(ECliCommand command) {
    return command == ECliCommand::Status || command == ECliCommand::FlashId ||
           command == ECliCommand::Erase || command == ECliCommand::Download || command == ECliCommand::Run ||
           command == ECliCommand::Serve;
}
} // namespace

bool UsesStation(const TS_CLI_OPTIONS& options) {
    return options.Ports.size() > 1 || options.Watch || (options.Json && StationCommand(options.Command));
}

bool ParseCommandLine(const std::vector<std::string>& args, TS_CLI_OPTIONS& o, std::string& error) {
    std::vector<std::string> positional;
    bool optionsEnded = false;
    bool unitGiven = false;
    // Every port option is kept; the first is the port of the single-port commands.
    const auto addPort = [&](ECliPortChoice choice, const std::string& path, int com,
                             const std::string& text) {
        for (const TS_CLI_PORT& port : o.Ports) {
            if (port.Choice == choice && port.Path == path && port.ComNumber == com) {
                error = text + ": the port is named twice";
                return false;
            }
        }
        if (o.Ports.empty()) {
            o.PortChoice = choice;
            o.PortPath = path;
            o.ComNumber = com;
        }
        o.Ports.push_back({choice, path, com, text});
        return true;
    };

    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
            if (o.Command == ECliCommand::None && !optionsEnded) {
                const auto it = kCommands.find(arg);
                if (it == kCommands.end()) {
                    error = "unknown command '" + arg + "' (see --help)";
                    return false;
                }
                o.Command = it->second;
            } else if (o.Command == ECliCommand::None) {
                error = "no command before '" + arg + "' (see --help)";
                return false;
            } else {
                positional.push_back(arg);
            }
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        const TS_SPLIT split = Split(arg);
        const std::string& name = split.name;
        // the value of an option that takes one
        const auto value = [&](std::string& out) {
            if (split.value) {
                out = *split.value;
                return true;
            }
            if (i + 1 >= args.size()) {
                error = name + " needs a value";
                return false;
            }
            out = args[++i];
            return true;
        };
        std::string v;

        if (name == "--help" || name == "-h") {
            o.Command = ECliCommand::Help;
            return true;
        }
        if (name == "--version") {
            o.Command = ECliCommand::Version;
            return true;
        }
        if (name == "--port") {
            if (!value(v)) {
                return false;
            }
            if (v.empty()) {
                error = "--port needs a device path";
                return false;
            }
            if (!addPort(ECliPortChoice::Path, v, 0, "--port " + v)) {
                return false;
            }
        } else if (name == "--com") {
            uint64_t n = 0;
            if (!value(v)) {
                return false;
            }
            if (!ParseUnsigned(v, 4, n) || n < 1) {
                error = "--com takes 1, 2, 3 or 4, not '" + v + "'";
                return false;
            }
            if (!addPort(ECliPortChoice::Com, {}, static_cast<int>(n), "--com " + v)) {
                return false;
            }
        } else if (name == "--usb") {
            std::string path;
            if (split.value) {
                path = *split.value;
            } else if (i + 1 < args.size() && !args[i + 1].empty() && args[i + 1][0] != '-' &&
                       !kCommands.count(args[i + 1])) {
                path = args[++i];
            }
            if (!addPort(ECliPortChoice::Usb, path, 0, path.empty() ? "--usb" : "--usb " + path)) {
                return false;
            }
        } else if (name == "--json") {
            o.Json = true;
        } else if (name == "--watch") {
            o.Watch = true;
        } else if (name == "--baud") {
            uint64_t rate = 0;
            if (!value(v)) {
                return false;
            }
            o.BaudIndex = -1;
            if (ParseUnsigned(v, UINT32_MAX, rate)) {
                for (std::size_t k = 0; k < kBaudTable.size(); ++k) {
                    if (kBaudTable[k] == rate) {
                        o.BaudIndex = static_cast<int>(k);
                    }
                }
            }
            if (o.BaudIndex < 0) {
                error = "--baud " + v + ": not a rate of the baud table; valid rates: " + BaudTableText();
                return false;
            }
        } else if (name == "--writer") {
            if (!value(v)) {
                return false;
            }
            if (v.empty()) {
                error = "--writer needs a file";
                return false;
            }
            o.WriterPath = v;
        } else if (name == "--wait") {
            if (!value(v)) {
                return false;
            }
            char* end = nullptr;
            errno = 0;
            const double seconds = std::strtod(v.c_str(), &end);
            if (v.empty() || errno != 0 || *end != 0 || !std::isfinite(seconds) || seconds < 0 ||
                seconds > 1e7) {
                error = "--wait takes a number of seconds (0 = no limit), not '" + v + "'";
                return false;
            }
            o.WaitSeconds = seconds;
        } else if (name == "--log") {
            if (!value(v)) {
                return false;
            }
            if (v.empty()) {
                error = "--log needs a file";
                return false;
            }
            o.LogPath = v;
        } else if (name == "--quiet" || name == "-q") {
            o.Quiet = true;
        } else if (name == "--verify" && o.Command == ECliCommand::Download) {
            o.Verify = true;
        } else if (name == "--cs" && o.Command == ECliCommand::Erase) {
            uint64_t n = 0;
            if (!value(v)) {
                return false;
            }
            if (!ParseUnsigned(v, 3, n)) {
                error = "--cs takes a chip select 0, 1, 2 or 3, not '" + v + "'";
                return false;
            }
            o.EraseItems.push_back(static_cast<TE_ERASE_ITEM>(ERASE_CS0 + static_cast<int>(n)));
        } else if (name == "--area" && o.Command == ECliCommand::Erase) {
            TE_ERASE_ITEM item{};
            if (!value(v)) {
                return false;
            }
            if (!CEraseSelection::AreaByName(v, item)) {
                error = "--area takes boot, main, cdrive, ddrive, db or media, not '" + v + "'";
                return false;
            }
            o.EraseItems.push_back(item);
        } else if (name == "--size" && o.Command == ECliCommand::Dump) {
            uint64_t n = 0;
            if (!value(v)) {
                return false;
            }
            if (!ParseUnsigned(v, UINT32_MAX, n) || n == 0) {
                error = "--size takes a number of units (1 or more), not '" + v + "'";
                return false;
            }
            o.DumpSize = static_cast<uint32_t>(n);
        } else if (name == "--unit" && o.Command == ECliCommand::Dump) {
            if (!value(v)) {
                return false;
            }
            unitGiven = true;
            if (v == "byte") {
                o.DumpUnit = 0;
            } else if (v == "word") {
                o.DumpUnit = 1;
            } else if (v == "dword") {
                o.DumpUnit = 2;
            } else {
                error = "--unit takes byte, word or dword, not '" + v + "'";
                return false;
            }
        } else if (name == "--end" && o.Command == ECliCommand::Dump) {
            uint32_t end = 0;
            if (!value(v)) {
                return false;
            }
            if (!ParseHexAddress(v, end)) {
                error = "--end " + v + ": not a hexadecimal address";
                return false;
            }
            o.DumpEnd = end;
        } else if ((name == "-o" || name == "--output") && o.Command == ECliCommand::Dump) {
            if (!value(v)) {
                return false;
            }
            if (v.empty()) {
                error = name + " needs a file";
                return false;
            }
            o.DumpOutput = v;
        } else if (const int line = ParseLineOption(name, split.value, args, i, o, error); line != 0) {
            if (line < 0) {
                return false;
            }
        } else if (const int serve = ParseServeOption(name, split.value, args, i, o, error); serve != 0) {
            if (serve < 0) {
                return false;
            }
        } else {
            error = "unknown option '" + arg + "'" +
                    (o.Command == ECliCommand::None ? std::string(" (see --help)")
                                                    : std::string(" for this command (see --help)"));
            return false;
        }
    }

    if ((o.Ports.size() > 1 || o.Watch) && !StationCommand(o.Command) && o.Command != ECliCommand::None) {
        error = std::string(o.Ports.size() > 1 ? "several ports" : "--watch") +
                ": only status, flash-id, erase and download (and a job's run) run on several ports or with "
                "--watch";
        return false;
    }
    switch (o.Command) {
    case ECliCommand::None:
        error = "no command given (see --help)";
        return false;
    case ECliCommand::Status:
    case ECliCommand::FlashId:
    case ECliCommand::Ports:
        if (!positional.empty()) {
            error = "unexpected argument '" + positional[0] + "'";
            return false;
        }
        return true;
    case ECliCommand::Erase:
        if (!positional.empty()) {
            error = "unexpected argument '" + positional[0] + "'";
            return false;
        }
        if (o.EraseItems.empty()) {
            error = "erase needs at least one --cs N or --area NAME";
            return false;
        }
        return true;
    case ECliCommand::Download:
    case ECliCommand::Compress:
        if (positional.empty()) {
            error = std::string(o.Command == ECliCommand::Download ? "download" : "compress") +
                    " needs at least one FILE";
            return false;
        }
        o.Files = positional;
        return true;
    case ECliCommand::UdevRule: {
        if (positional.size() != 1) {
            error = positional.empty() ? "udev-rule needs a USB device: usb:VVVV:PPPP"
                                       : "unexpected argument '" + positional[1] + "'";
            return false;
        }
        TS_USB_DEVICE_TEXT device;
        if (!QuilletParseUsbDeviceText(positional[0], device, error)) {
            return false;
        }
        if (!device.HasIds) {
            error = "udev-rule needs the vendor and product ids: usb:VVVV:PPPP";
            return false;
        }
        o.UsbDeviceText = positional[0];
        return true;
    }
    case ECliCommand::Dump:
        if (positional.size() != 1) {
            error = positional.empty() ? "dump needs a start address"
                                       : "unexpected argument '" + positional[1] + "'";
            return false;
        }
        if (!ParseHexAddress(positional[0], o.DumpStart)) {
            error = "dump " + positional[0] + ": not a hexadecimal address";
            return false;
        }
        if (o.DumpEnd.has_value() != !o.DumpOutput.empty()) {
            error = "a dump to a file needs both --end ADDR and -o FILE.bin";
            return false;
        }
        if (o.DumpEnd) {
            if (o.DumpSize || unitGiven) {
                error = "--size and --unit go with a dump to the screen, --end with a dump to a file";
                return false;
            }
            if (*o.DumpEnd <= o.DumpStart) {
                error = "--end must lie above the start address";
                return false;
            }
        }
        return true;
    case ECliCommand::Job:
    case ECliCommand::History:
    case ECliCommand::Run:
    case ECliCommand::Store:
        return FinishLineCommand(positional, o, error);
    case ECliCommand::Serve:
        return FinishServeCommand(positional, o, error);
    default:
        return true;
    }
}
