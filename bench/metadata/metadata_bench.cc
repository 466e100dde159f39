// Costs of the item record: encode and decode of a typical attribute text, and load and save against a
// real file with a real extended attribute. Each record benchmark has a baseline in the same run: the
// bare system calls (getxattr, setxattr) the record cannot avoid, so the ratio shows what the record
// adds on top of the file system.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "Pinewick/config/Logger.h"
#include "Pinewick/metadata/CorvaneExtendedAttributes.h"
#include "Pinewick/metadata/MetadataDataBase.h"

using namespace tw;

namespace {

std::string g_folder;

CorvaneExtendedAttributes typicalRecord(const std::string& path) {
    CorvaneExtendedAttributes r(path, "");
    r.ceaStatus.status = CEAStatus::keys::Regular;
    r.ceaDate.setAttribute(CEADate::keys::LastServerListing, 818330400.25);
    r.ceaString.setAttribute(CEAString::keys::Revision, "17");
    r.ceaString.setAttribute(CEAString::keys::FileType, "NSFileTypeRegular");
    r.ceaString.setAttribute(CEAString::keys::UploadGUID, "6f1c2f3e-0000-4000-8000-000000000001");
    r.ceaLong.setAttribute(CEALong::keys::ServerFileSize, 1024);
    r.ceaLong.setAttribute(CEALong::keys::LocalFileId, 4711);
    return r;
}

std::string makeFile(const std::string& name) {
    std::string path = g_folder + "/" + name;
    std::ofstream(path) << "content";
    return path;
}

void BM_Encode(benchmark::State& state) {
    auto r = typicalRecord("/bench/item");
    for (auto _ : state) benchmark::DoNotOptimize(r.encode());
}
BENCHMARK(BM_Encode);

void BM_Decode(benchmark::State& state) {
    std::string text = typicalRecord("/bench/item").encode();
    for (auto _ : state) {
        CorvaneExtendedAttributes r("/bench/item", text);
        benchmark::DoNotOptimize(r.ceaStatus.status);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_Decode);

void BM_EncodeDecode(benchmark::State& state) {
    auto r = typicalRecord("/bench/item");
    for (auto _ : state) {
        CorvaneExtendedAttributes back("/bench/item", r.encode());
        benchmark::DoNotOptimize(back.ceaStatus.status);
    }
}
BENCHMARK(BM_EncodeDecode);

// Baseline for load: the one getxattr (plus the statx the record makes for its identity is not here).
void BM_BaselineGetxattr(benchmark::State& state) {
    std::string path = makeFile("baseline-get");
    std::string text = typicalRecord(path).encode();
    setxattr(path.c_str(), "user.com.meridot.tidewell", text.data(), text.size(), 0);
    char buf[1024];
    for (auto _ : state)
        benchmark::DoNotOptimize(getxattr(path.c_str(), "user.com.meridot.tidewell", buf, sizeof buf));
}
BENCHMARK(BM_BaselineGetxattr);

void BM_Load(benchmark::State& state) {
    std::string path = makeFile("load");
    if (!typicalRecord(path).save()) return state.SkipWithError("the record could not be written");
    for (auto _ : state) {
        CorvaneExtendedAttributes r(path);
        benchmark::DoNotOptimize(r.ceaStatus.status);
    }
}
BENCHMARK(BM_Load);

// Baseline for save: the one setxattr of the same text.
void BM_BaselineSetxattr(benchmark::State& state) {
    std::string path = makeFile("baseline-set");
    std::string text = typicalRecord(path).encode();
    for (auto _ : state)
        benchmark::DoNotOptimize(
            setxattr(path.c_str(), "user.com.meridot.tidewell", text.data(), text.size(), 0));
}
BENCHMARK(BM_BaselineSetxattr);

// Load, change a flag, save: the engine's usual round (no state change, so no notification).
void BM_LoadChangeSave(benchmark::State& state) {
    std::string path = makeFile("save");
    if (!typicalRecord(path).save()) return state.SkipWithError("the record could not be written");
    bool flag = false;
    for (auto _ : state) {
        CorvaneExtendedAttributes r(path);
        flag = !flag;
        r.ceaBool.setAttribute(CEABool::keys::CanShare, flag);
        auto saved = r.save();
        benchmark::DoNotOptimize(saved);
    }
}
BENCHMARK(BM_LoadChangeSave);

// The same round with the database mirror on (a volume UUID is known), as on a mappoint volume.
void BM_LoadChangeSaveMirrored(benchmark::State& state) {
    std::string path = makeFile("mirrored");
    RecordMirror mirror([](uint64_t) { return std::string("BENCH-VOLUME"); },
                        MetadataDataBase::sharedInstance);
    if (!typicalRecord(path).save()) return state.SkipWithError("the record could not be written");
    bool flag = false;
    for (auto _ : state) {
        CorvaneExtendedAttributes r(path);
        flag = !flag;
        r.ceaBool.setAttribute(CEABool::keys::CanShare, flag);
        auto saved = r.save();
        benchmark::DoNotOptimize(saved);
    }
}
BENCHMARK(BM_LoadChangeSaveMirrored);

}  // namespace

int main(int argc, char** argv) {
    // Everything the benchmark writes (log, database, files) goes to a temporary folder.
    char templ[] = "/tmp/tw-bench-XXXXXX";
    if (!mkdtemp(templ)) return 1;
    g_folder = templ;
    setenv("HOME", templ, 1);
    setenv("XDG_STATE_HOME", templ, 1);
    setenv("XDG_DATA_HOME", templ, 1);
    Logger::sharedInstance().setLogLevel(Logger::logLevels::off);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::error_code ec;
    std::filesystem::remove_all(g_folder, ec);
    return 0;
}
