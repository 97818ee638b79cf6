#include "tools/MemoryDumpSettings.h"

#include <memory>

#include "platform/RegistryStore.h"
#include "quillet/QuilletTypes.h"
#include "tools/MemoryDump.h"

namespace {} // namespace

TS_MEMORY_DUMP_SETTINGS ReadMemoryDumpSettings(const std::string& configDirectory) {
    TS_MEMORY_DUMP_SETTINGS s;
    auto store = CRegistryStore::OpenMachineStore(configDirectory);
    for (const char* key : {KEY_MEMORY_DUMP, KEY_MEMORY_DUMP_TO_SCREEN, KEY_MEMORY_DUMP_TO_FILE}) {
        if (!store->HasKey(key)) {
            store->MakeKey(key);
        }
    }
    if (store->OpenPath(KEY_MEMORY_DUMP)) {
        s.OutputMode = store->GetFlag("Output mode", s.OutputMode);
    }
    if (store->OpenPath(KEY_MEMORY_DUMP_TO_SCREEN)) {
        s.ScreenStartAddress = store->GetText("Start address", s.ScreenStartAddress);
        s.Size = static_cast<uint32_t>(store->GetInt("Size", static_cast<int32_t>(s.Size)));
        s.ShowAscii = store->GetFlag("Show ASCII", s.ShowAscii);
        s.Unit = store->GetInt("Unit", s.Unit);
    }
    if (store->OpenPath(KEY_MEMORY_DUMP_TO_FILE)) {
        s.BinFilePath = store->GetText("Bin file path", s.BinFilePath);
        s.FileStartAddress = store->GetText("Start address", s.FileStartAddress);
        s.FileEndAddress = store->GetText("End address", s.FileEndAddress);
    }
    if (UnitBytes(s.Unit) == 0) {
        s.Unit = DUMP_BYTE;
    }
    s.Size = ClampDumpSize(static_cast<int64_t>(s.Size), s.Unit);
    return s;
}

void WriteMemoryDumpSettings(const TS_MEMORY_DUMP_SETTINGS& s, const std::string& configDirectory) {
    auto store = CRegistryStore::OpenMachineStore(configDirectory);
    if (store->OpenPath(KEY_MEMORY_DUMP, true)) {
        store->PutFlag("Output mode", s.OutputMode);
    }
    if (store->OpenPath(KEY_MEMORY_DUMP_TO_SCREEN, true)) {
        store->PutText("Start address", s.ScreenStartAddress);
        store->PutInt("Size", static_cast<int32_t>(s.Size));
        store->PutFlag("Show ASCII", s.ShowAscii);
        store->PutInt("Unit", s.Unit);
    }
    if (store->OpenPath(KEY_MEMORY_DUMP_TO_FILE, true)) {
        store->PutText("Bin file path", s.BinFilePath);
        store->PutText("Start address", s.FileStartAddress);
        store->PutText("End address", s.FileEndAddress);
    }
}
