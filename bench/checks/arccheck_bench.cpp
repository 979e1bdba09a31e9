// Cost of the ZIP check on a large upload, beside references measured in
// the same run: the floor (every entry read once, its compressed bytes
// unpacked to verify the CRC-32 and copied unchanged into a new archive,
// synced to disk), the check with zip_recompress, and Info-ZIP's
// "unzip -tq". Each check prints its ratio to the floor.
//
// The archive holds 8 entries, half text-like, half incompressible; its
// size in MiB is SITEKIT_BENCH_ZIP_MB (default 116).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

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
    long mb = 116;
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

double floor_seconds = 0; // per iteration, from BM_RawCopyFloor

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void check_with(benchmark::State &state, const char *recompress) {
    settle();
    ht_table table;
    ht_init(&table);
    ht_put(&table, "path", upload_path().c_str());
    if (recompress)
        ht_put(&table, "zip_recompress", recompress);
    double total = 0;
    for (auto _ : state) { // NOLINT(clang-analyzer-deadcode.DeadStores): the benchmark loop idiom
        auto start = std::chrono::steady_clock::now();
        int rc = zip_check(&table, "upload.zip", bench_dir().c_str(), nullptr);
        total += seconds_since(start);
        if (rc != 1)
            state.SkipWithError("zip_check failed");
    }
    ht_finalize(&table);
    if (floor_seconds > 0)
        state.counters["ratio_to_floor"] = total / static_cast<double>(state.iterations()) / floor_seconds;
}

void BM_ZipCheck(benchmark::State &state) {
    check_with(state, nullptr);
}

void BM_ZipCheckRecompress(benchmark::State &state) {
    check_with(state, "yes");
}

// Inflates one entry's compressed bytes, as they come, into its CRC-32.
struct CrcInflater {
    z_stream z{};
    std::vector<unsigned char> out = std::vector<unsigned char>(1 << 16);
    uLong crc = crc32(0, nullptr, 0);
    CrcInflater() { inflateInit2(&z, -MAX_WBITS); }
    ~CrcInflater() { inflateEnd(&z); }
    CrcInflater(const CrcInflater &) = delete;
    CrcInflater &operator=(const CrcInflater &) = delete;
    void feed(const char *data, unsigned size) {
        z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data));
        z.avail_in = size;
        while (z.avail_in > 0) {
            z.next_out = out.data();
            z.avail_out = static_cast<uInt>(out.size());
            int rc = inflate(&z, Z_NO_FLUSH);
            crc = crc32(crc, out.data(), static_cast<uInt>(out.size() - z.avail_out));
            if (rc != Z_OK)
                break;
        }
    }
};

// The floor: every entry read once in raw mode, its CRC-32 verified from
// the unpacked bytes, the compressed bytes copied into a new archive, which
// is synced to disk.
void BM_RawCopyFloor(benchmark::State &state) {
    settle();
    std::string out = bench_dir() + "/floor.zip";
    std::vector<char> buf(1 << 16);
    double total = 0;
    for (auto _ : state) { // NOLINT(clang-analyzer-deadcode.DeadStores): the benchmark loop idiom
        auto start = std::chrono::steady_clock::now();
        unzFile in = unzOpen64(upload_path().c_str());
        zipFile zip = zipOpen64(out.c_str(), APPEND_STATUS_CREATE);
        unz_global_info64 gi;
        unzGetGlobalInfo64(in, &gi);
        for (ZPOS64_T i = 0; i < gi.number_entry; ++i) {
            unz_file_info64 fi;
            char name[256];
            unzGetCurrentFileInfo64(in, &fi, name, sizeof name, nullptr, 0, nullptr, 0);
            int method = 0, level = 0;
            unzOpenCurrentFile2(in, &method, &level, 1);
            zip_fileinfo zi{};
            zipOpenNewFileInZip2(zip, name, &zi, nullptr, 0, nullptr, 0, nullptr, method, level, 1);
            CrcInflater check;
            int n;
            while ((n = unzReadCurrentFile(in, buf.data(), static_cast<unsigned>(buf.size()))) > 0) {
                if (method == Z_DEFLATED)
                    check.feed(buf.data(), static_cast<unsigned>(n));
                else
                    check.crc = crc32(check.crc, reinterpret_cast<Bytef *>(buf.data()), static_cast<uInt>(n));
                zipWriteInFileInZip(zip, buf.data(), static_cast<unsigned>(n));
            }
            if (check.crc != fi.crc)
                state.SkipWithError("CRC mismatch");
            unzCloseCurrentFile(in);
            zipCloseFileInZipRaw64(zip, fi.uncompressed_size, fi.crc);
            if (i + 1 < gi.number_entry)
                unzGoToNextFile(in);
        }
        zipClose(zip, nullptr);
        unzClose(in);
        int fd = ::open(out.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 || fsync(fd) != 0)
            state.SkipWithError("fsync failed");
        if (fd >= 0)
            ::close(fd);
        total += seconds_since(start);
    }
    floor_seconds = total / static_cast<double>(state.iterations());
    unlink(out.c_str());
}

// Reference (b): Info-ZIP's test of the same archive.
void BM_UnzipTest(benchmark::State &state) {
    settle();
    std::string cmd = "unzip -tq " + upload_path() + " >/dev/null";
    for (auto _ : state) // NOLINT(clang-analyzer-deadcode.DeadStores): the benchmark loop idiom
        if (std::system(cmd.c_str()) != 0)
            state.SkipWithError("unzip -tq failed");
}

BENCHMARK(BM_RawCopyFloor)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_ZipCheck)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_ZipCheckRecompress)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
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
