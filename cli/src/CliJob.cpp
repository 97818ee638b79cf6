// vandrel-cli's production line: the line's options, `job check FILE` and `--job FILE run`.

#include <cstdlib>
#include <memory>

#include "CliExitStatus.h"
#include "CliJson.h"
#include "CliLine.h"
#include "CliOptions.h"
#include "CliStation.h"
#include "download/FlashFile.h"
#include "line/JobFile.h"
#include "line/LineSession.h"
#include "line/RecordArchive.h"
#include "line/RecordStore.h"
#include "tools/FlashIdentification.h"
#include "tools/WrittenRanges.h"

int ParseLineOption(const std::string& name, const std::optional<std::string>& inlineValue,
                    const std::vector<std::string>& args, std::size_t& i, TS_CLI_OPTIONS& o,
                    std::string& error) {
    TS_CLI_LINE_OPTIONS& line = o.Line;
    const bool history = o.Command == ECliCommand::History;
    std::string* target = nullptr;
    if (name == "--job") {
        target = history ? &line.JobName : &line.JobPath;
    } else if (name == "--store") {
        target = &line.Store;
    } else if (name == "--station") {
        target = &line.Station;
    } else if (name == "--operator") {
        target = &line.Operator;
    } else if (history && name == "--serial") {
        target = &line.Serial;
    } else if (history && name == "--pool") {
        target = &line.Pool;
    } else if (history && name == "--result") {
        target = &line.Result;
    } else if (history && name == "--since") {
        target = &line.Since;
    } else if (history && name == "--until") {
        target = &line.Until;
    } else if (history && name == "--csv") {
        line.Csv = true;
        return 1;
    } else if (history && name == "--with-logs") {
        line.WithLogs = true;
        return 1;
    } else if (o.Command == ECliCommand::Store && name == "--before") {
        target = &line.Before;
    } else if (name == "--create-store" && !history) {
        line.CreateStore = true;
        return 1;
    } else if (name == "--adopt-serials" && !history) {
        line.AdoptSerials = true;
        return 1;
    } else if (!(history && (name == "--show" || name == "--limit"))) {
        return 0;
    }
    std::string value;
    if (inlineValue) {
        value = *inlineValue;
    } else if (i + 1 < args.size()) {
        value = args[++i];
    } else {
        error = name + " needs a value";
        return -1;
    }
    if (value.empty()) {
        error = name + " needs a value";
        return -1;
    }
    if (target) {
        *target = value;
        if (target == &line.Result && value != RESULT_PASSED && value != RESULT_FAILED &&
            value != RESULT_INTERRUPTED && value != RESULT_OPEN) {
            error = "--result takes passed, failed, interrupted or open, not '" + value + "'";
            return -1;
        }
        if (target == &line.Since || target == &line.Until || target == &line.Before) {
            if (!NormaliseTimeText(value, *target)) {
                error = name + " takes a date or a date and time (2026-12-09, 2026-12-09T17:05), not '" +
                        value + "'";
                return -1;
            }
        }
        return 1;
    }
    char* end = nullptr;
    const long long n = std::strtoll(value.c_str(), &end, 10);
    if (*end != 0 || n <= 0) {
        error = name + " takes a number above 0, not '" + value + "'";
        return -1;
    }
    if (name == "--show") {
        line.ShowId = n;
    } else {
        line.Limit = static_cast<int>(std::min<long long>(n, 1000000000));
    }
    return 1;
}

bool FinishLineCommand(const std::vector<std::string>& positional, TS_CLI_OPTIONS& o, std::string& error) {
    switch (o.Command) {
    case ECliCommand::Job:
        if (positional.size() != 2 || positional[0] != "check") {
            error = positional.empty() || positional[0] != "check" ? "job takes 'check FILE'"
                                                                   : "job check needs one job FILE";
            return false;
        }
        o.Line.JobPath = positional[1];
        return true;
    case ECliCommand::Store:
        if (!positional.empty() && positional[0] == "archive") {
            if (positional.size() != 2 || o.Line.Before.empty()) {
                error = "store archive takes --before DATE and one archive FILE";
                return false;
            }
            o.Line.ArchivePath = positional[1];
            return true;
        }
        if (!o.Line.Before.empty()) {
            error = "--before is an option of store archive";
            return false;
        }
        if (positional.empty() || positional[0] != "init" || positional.size() > 2) {
            error = positional.empty() || positional[0] != "init"
                        ? "store takes 'init [WHERE]' or 'archive --before DATE FILE'"
                        : "store init takes one WHERE";
            return false;
        }
        if (positional.size() == 2) {
            if (!o.Line.Store.empty() && o.Line.Store != positional[1]) {
                error = "store init takes WHERE or --store, not both";
                return false;
            }
            o.Line.Store = positional[1];
        }
        return true;
    case ECliCommand::History:
        if (!positional.empty()) {
            error = "unexpected argument '" + positional[0] + "'";
            return false;
        }
        if (o.Ports.size() > 1) {
            error = "history takes one --port filter";
            return false;
        }
        if (!o.Ports.empty()) {
            // a filter here: the port's name as the records keep it (the station's label)
            const TS_CLI_PORT& port = o.Ports[0];
            o.Line.Port = port.Choice == ECliPortChoice::Com   ? "COM" + std::to_string(port.ComNumber)
                          : port.Choice == ECliPortChoice::Usb ? (port.Path.empty() ? "usb" : port.Path)
                                                               : port.Path;
            o.Ports.clear();
        }
        return true;
    default: // run
        if (!positional.empty()) {
            error = "unexpected argument '" + positional[0] + "'";
            return false;
        }
        if (o.Line.JobPath.empty()) {
            error = "run needs --job FILE";
            return false;
        }
        return true;
    }
}

namespace {

std::string Hex32(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

// The store a command uses: --store, else the job's, else the default file.
std::string StoreOf(const TS_CLI_OPTIONS& o, const TS_LINE_JOB* job) {
    if (!o.Line.Store.empty()) {
        return o.Line.Store;
    }
    return job ? job->Store : std::string();
}

// The store as the messages name it.
std::string StoreText(const std::string& where) {
    return RedactStoreText(where.empty() ? "sqlite:" + DefaultStorePath() : where);
}

// How to make a store that is not there.
std::string MakeStoreHint(const std::string& where) {
    const std::string text = StoreText(where);
    return "; make it with `vandrel-cli store init " + text + "` (or run once with --create-store)";
}

bool LoadJob(const std::string& path, TS_LINE_JOB& job, std::FILE* err) {
    TS_JOB_ERROR error;
    if (!LoadJobFile(path, job, error)) {
        std::fprintf(err, "vandrel-cli: %s\n", error.Text().c_str());
        return false;
    }
    return true;
}

// "store: ...", "pool: ..." and what is left of the pool, a line each.
bool StoreAndPool(IRecordStore& store, const TS_LINE_JOB& job, std::string& text, std::string& error) {
    text = "store: " + store.Describe() + "\n";
    if (!job.HasSerial) {
        return true;
    }
    const CSerialPlan& plan = job.Serial;
    CLineSession line(job, store, {}, {});
    int64_t next = 0;
    int64_t left = 0;
    if (!store.PoolLeft(line.Pool(), next, left, error)) {
        return false;
    }
    text += "pool: " + job.SerialPool + "\n";
    if (left <= 0) {
        text += "serial range left: none: serials " + plan.RangeText() + " are all issued\n";
    } else {
        text += "serial range left: " + plan.Text(next) + ".." + plan.Text(plan.Count() - 1) + " (" +
                std::to_string(left) + " of " + std::to_string(plan.Count()) + ")\n";
    }
    return true;
}

uint64_t PayloadOf(const std::string& path) {
    TS_IMAGE_BYTES image;
    std::string problem;
    uint64_t bytes = 0;
    if (ReadImageBytes(path, GetFileKind(path) == KIND_CP64, image, problem)) {
        for (const auto& [address, data] : image.blocks) {
            bytes += data.size();
        }
    }
    return bytes;
}

int JobCheck(const TS_CLI_OPTIONS& o, std::FILE* out, std::FILE* err) {
    TS_LINE_JOB job;
    if (!LoadJob(o.Line.JobPath, job, err)) {
        return EXIT_USAGE;
    }
    std::fprintf(out, "job: %s\nfile: %s (sha256 %s)\n", job.Name.c_str(), job.Path.c_str(),
                 job.Sha256.c_str());
    if (job.WriterUart.Path.empty() && job.WriterUsb.Path.empty()) {
        std::fprintf(out, "flash writer: none (the handsets' flash writer must already run)\n");
    }
    for (const auto& [link, writer] :
         {std::pair{"RS232", &job.WriterUart}, std::pair{"USB", &job.WriterUsb}}) {
        if (!writer->Path.empty()) {
            std::fprintf(out, "flash writer (%s): %s (sha256 %s)\n", link, writer->Path.c_str(),
                         writer->Sha256.c_str());
        }
    }
    std::fprintf(out, "images, in order:\n");
    for (std::size_t k = 0; k < job.Images.size(); ++k) {
        std::fprintf(out, "  %zu. %s  %llu bytes  sha256 %s\n", k + 1, job.Images[k].Path.c_str(),
                     static_cast<unsigned long long>(PayloadOf(job.Images[k].Path)),
                     job.Images[k].Sha256.c_str());
    }
    std::fprintf(out, "verify: %s\n", job.Verify ? "on" : "off");
    std::string parts;
    for (std::size_t cs = 0; cs < 4; ++cs) {
        if (job.ExpectedParts[cs] >= 0) {
            parts += (parts.empty() ? "" : ", ") + std::string("CS#") + std::to_string(cs) + " " +
                     FlashPartName(job.ExpectedParts[cs]);
        }
    }
    std::fprintf(out, "flash parts: %s\n", parts.empty() ? "any" : parts.c_str());
    std::fprintf(out, "areas erased:%s\n", job.Erased.empty() ? " none" : "");
    for (const TS_JOB_AREA& area : job.Erased) {
        std::fprintf(out, "  %-26s [%s, %s)\n", area.Name.c_str(), Hex32(area.Start).c_str(),
                     Hex32(area.End).c_str());
    }
    const std::string where = StoreOf(o, &job);
    if (!job.HasSerial) {
        std::fprintf(out, "serial: none\nstore: %s\n",
                     RedactStoreText(where.empty() ? "sqlite:" + DefaultStorePath() : where).c_str());
        return EXIT_OK;
    }
    const CSerialPlan& plan = job.Serial;
    const TS_SERIAL_SPEC& spec = plan.Spec();
    const std::string format = spec.Format == SERIAL_TEXT
                                   ? "\"" + spec.Template + "\""
                                   : std::string(spec.Format == SERIAL_U32LE   ? "u32le"
                                                 : spec.Format == SERIAL_U32BE ? "u32be"
                                                 : spec.Format == SERIAL_U64LE ? "u64le"
                                                                               : "u64be");
    std::fprintf(
        out, "serial: %s at %s (%zu bytes), %s\n", format.c_str(), Hex32(plan.Address()).c_str(),
        plan.Length(),
        spec.FromList
            ? ("list " + job.SerialListPath + ", " + std::to_string(plan.Count()) + " serials").c_str()
            : ("counter " + std::to_string(spec.First) + ".." + std::to_string(spec.Last) + " step " +
               std::to_string(spec.Step))
                  .c_str());
    std::string error;
    bool missing = false;
    std::unique_ptr<IRecordStore> store = OpenRecordStore(where, error, STORE_READ, &missing);
    if (!store) {
        std::fprintf(out, "serial range left: not known\n");
        std::fprintf(err, "vandrel-cli: %s%s\n", error.c_str(), missing ? MakeStoreHint(where).c_str() : "");
        return EXIT_TARGET;
    }
    std::string text;
    if (!StoreAndPool(*store, job, text, error)) {
        std::fprintf(err, "vandrel-cli: %s\n", error.c_str());
        return EXIT_TARGET;
    }
    std::fputs(text.c_str(), out);
    return EXIT_OK;
}

int JobRun(const TS_CLI_OPTIONS& given, CStopSignals& signals, std::FILE* out, std::FILE* err,
           bool interactive) {
    TS_LINE_JOB job;
    if (!LoadJob(given.Line.JobPath, job, err)) {
        return EXIT_USAGE;
    }
    if (!given.WriterPath.empty() || given.Verify) {
        std::fprintf(err,
                     "vandrel-cli: the job pins the flash writer and verify: --writer and --verify do not go "
                     "with --job\n");
        return EXIT_USAGE;
    }
    std::string error;
    const std::string where = StoreOf(given, &job);
    // a store is made on purpose: only a job without serials starts the default one on first use
    const bool create = given.Line.CreateStore || (!job.HasSerial && where.empty());
    bool missing = false;
    std::unique_ptr<IRecordStore> store =
        OpenRecordStore(where, error, create ? STORE_CREATE : STORE_WRITE, &missing);
    if (!store) {
        // nothing is flashed without its record
        std::fprintf(err, "vandrel-cli: %s%s; no handset was touched\n", error.c_str(),
                     missing ? MakeStoreHint(where).c_str() : "");
        return EXIT_TARGET;
    }
    if (std::string text; !StoreAndPool(*store, job, text, error)) {
        std::fprintf(err, "vandrel-cli: %s; no handset was touched\n", error.c_str());
        return EXIT_TARGET;
    } else if (!given.Quiet) {
        std::fputs(text.c_str(), err);
    }
    if (store->InterruptedAtOpen() > 0 && !given.Json) {
        std::fprintf(err,
                     "vandrel-cli: %d attempt%s of a station that ended during them closed as interrupted\n",
                     store->InterruptedAtOpen(), store->InterruptedAtOpen() == 1 ? "" : "s");
    }
    CLineSession line(job, *store, given.Line.Station.empty() ? HostName() : given.Line.Station,
                      given.Line.Operator.empty() ? UserName() : given.Line.Operator);
    line.SetAdoptSerials(given.Line.AdoptSerials);
    TS_CLI_OPTIONS o = given;
    const TS_STATION_JOB stationJob = line.StationJob();
    o.Files = stationJob.Files;
    o.Verify = stationJob.Verify;
    o.WriterPath = stationJob.WriterPath;
    // a second signal removes the temporary .cp64 of a compression it cuts short
    for (const std::string& file : o.Files) {
        signals.AddCleanupSource(file);
    }
    for (const std::string& writer : {job.WriterUart.Path, job.WriterUsb.Path}) {
        if (!writer.empty()) {
            signals.AddCleanupSource(writer);
        }
    }
    TS_STATION_LINE hooks;
    hooks.Hooks = line.Hooks();
    hooks.WriterFor = [&line](int portType) { return line.WriterFor(portType); };
    hooks.JsonFields = [&line, &job](int port, bool end) {
        const int64_t attempt = line.CurrentAttempt(port);
        std::string fields = ",\"job\":" + JsonString(job.Name);
        fields += attempt > 0 ? ",\"attempt\":" + std::to_string(attempt) : std::string(",\"attempt\":null");
        const std::string serial = attempt > 0 ? line.SerialOf(attempt) : std::string();
        fields += serial.empty() ? std::string(",\"serial\":null") : ",\"serial\":" + JsonString(serial);
        if (end && !serial.empty()) {
            fields += ",\"serialHow\":\"" + line.SerialHow(attempt) + "\"";
        }
        return fields;
    };
    return RunStation(o, signals, out, err, interactive, &hooks);
}

int StoreInit(const TS_CLI_OPTIONS& o, std::FILE* out, std::FILE* err) {
    std::string error;
    bool missing = false;
    // an existing store is opened as it is (and its schema brought up to date); else it is made
    const bool existed = OpenRecordStore(o.Line.Store, error, STORE_READ, &missing) != nullptr || !missing;
    std::unique_ptr<IRecordStore> store = OpenRecordStore(o.Line.Store, error, STORE_CREATE);
    if (!store) {
        std::fprintf(err, "vandrel-cli: %s\n", error.c_str());
        return EXIT_TARGET;
    }
    std::fprintf(out, "record store %s: %s\n", existed ? "ready" : "made", store->Describe().c_str());
    return EXIT_OK;
}

// store archive --before DATE FILE: the attempts that ended before DATE move to FILE.
int StoreArchive(const TS_CLI_OPTIONS& o, std::FILE* out, std::FILE* err) {
    std::string error;
    std::unique_ptr<IRecordStore> store = OpenRecordStore(o.Line.Store, error, STORE_WRITE);
    if (!store) {
        std::fprintf(err, "vandrel-cli: %s\n", error.c_str());
        return EXIT_TARGET;
    }
    TS_ARCHIVE_RESULT result;
    if (!ArchiveRecords(*store, o.Line.Before, o.Line.ArchivePath, result, error)) {
        std::fprintf(err, "vandrel-cli: %s\n", error.c_str());
        return EXIT_TARGET;
    }
    std::fprintf(out,
                 "%lld attempt%s started before %s moved from %s to %s (verified), %lld job text%s copied;"
                 " the serials and pools stay in the store\n",
                 static_cast<long long>(result.Moved), result.Moved == 1 ? "" : "s", o.Line.Before.c_str(),
                 store->Describe().c_str(), o.Line.ArchivePath.c_str(),
                 static_cast<long long>(result.JobTexts), result.JobTexts == 1 ? "" : "s");
    return EXIT_OK;
}

} // namespace

int RunLineCommand(const TS_CLI_OPTIONS& o, CStopSignals& signals, std::FILE* out, std::FILE* err,
                   bool interactive) {
    switch (o.Command) {
    case ECliCommand::Job:
        return JobCheck(o, out, err);
    case ECliCommand::History:
        return RunHistory(o, out, err);
    case ECliCommand::Store:
        return o.Line.ArchivePath.empty() ? StoreInit(o, out, err) : StoreArchive(o, out, err);
    default:
        return JobRun(o, signals, out, err, interactive);
    }
}
