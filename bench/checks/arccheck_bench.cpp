// Cost of the ZIP check on a large upload, beside two references measured
// in the same run: reading every entry and writing it again through minizip
// at the default level as plainly as possible (the floor for a check that
// recompresses), and Info-ZIP's "unzip -tq".
//
// The archive holds 8 entries, half text-like, half incompressible; its
// size in MB is SITEKIT_BENCH_ZIP_MB (default 200).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <unistd.h>

#include "arccheck.h"

namespace {

std::string bench_dir() {
    static std::string dir = [] {
        char tmpl[] = "/tmp/sitekit-arcbench-XXXXXX";
        return std::string(mkdtemp(tmpl));
    }();
    return dir;
}

std::string upload_path() {
    return bench_dir() + "/upload.zip";
}

void fill_text(std::vector<char> &buf, unsigned &seed) {
    static const char *words[] = {"release", "group",  "the ",    "nfo",      "greetings ",
                                  "cd1",     "sample", "\n",      "video ",   "audio ",
                                  "1080p ",  "x264 ",  "proper ", "internal "};
    std::size_t i = 0;
    while (i < buf.size()) {
        seed = seed * 1103515245u + 12345u;
        const char *w = words[(seed >> 16) % (sizeof words / sizeof *words)];
        for (; *w && i < buf.size(); ++w)
            buf[i++] = *w;
    }
}

void fill_noise(std::vector<char> &buf, unsigned &seed) {
    for (auto &c : buf) {
        seed = seed * 1103515245u + 12345u;
        c = static_cast<char>(seed >> 16);
    }
}

// Builds the upload once per process.
void make_upload() {
    static bool made = false;
    if (made)
        return;
    long mb = 200;
    if (const char *env = std::getenv("SITEKIT_BENCH_ZIP_MB"))
        mb = std::atol(env);
    const int entries = 8;
    const std::size_t entry_size = static_cast<std::size_t>(mb) * 1024 * 1024 / entries;
    zipFile zip = zipOpen(upload_path().c_str(), APPEND_STATUS_CREATE);
    std::vector<char> buf(1 << 20);
    unsigned seed = 1;
    for (int e = 0; e < entries; ++e) {
        std::string name =
            (e % 2 ? "data/noise" : "text/part") + std::to_string(e) + (e % 2 ? ".bin" : ".txt");
        zip_fileinfo zi{};
        zip_fill_zi(&zi);
        zipOpenNewFileInZip(zip, name.c_str(), &zi, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED, 1);
        for (std::size_t done = 0; done < entry_size; done += buf.size()) {
            if (e % 2)
                fill_noise(buf, seed);
            else
                fill_text(buf, seed);
            zipWriteInFileInZip(zip, buf.data(), static_cast<unsigned>(buf.size()));
        }
        zipCloseFileInZip(zip);
    }
    zipClose(zip, nullptr);
    made = true;
}

// Starts every benchmark with the upload built and no dirty pages left to
// write back, so that none of them pays for the one before.
void settle() {
    make_upload();
    sync();
}

void BM_ZipCheck(benchmark::State &state) {
    settle();
    ht_table table;
    ht_init(&table);
    ht_put(&table, "path", upload_path().c_str());
    for (auto _ : state) {
        int rc = zip_check(&table, "upload.zip", bench_dir().c_str(), nullptr);
        if (rc != 1)
            state.SkipWithError("zip_check failed");
    }
    ht_finalize(&table);
}

// Reference (a): every entry read and written again, nothing else.
void BM_PlainMinizipRewrite(benchmark::State &state) {
    settle();
    std::string out = bench_dir() + "/plain.zip";
    std::vector<char> buf(65536);
    for (auto _ : state) {
        unzFile in = unzOpen(upload_path().c_str());
        zipFile zip = zipOpen(out.c_str(), APPEND_STATUS_CREATE);
        unz_global_info gi;
        unzGetGlobalInfo(in, &gi);
        for (uLong i = 0; i < gi.number_entry; ++i) {
            unz_file_info fi;
            char name[256];
            unzGetCurrentFileInfo(in, &fi, name, sizeof name, nullptr, 0, nullptr, 0);
            unzOpenCurrentFile(in);
            zip_fileinfo zi{};
            zipOpenNewFileInZip(zip, name, &zi, nullptr, 0, nullptr, 0, nullptr,
                                static_cast<int>(fi.compression_method), -1);
            int n;
            while ((n = unzReadCurrentFile(in, buf.data(), static_cast<unsigned>(buf.size()))) > 0)
                zipWriteInFileInZip(zip, buf.data(), static_cast<unsigned>(n));
            unzCloseCurrentFile(in);
            zipCloseFileInZip(zip);
            if (i + 1 < gi.number_entry)
                unzGoToNextFile(in);
        }
        zipClose(zip, nullptr);
        unzClose(in);
    }
    unlink(out.c_str());
}

// Reference (b): Info-ZIP's test of the same archive.
void BM_UnzipTest(benchmark::State &state) {
    settle();
    std::string cmd = "unzip -tq " + upload_path() + " >/dev/null";
    for (auto _ : state)
        if (std::system(cmd.c_str()) != 0)
            state.SkipWithError("unzip -tq failed");
}

BENCHMARK(BM_PlainMinizipRewrite)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_ZipCheck)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_UnzipTest)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

} // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    unlink(upload_path().c_str());
    rmdir(bench_dir().c_str());
    return 0;
}
