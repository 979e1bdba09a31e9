// The test of an uploaded archive: every entry read to its end and copied
// into the temporary archive, unwanted entries left out, chosen entries
// extracted into the release directory.
#include "arccheck.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include "internal.h"
#include "textfill.h"

namespace {

constexpr const char *step_open = "Opening zipfile";
constexpr const char *step_header = "Reading zipfile header";
constexpr const char *step_entry_hdr = "Reading zipfile entry-hdr";
constexpr const char *step_entry_data = "Reading zipfile entry-data";
constexpr const char *step_temp_open = "Opening entry in temp-zip";
constexpr const char *step_extract_open = "Opening extracted file for writing";
constexpr const char *step_temp_write = "Writing in temp-zip";
constexpr const char *step_temp_close = "Closing in temp-zip";
constexpr const char *step_next = "Finding next file in zip";

std::string lower(std::string_view text) {
    std::string out(text);
    for (char &c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

struct Tokens {
    st_state state{};
    ~Tokens() { st_finalize(&state); }
};

struct Reader {
    unzFile file = nullptr;
    ~Reader() {
        if (file)
            unzClose(file); // also closes an entry left open
    }
};

// What one test run carries from entry to entry.
struct Run {
    ht_table *table;
    const char *dir;
    zipFile zip;
    st_state *patterns;
    unzFile archive;
    std::vector<char> buffer;
};

bool fail(const Run &run, const char *step) {
    error_printf(run.table, ht_get(run.table, "check_errormsg"), step);
    return false;
}

// Opens the extraction target of an entry, when one is chosen, and sets the
// status word. The target is created only when nothing at all is there, and
// never through a symbolic link, so that nothing that exists is overwritten.
sk::unique_fd open_target(const Run &run, const char *name, std::string &status, std::string &path) {
    if (!run.dir)
        return {};
    sk::malloc_ptr<char> base(zip_must_extract(name, run.patterns));
    if (!base)
        return {};
    std::string_view base_name(base.get());
    std::string target = std::string(run.dir) + "/" + base.get();
    struct stat st;
    if (base_name.empty() || base_name == "." || base_name == ".." || lstat(target.c_str(), &st) == 0) {
        status = ZIP_STATUS_EXISTS;
        return {};
    }
    status = ZIP_STATUS_UNPACKED;
    int fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) {
        if (errno == EEXIST || errno == ELOOP)
            status = ZIP_STATUS_EXISTS; // something appeared since the test above
        else
            fail(run, step_extract_open);
        return {};
    }
    path = std::move(target);
    return sk::unique_fd(fd);
}

// Reads the current entry to its end, into the temporary archive and the
// target. The entry is closed on the reading side at the end, which is where
// the library compares the CRC of what was read with the stored one.
bool copy_entry(Run &run, const unz_file_info &info, const char *name, std::string &status) {
    if (unzOpenCurrentFile(run.archive) != UNZ_OK)
        return fail(run, step_entry_data);
    zip_fileinfo zi;
    int method = zip_convert_fi_to_zi(&info, &zi);
    // The same call as zipOpenNewFileInZip, but keeping the flag that marks
    // the name as UTF-8, so that the copy shows the same name.
    constexpr uLong utf8_name_flag = 0x800;
    if (zipOpenNewFileInZip4(run.zip, name, &zi, nullptr, 0, nullptr, 0, nullptr, method, -1, 0, -MAX_WBITS,
                             8, Z_DEFAULT_STRATEGY, nullptr, 0, 0, info.flag & utf8_name_flag) != ZIP_OK)
        return fail(run, step_temp_open);

    std::string target_path;
    sk::unique_fd target = open_target(run, name, status, target_path);
    // An entry whose data turns out damaged leaves no extracted copy: the
    // file was created by this entry (nothing was there before), so it goes.
    auto damaged = [&] {
        if (target) {
            target.close();
            ::unlink(target_path.c_str());
        }
        return fail(run, step_entry_data);
    };
    int count;
    do {
        count = unzReadCurrentFile(run.archive, run.buffer.data(), static_cast<unsigned>(run.buffer.size()));
        if (count < 0)
            return damaged();
        if (count > 0 && target)
            sk::write_all(target.get(), run.buffer.data(), static_cast<std::size_t>(count));
        if (zipWriteInFileInZip(run.zip, run.buffer.data(), static_cast<unsigned>(count)) != ZIP_OK)
            return fail(run, step_temp_write);
    } while (count > 0);
    if (unzCloseCurrentFile(run.archive) != UNZ_OK)
        return damaged();
    if (zipCloseFileInZip(run.zip) != ZIP_OK)
        return fail(run, step_temp_close);
    return true;
}

void show_entry(const Run &run, const unz_file_info &info, const char *name, const std::string &status) {
    const char *showfile = ht_get(run.table, "zip_showfile");
    if (!showfile)
        return;
    zip_make_last_zf_vars(run.table, &info, name, status.c_str());
    ht_table *sub = ht_get_tree(run.table, "tmp_zip_last", '_');
    if (!sub)
        return;
    sk::malloc_ptr<char> text(util_replacer_env(sub, showfile));
    ht_finalize(sub);
    std::free(sub);
    if (text) {
        (void)std::fputs(text.get(), stdout);
        (void)std::fflush(stdout);
    }
}

bool test_entry(Run &run) {
    std::string status = ZIP_STATUS_TESTED;
    unz_file_info info;
    char name[ZIP_NAME_SIZE];
    if (unzGetCurrentFileInfo(run.archive, &info, name, sizeof name, nullptr, 0, nullptr, 0) != UNZ_OK)
        return fail(run, step_entry_hdr);
    // A name that does not fit, or holds a NUL byte, would be copied under
    // another name than the one it has: the entry fails instead.
    if (info.size_filename >= ZIP_NAME_SIZE || std::strlen(name) != info.size_filename)
        return fail(run, step_entry_hdr);

    if (zip_is_propaganda(run.table, name))
        status = ZIP_STATUS_DELETED;
    else if (!copy_entry(run, info, name, status))
        return false;
    show_entry(run, info, name, status);
    return true;
}

// True for a well-formed archive without entries: only the end record
// (and its comment). The library cannot open one, because it looks for the
// end record at any offset but the very first.
bool is_empty_archive(const char *path) {
    sk::unique_file f(std::fopen(path, "rb"));
    unsigned char end[22];
    if (!f || std::fread(end, 1, sizeof end, f.get()) != sizeof end)
        return false;
    static const unsigned char signature[4] = {'P', 'K', 5, 6};
    if (std::memcmp(end, signature, 4) != 0)
        return false;
    for (int i = 4; i < 20; ++i) // disk numbers, entry counts, directory size and offset
        if (end[i] != 0)
            return false;
    long comment = end[20] | (end[21] << 8);
    return std::fseek(f.get(), 0, SEEK_END) == 0 && std::ftell(f.get()) == 22 + comment;
}

bool test_archive(Run &run, const char *path) {
    Reader reader;
    reader.file = run.archive = unzOpen(path);
    if (!reader.file)
        return is_empty_archive(path) || fail(run, step_open);
    unz_global_info global;
    if (unzGetGlobalInfo(run.archive, &global) != UNZ_OK)
        return fail(run, step_header);
    for (uLong i = 0; i < global.number_entry; ++i) {
        if (!test_entry(run))
            return false;
        if (i + 1 < global.number_entry && unzGoToNextFile(run.archive) != UNZ_OK)
            return fail(run, step_next);
    }
    return true;
}

} // namespace

extern "C" int zip_dupe(ht_table *, const char *, const char *) {
    return 1;
}

extern "C" int zip_test_and_extract(ht_table *table, const char *path, const char *dir, zipFile zip) {
    try {
        Tokens tokens;
        const char *extract = ht_get(table, "zip_extract");
        st_initialize(&tokens.state, extract, extract ? "|" : nullptr);
        Run run{table, dir, zip, &tokens.state, nullptr, std::vector<char>(ZIP_COPY_BUFFER)};
        if (!path) {
            fail(run, step_open);
            return 0;
        }
        return test_archive(run, path) ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

extern "C" int zip_is_propaganda(ht_table *table, const char *name) {
    const char *dir = ht_get(table, "zip_unwanteddir");
    if (!dir || !name)
        return 0;
    try {
        std::string path = std::string(dir) + "/" + lower(name);
        struct stat st;
        return lstat(path.c_str(), &st) == 0 ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

extern "C" char *zip_must_extract(const char *name, st_state *patterns) {
    if (!name || !patterns)
        return nullptr;
    try {
        std::string_view whole(name);
        std::size_t slash = whole.rfind('/');
        std::string base = lower(slash == std::string_view::npos ? whole : whole.substr(slash + 1));
        st_reset(patterns);
        for (const char *pattern; (pattern = st_next(patterns)) != nullptr;)
            if (fnmatch(pattern, base.c_str(), 0) == 0)
                return sk::dup_text(base);
        return nullptr;
    } catch (...) {
        return nullptr;
    }
}

extern "C" int zip_convert_fi_to_zi(const unz_file_info *fi, zip_fileinfo *zi) {
    zi->tmz_date.tm_sec = fi->tmu_date.tm_sec;
    zi->tmz_date.tm_min = fi->tmu_date.tm_min;
    zi->tmz_date.tm_hour = fi->tmu_date.tm_hour;
    zi->tmz_date.tm_mday = fi->tmu_date.tm_mday;
    zi->tmz_date.tm_mon = fi->tmu_date.tm_mon;
    zi->tmz_date.tm_year = fi->tmu_date.tm_year;
    zi->dosDate = 0;
    zi->internal_fa = 0;
    zi->external_fa = 0;
    return static_cast<int>(fi->compression_method);
}

extern "C" void zip_make_last_zf_vars(ht_table *table, const unz_file_info *fi, const char *name,
                                      const char *status) {
    char key[ZIP_NAME_SIZE];
    char value[ZIP_NAME_SIZE];
    auto put = [&](const char *sub) {
        (void)std::snprintf(key, sizeof key, "%s%c%s", "tmp_zip_last", '_', sub);
        ht_put(table, key, value);
    };
    (void)std::snprintf(value, sizeof value, "%s", name ? name : "");
    put("file");
    (void)std::snprintf(value, sizeof value, "%.1f",
                        static_cast<double>(static_cast<float>(fi->uncompressed_size) / 1024.0f));
    put("size");
    (void)std::snprintf(value, sizeof value, "%.1f",
                        static_cast<double>(static_cast<float>(fi->compressed_size) / 1024.0f));
    put("zsize");
    (void)std::snprintf(value, sizeof value, "m%lu", static_cast<unsigned long>(fi->compression_method));
    put("method");
    (void)std::snprintf(value, sizeof value, "%s", status ? status : "");
    put("status");
}
