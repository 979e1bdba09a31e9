// The test of an uploaded archive: every entry read to its end and copied
// into the temporary archive, unwanted entries left out, chosen entries
// extracted into the release directory.
#include "arccheck.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdint>
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
#include <zlib.h>

#include "internal.h"
#include "textfill.h"
#include "tokens.h"

namespace {

constexpr const char *step_open = "Opening zipfile";
constexpr const char *step_header = "Reading zipfile header";
constexpr const char *step_entry_hdr = "Reading zipfile entry-hdr";
constexpr const char *step_entry_data = "Reading zipfile entry-data";
constexpr const char *step_temp_open = "Opening entry in temp-zip";
constexpr const char *step_extract_open = "Opening extracted file for writing";
constexpr const char *step_extract_write = "Writing extracted file";
constexpr const char *step_temp_write = "Writing in temp-zip";
constexpr const char *step_temp_close = "Closing in temp-zip";
constexpr const char *step_next = "Finding next file in zip";

constexpr std::uint64_t default_extract_max = 1 << 20;
constexpr std::uint64_t default_ratio_max = 200;
// An archive that unpacks to no more than this is never refused for its
// ratio: small texts of blanks or zeros compress beyond any sensible limit.
constexpr std::uint64_t ratio_free_bytes = 1 << 20;

constexpr std::uint64_t size_marker = 0xFFFFFFFFu; // a 32-bit size given in the Zip64 extra field
constexpr unsigned zip64_extra_id = 0x0001;
constexpr std::size_t end_record_size = 22;
constexpr std::size_t max_archive_comment = 65535;

// The upload as the library reads it: the file up to the end of its end
// record. The library looks for the end record only 65535 bytes back from
// the end of the file, so that it misses it behind a comment of more than
// 65513 bytes; the comment itself is left out of the view (the library
// reads it only when asked, and the rebuilt archive gets its own).
struct View {
    int fd = -1;
    std::uint64_t end = 0; // bytes shown
    std::uint64_t position = 0;
};

voidpf ZCALLBACK view_open(voidpf opaque, const void *, int) {
    return opaque;
}

uLong ZCALLBACK view_read(voidpf, voidpf stream, void *buf, uLong size) {
    auto *v = static_cast<View *>(stream);
    if (v->position >= v->end)
        return 0;
    std::uint64_t n = std::min<std::uint64_t>(size, v->end - v->position);
    ssize_t got = ::pread(v->fd, buf, n, static_cast<off_t>(v->position));
    if (got <= 0)
        return 0;
    v->position += static_cast<std::uint64_t>(got);
    return static_cast<uLong>(got);
}

uLong ZCALLBACK view_write(voidpf, voidpf, const void *, uLong) {
    return 0;
}

ZPOS64_T ZCALLBACK view_tell(voidpf, voidpf stream) {
    return static_cast<View *>(stream)->position;
}

// Relative seeks may go back: the library passes them as unsigned.
long ZCALLBACK view_seek(voidpf, voidpf stream, ZPOS64_T offset, int origin) {
    auto *v = static_cast<View *>(stream);
    std::int64_t base = origin == ZLIB_FILEFUNC_SEEK_SET   ? 0
                        : origin == ZLIB_FILEFUNC_SEEK_CUR ? static_cast<std::int64_t>(v->position)
                                                           : static_cast<std::int64_t>(v->end);
    std::int64_t target = base + static_cast<std::int64_t>(offset);
    if (origin == ZLIB_FILEFUNC_SEEK_SET ? offset > v->end
                                         : target < 0 || target > static_cast<std::int64_t>(v->end))
        return -1;
    v->position = origin == ZLIB_FILEFUNC_SEEK_SET ? offset : static_cast<std::uint64_t>(target);
    return 0;
}

int ZCALLBACK view_close(voidpf, voidpf) {
    return 0;
}

int ZCALLBACK view_error(voidpf, voidpf) {
    return 0;
}

// The open upload: its descriptor, size and end record, and the library's
// reader over the view.
struct Reader {
    sk::unique_fd fd;
    std::uint64_t size = 0;
    View view;
    bool empty = false; // a well-formed archive without entries
    unzFile file = nullptr;
    ~Reader() {
        if (file)
            unzClose(file); // also closes an entry left open
    }
};

unsigned little16(const unsigned char *p) {
    return p[0] | (p[1] << 8u);
}

std::uint64_t little64(const unsigned char *p) {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i)
        v = v << 8 | p[i];
    return v;
}

// Finds the end record: the last "PK\5\6" within the last 22 + 65535 bytes
// whose comment reaches exactly to the end of the file. False when there is
// none (damaged, or followed by other data: the library then decides).
bool find_end_record(Reader &r) {
    std::size_t tail =
        static_cast<std::size_t>(std::min<std::uint64_t>(r.size, end_record_size + max_archive_comment));
    std::vector<unsigned char> bytes(tail);
    if (tail < end_record_size || ::pread(r.fd.get(), bytes.data(), tail,
                                          static_cast<off_t>(r.size - tail)) != static_cast<ssize_t>(tail))
        return false;
    for (std::size_t at = tail - end_record_size + 1; at-- > 0;) {
        const unsigned char *e = bytes.data() + at;
        if (e[0] != 'P' || e[1] != 'K' || e[2] != 5 || e[3] != 6 ||
            at + end_record_size + little16(e + 20) != tail)
            continue;
        std::uint64_t offset = r.size - tail + at;
        r.view.end = offset + end_record_size;
        // Disk numbers, entry counts, directory size and offset all 0 at the
        // very start: an archive without entries, which the library cannot open.
        r.empty = offset == 0 && std::all_of(e + 4, e + 20, [](unsigned char c) { return c == 0; });
        return true;
    }
    return false;
}

bool open_reader(Reader &r, const char *path) {
    r.fd = sk::unique_fd(::open(path, O_RDONLY | O_CLOEXEC));
    struct stat st;
    if (!r.fd || fstat(r.fd.get(), &st) != 0)
        return false;
    r.size = static_cast<std::uint64_t>(st.st_size);
    if (!find_end_record(r)) {
        r.file = unzOpen64(path);
        return r.file != nullptr;
    }
    if (r.empty)
        return true;
    r.view.fd = r.fd.get();
    zlib_filefunc64_def io{};
    io.zopen64_file = view_open;
    io.zread_file = view_read;
    io.zwrite_file = view_write;
    io.ztell64_file = view_tell;
    io.zseek64_file = view_seek;
    io.zclose_file = view_close;
    io.zerror_file = view_error;
    io.opaque = &r.view;
    r.file = unzOpen2_64(path, &io);
    return r.file != nullptr;
}

// A size setting: a decimal number of at most 19 digits; 0 turns the limit off.
bool read_limit(ht_table *table, const char *key, std::uint64_t fallback, std::uint64_t &value) {
    const char *text = ht_get(table, key);
    if (!text) {
        value = fallback;
        return true;
    }
    std::string_view v(text);
    auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), value);
    return ec == std::errc() && end == v.data() + v.size();
}

std::uint64_t times(std::uint64_t a, std::uint64_t b) {
    std::uint64_t product;
    return __builtin_mul_overflow(a, b, &product) ? UINT64_MAX : product;
}

std::uint64_t plus(std::uint64_t a, std::uint64_t b) {
    return a > UINT64_MAX - b ? UINT64_MAX : a + b;
}

// An entry's header: its information with the sizes of the Zip64 extra
// field in place of the 32-bit markers, and its name.
struct Header {
    unz_file_info64 info{};
    char name[ZIP_NAME_SIZE]{};
};

// What one test run carries from entry to entry.
struct Run {
    ht_table *table;
    const char *dir;
    zipFile zip;
    st_state *patterns;
    unzFile archive;
    std::vector<char> buffer;
    std::vector<unsigned char> extra;
    std::uint64_t extract_max;
    bool recompress = false; // zip_recompress: deflate kept entries anew
    std::vector<char> inflated{};
};

bool fail(const Run &run, const char *step) {
    error_printf(run.table, ht_get(run.table, "check_errormsg"), step);
    return false;
}

bool fail(const Run &run, const std::string &step) {
    return fail(run, step.c_str());
}

// Puts the sizes of the Zip64 extra field (central directory) where the
// 32-bit fields hold the marker; they come in the order uncompressed size,
// compressed size. False when a marked size is missing from the field.
bool apply_zip64_sizes(unz_file_info64 &info, const unsigned char *extra, std::size_t size) {
    bool want_size = info.uncompressed_size == size_marker;
    bool want_zsize = info.compressed_size == size_marker;
    if (!want_size && !want_zsize)
        return true;
    for (std::size_t at = 0; at + 4 <= size;) {
        unsigned id = little16(extra + at), length = little16(extra + at + 2);
        const unsigned char *field = extra + at + 4;
        at += 4 + length;
        if (at > size)
            break;
        if (id != zip64_extra_id)
            continue;
        std::size_t needed = std::size_t{8} * ((want_size ? 1U : 0U) + (want_zsize ? 1U : 0U));
        if (length < needed)
            return false;
        if (want_size) {
            info.uncompressed_size = little64(field);
            field += 8;
        }
        if (want_zsize)
            info.compressed_size = little64(field);
        return true;
    }
    // No Zip64 field: a 32-bit size of exactly the marker's value.
    return true;
}

bool read_header(Run &run, Header &h) {
    if (unzGetCurrentFileInfo64(run.archive, &h.info, h.name, sizeof h.name, run.extra.data(),
                                static_cast<uLong>(run.extra.size()), nullptr, 0) != UNZ_OK ||
        !apply_zip64_sizes(h.info, run.extra.data(),
                           std::min<std::size_t>(h.info.size_file_extra, run.extra.size())))
        return fail(run, step_entry_hdr);
    // A name that does not fit, or holds a NUL byte, would be copied under
    // another name than the one it has: the entry fails instead.
    if (h.info.size_filename >= ZIP_NAME_SIZE || std::strlen(h.name) != h.info.size_filename)
        return fail(run, step_entry_hdr);
    return true;
}

std::string with_reason(const char *step, int error) {
    return std::string(step) + " (" + std::strerror(error) + ")";
}

// Opens the extraction target of an entry, when one is chosen, and sets the
// status word. The target is created only when nothing at all is there, and
// never through a symbolic link, so that nothing that exists is overwritten.
// False (after the report) when the entry is too large to extract.
bool open_target(const Run &run, const Header &h, std::string &status, sk::replacement &target) {
    if (!run.dir)
        return true;
    sk::malloc_ptr<char> base(zip_must_extract(h.name, run.patterns));
    if (!base)
        return true;
    std::string_view base_name(base.get());
    std::string path = std::string(run.dir) + "/" + base.get();
    struct stat st;
    if (base_name.empty() || base_name == "." || base_name == ".." || lstat(path.c_str(), &st) == 0) {
        status = ZIP_STATUS_EXISTS;
        return true;
    }
    if (run.extract_max && h.info.uncompressed_size > run.extract_max)
        return fail(run, "File to extract is larger than zip_extract_max (" +
                             std::to_string(run.extract_max) + " bytes)");
    status = ZIP_STATUS_UNPACKED;
    // A file without a name until it is complete and verified, where the
    // file system allows; else created under its name at once. Removed
    // unless kept.
    if (!target.open(path, {.suffix = "", .unnamed = true, .mode = 0666})) {
        if (errno == EEXIST || errno == ELOOP)
            status = ZIP_STATUS_EXISTS; // something appeared since the test above
        else
            fail(run, step_extract_open);
    }
    return true;
}

// Gives the complete extracted file its name; something that appeared
// there meanwhile is left as it is and the entry counts as "Exists".
bool keep_target(const Run &run, sk::replacement &target, std::string &status) {
    if (target.keep())
        return true;
    if (errno != EEXIST)
        return fail(run, with_reason(step_extract_write, errno));
    status = ZIP_STATUS_EXISTS;
    return true;
}

// Opens the entry's copy in the temporary archive: the same name, date and
// method, keeping the flag that marks the name as UTF-8 (the same call as
// zipOpenNewFileInZip otherwise). Raw: the compressed bytes come as they are.
bool open_copy(Run &run, const Header &h, bool raw) {
    unz_file_info fi{};
    fi.tmu_date = h.info.tmu_date;
    fi.compression_method = h.info.compression_method;
    zip_fileinfo zi;
    int method = zip_convert_fi_to_zi(&fi, &zi);
    constexpr uLong utf8_name_flag = 0x800;
    if (zipOpenNewFileInZip4(run.zip, h.name, &zi, nullptr, 0, nullptr, 0, nullptr, method, -1, raw ? 1 : 0,
                             -MAX_WBITS, 8, Z_DEFAULT_STRATEGY, nullptr, 0, 0,
                             h.info.flag & utf8_name_flag) != ZIP_OK)
        return fail(run, step_temp_open);
    return true;
}

// Takes a piece of the entry's data: counted against its declared size,
// added to its CRC-32 and written to the extraction target.
bool take_data(Run &run, const Header &h, const sk::replacement &target, const char *data, std::size_t size,
               std::uint64_t &produced, uLong &crc) {
    produced += size;
    if (produced > h.info.uncompressed_size)
        return fail(run, step_entry_data);
    crc = crc32(crc, reinterpret_cast<const Bytef *>(data), static_cast<uInt>(size));
    if (size > 0 && target && !sk::write_all(target.fd(), data, size))
        return fail(run, with_reason(step_extract_write, errno));
    return true;
}

// Holds the raw inflate state of one deflated entry.
struct Inflater {
    z_stream stream{};
    bool ready = false;
    Inflater() { ready = inflateInit2(&stream, -MAX_WBITS) == Z_OK; }
    ~Inflater() {
        if (ready)
            inflateEnd(&stream);
    }
    Inflater(const Inflater &) = delete;
    Inflater &operator=(const Inflater &) = delete;
};

// Reads the current entry's compressed bytes once, copies them unchanged
// into the temporary archive and unpacks them here (a stored entry is its
// own data) to test the size and CRC-32 and to feed the target. A deflated
// entry must end its stream: a copy cut short could not be unpacked.
bool copy_raw_entry(Run &run, const Header &h, std::string &status) {
    int method = 0;
    int level = 0;
    if (unzOpenCurrentFile2(run.archive, &method, &level, 1) != UNZ_OK)
        return fail(run, step_entry_data);
    if (!open_copy(run, h, true))
        return false;
    sk::replacement target;
    if (!open_target(run, h, status, target))
        return false;
    bool deflated = h.info.compression_method == Z_DEFLATED;
    Inflater inflater;
    if (deflated && !inflater.ready)
        return fail(run, step_entry_data);
    if (run.inflated.empty())
        run.inflated.resize(ZIP_COPY_BUFFER);
    bool ended = !deflated;
    std::uint64_t produced = 0;
    uLong crc = crc32(0, nullptr, 0);
    int count;
    do {
        count = unzReadCurrentFile(run.archive, run.buffer.data(), static_cast<unsigned>(run.buffer.size()));
        if (count < 0)
            return fail(run, step_entry_data);
        if (!deflated) {
            if (!take_data(run, h, target, run.buffer.data(), static_cast<std::size_t>(count), produced, crc))
                return false;
        } else {
            z_stream &z = inflater.stream;
            z.next_in = reinterpret_cast<Bytef *>(run.buffer.data());
            z.avail_in = static_cast<uInt>(count);
            while (!ended && z.avail_in > 0) {
                z.next_out = reinterpret_cast<Bytef *>(run.inflated.data());
                z.avail_out = static_cast<uInt>(run.inflated.size());
                int rc = inflate(&z, Z_NO_FLUSH);
                if (rc != Z_OK && rc != Z_STREAM_END)
                    return fail(run, step_entry_data);
                ended = rc == Z_STREAM_END;
                if (!take_data(run, h, target, run.inflated.data(), run.inflated.size() - z.avail_out,
                               produced, crc))
                    return false;
            }
        }
        if (count > 0 &&
            zipWriteInFileInZip(run.zip, run.buffer.data(), static_cast<unsigned>(count)) != ZIP_OK)
            return fail(run, step_temp_write);
    } while (count > 0);
    if (!ended || produced != h.info.uncompressed_size || crc != h.info.crc ||
        unzCloseCurrentFile(run.archive) != UNZ_OK)
        return fail(run, step_entry_data);
    if (zipCloseFileInZipRaw64(run.zip, h.info.uncompressed_size, crc) != ZIP_OK)
        return fail(run, step_temp_close);
    return !target || keep_target(run, target, status);
}

// Reads the current entry to its end, into the temporary archive (deflated
// anew, for zip_recompress) and the target. The entry must give exactly its declared size, with the CRC-32 it
// declares (computed here: the library compares it only when the declared
// size was read in full); it may never give more.
bool recompress_entry(Run &run, const Header &h, std::string &status) {
    const unz_file_info64 &info = h.info;
    if (unzOpenCurrentFile(run.archive) != UNZ_OK)
        return fail(run, step_entry_data);
    if (!open_copy(run, h, false))
        return false;

    sk::replacement target;
    if (!open_target(run, h, status, target))
        return false;
    std::uint64_t produced = 0;
    uLong crc = crc32(0, nullptr, 0);
    int count;
    do {
        count = unzReadCurrentFile(run.archive, run.buffer.data(), static_cast<unsigned>(run.buffer.size()));
        if (count < 0)
            return fail(run, step_entry_data);
        if (!take_data(run, h, target, run.buffer.data(), static_cast<std::size_t>(count), produced, crc))
            return false;
        if (zipWriteInFileInZip(run.zip, run.buffer.data(), static_cast<unsigned>(count)) != ZIP_OK)
            return fail(run, step_temp_write);
    } while (count > 0);
    if (produced != info.uncompressed_size || crc != info.crc || unzCloseCurrentFile(run.archive) != UNZ_OK)
        return fail(run, step_entry_data);
    if (zipCloseFileInZip(run.zip) != ZIP_OK)
        return fail(run, step_temp_close);
    return !target || keep_target(run, target, status);
}

// Tests and copies the current entry, raw unless zip_recompress is set.
bool copy_entry(Run &run, const Header &h, std::string &status) {
    unsigned long method = h.info.compression_method;
    if (method != 0 && method != Z_DEFLATED)
        return fail(run, "Unsupported compression method " + std::to_string(method) + " in zipfile");
    return run.recompress ? recompress_entry(run, h, status) : copy_raw_entry(run, h, status);
}

void put_entry_vars(ht_table *table, const char *name, std::uint64_t size, std::uint64_t zsize,
                    unsigned long method, const char *status) {
    char key[ZIP_NAME_SIZE];
    char value[ZIP_NAME_SIZE];
    auto put = [&](const char *sub) {
        (void)std::snprintf(key, sizeof key, "%s%c%s", "tmp_zip_last", '_', sub);
        ht_put(table, key, value);
    };
    (void)std::snprintf(value, sizeof value, "%s", name ? name : "");
    put("file");
    (void)std::snprintf(value, sizeof value, "%.1f", static_cast<double>(static_cast<float>(size) / 1024.0f));
    put("size");
    (void)std::snprintf(value, sizeof value, "%.1f",
                        static_cast<double>(static_cast<float>(zsize) / 1024.0f));
    put("zsize");
    (void)std::snprintf(value, sizeof value, "m%lu", method);
    put("method");
    (void)std::snprintf(value, sizeof value, "%s", status ? status : "");
    put("status");
}

void show_entry(const Run &run, const Header &h, const std::string &status) {
    const char *showfile = ht_get(run.table, "zip_showfile");
    if (!showfile)
        return;
    put_entry_vars(run.table, h.name, h.info.uncompressed_size, h.info.compressed_size,
                   h.info.compression_method, status.c_str());
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
    Header h;
    if (!read_header(run, h))
        return false;
    if (zip_is_propaganda(run.table, h.name))
        status = ZIP_STATUS_DELETED;
    else if (!copy_entry(run, h, status))
        return false;
    show_entry(run, h, status);
    return true;
}

// Refuses, from the declared sizes and before anything is read, an archive
// whose entries to test unpack to more than zip_ratio_max times their packed
// size (never more than the upload itself, which entries sharing their data
// would pretend). Every entry then gives no more than it declares.
bool check_ratio(Run &run, const Reader &reader, uLong entries, std::uint64_t ratio_max) {
    if (!ratio_max)
        return true;
    std::uint64_t unpacked = 0, packed = 0;
    for (uLong i = 0; i < entries; ++i) {
        Header h;
        if (!read_header(run, h))
            return false;
        if (!zip_is_propaganda(run.table, h.name)) {
            unpacked = plus(unpacked, h.info.uncompressed_size);
            packed = plus(packed, h.info.compressed_size);
        }
        if (i + 1 < entries && unzGoToNextFile(run.archive) != UNZ_OK)
            return fail(run, step_next);
    }
    if (entries > 0 && unzGoToFirstFile(run.archive) != UNZ_OK)
        return fail(run, step_header);
    packed = std::min(packed, reader.size);
    if (unpacked > ratio_free_bytes && unpacked > times(packed, ratio_max))
        return fail(run, "Archive unpacks to more than zip_ratio_max (" + std::to_string(ratio_max) +
                             ") times its size");
    return true;
}

bool test_archive(Run &run, const char *path) {
    std::uint64_t ratio_max;
    if (!read_limit(run.table, "zip_extract_max", default_extract_max, run.extract_max))
        return fail(run, "Setting zip_extract_max is not a number of bytes");
    if (!read_limit(run.table, "zip_ratio_max", default_ratio_max, ratio_max))
        return fail(run, "Setting zip_ratio_max is not a number");
    const char *recompress = ht_get(run.table, "zip_recompress");
    run.recompress = recompress && *recompress && std::strcmp(recompress, "0") != 0 &&
                     std::strcmp(recompress, "no") != 0 && std::strcmp(recompress, "off") != 0;
    Reader reader;
    if (!open_reader(reader, path))
        return fail(run, step_open);
    if (reader.empty)
        return true;
    run.archive = reader.file;
    unz_global_info64 global;
    if (unzGetGlobalInfo64(run.archive, &global) != UNZ_OK)
        return fail(run, step_header);
    uLong entries = static_cast<uLong>(global.number_entry);
    if (!check_ratio(run, reader, entries, ratio_max))
        return false;
    for (uLong i = 0; i < entries; ++i) {
        if (!test_entry(run))
            return false;
        if (i + 1 < entries && unzGoToNextFile(run.archive) != UNZ_OK)
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
        const char *extract = ht_get(table, "zip_extract");
        sk::tokens tokens(extract, extract ? "|" : nullptr);
        Run run{table,
                dir,
                zip,
                tokens.get(),
                nullptr,
                std::vector<char>(ZIP_COPY_BUFFER),
                std::vector<unsigned char>(65535),
                0};
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
        std::string path = std::string(dir) + "/" + sk::ascii_lowercase(name);
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
        std::string base =
            sk::ascii_lowercase(slash == std::string_view::npos ? whole : whole.substr(slash + 1));
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
    put_entry_vars(table, name, fi->uncompressed_size, fi->compressed_size, fi->compression_method, status);
}
