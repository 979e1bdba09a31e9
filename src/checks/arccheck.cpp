// The ZIP check driver: the temporary archive, the advertisement entry and
// comment, and the replacement of the upload.
#include "arccheck.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "internal.h"
#include "textfill.h"

namespace {

constexpr const char *step_temp_create = "Creating temp-zip";
constexpr const char *step_ad_add = "Adding new zip-entry";
constexpr const char *step_ad_write = "Writing new zip-entry";
constexpr const char *step_ad_close = "Closing new zip-entry";
constexpr const char *step_replace = "Replacing zipfile";
constexpr std::size_t max_comment = 65535; // the archive's comment length is a 16-bit field
constexpr std::size_t write_buffer = 1 << 20;

void report(ht_table *table, const char *step) {
    error_printf(table, ht_get(table, "check_errormsg"), step);
}

// The library writes the temporary archive through these callbacks, to a
// copy of its descriptor with a large buffer.
voidpf ZCALLBACK open_temp(voidpf opaque, const char *, int) {
    int fd = ::dup(*static_cast<int *>(opaque));
    FILE *f = fd >= 0 ? fdopen(fd, "w+b") : nullptr;
    if (!f) {
        if (fd >= 0)
            ::close(fd);
        return nullptr;
    }
    (void)std::setvbuf(f, nullptr, _IOFBF, write_buffer);
    return f;
}

int ZCALLBACK close_temp(voidpf, voidpf stream) {
    FILE *f = static_cast<FILE *>(stream);
    bool ok = std::fflush(f) == 0;
    return std::fclose(f) == 0 && ok ? 0 : EOF;
}

// Creates the temporary archive for the upload: a file without a name in
// the upload's folder, given the name upload + ZIP_TEMP_SUFFIX only when it
// is complete, so that a check killed at any moment leaves nothing behind.
// Where the file system cannot hold such files it is created under that
// name at once. A regular file at the name was left by a check interrupted
// at its very end, and goes (said on standard error); anything else there,
// a symbolic link included, is refused.
zipFile create_temp(sk::replacement &temp, const std::string &upload) {
    bool opened = temp.open(upload, {.suffix = ZIP_TEMP_SUFFIX,
                                     .stale = sk::replacement::leftover::remove_regular,
                                     .unnamed = true,
                                     .flags = O_RDWR});
    if (temp.removed_stale())
        (void)std::fprintf(stderr, "sitekit: removed %s, left behind by an interrupted check\n",
                           temp.path().c_str());
    if (!opened)
        return nullptr;
    int stream_fd = temp.fd();
    zlib_filefunc_def io;
    fill_fopen_filefunc(&io);
    io.zopen_file = open_temp;
    io.zclose_file = close_temp;
    io.opaque = &stream_fd;
    return zipOpen2(temp.path().c_str(), APPEND_STATUS_CREATE, nullptr, &io);
}

void replace_name_chars(char *name) {
    for (char *p = name; *p; ++p) {
        if (*p == '#')
            *p = '1';
        else if (*p == '@')
            *p = 'a';
        else if (*p == '%')
            *p = '0';
    }
}

bool add_ad_entry(ht_table *table, zipFile zip, const char *name, const char *ad) {
    sk::malloc_ptr<char> text(util_replacer(table, ad));
    if (!text) {
        report(table, step_ad_add);
        return false;
    }
    zip_fileinfo zi;
    zip_fill_zi(&zi);
    if (zipOpenNewFileInZip(zip, name, &zi, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED, -1) != ZIP_OK) {
        report(table, step_ad_add);
        return false;
    }
    if (zipWriteInFileInZip(zip, text.get(), static_cast<unsigned>(std::strlen(text.get()))) != ZIP_OK) {
        report(table, step_ad_write);
        return false;
    }
    if (zipCloseFileInZip(zip) != ZIP_OK) {
        report(table, step_ad_close);
        return false;
    }
    return true;
}

int check(ht_table *table, const char *dir) {
    const char *path = ht_get(table, "path");
    if (!path)
        return 0;
    const std::string upload(path); // the table may change under the test
    struct stat original;
    sk::replacement temp;
    zipFile zip = stat(upload.c_str(), &original) == 0 ? create_temp(temp, upload) : nullptr;
    if (!zip) {
        report(table, step_temp_create);
        return 0;
    }
    if (!zip_test_and_extract(table, upload.c_str(), dir, zip)) {
        zipClose(zip, nullptr);
        return 0;
    }
    if (!zip_put_ads(table, zip))
        return 0;
    // Owner, group and mode of the upload: the daemon tells the uploader
    // by the owner.
    if (!temp.commit(&original)) {
        report(table, step_replace);
        return 0;
    }
    if (const char *success = ht_get(table, "zip_success"))
        msg_printf(table, success, "Checking zip-file", "Done");
    return 1;
}

} // namespace

extern "C" int zip_check(ht_table *table, const char *, const char *dir, const char *) {
    try {
        return check(table, dir);
    } catch (...) {
        return 0;
    }
}

extern "C" int zip_put_ads(ht_table *table, zipFile zip) {
    char *name = ht_get(table, "zip_adfilename");
    const char *ad = ht_get(table, "zip_ad");
    if (!name || !ad)
        return zipClose(zip, nullptr) == ZIP_OK ? 1 : 0;

    replace_name_chars(name);
    bool ok = false;
    try {
        ok = add_ad_entry(table, zip, name, ad);
    } catch (...) {
        ok = false;
    }
    if (!ok) {
        zipClose(zip, nullptr);
        return 0;
    }
    sk::malloc_ptr<char> comment(util_replacer(table, ht_get(table, "zip_adcomment")));
    if (comment && std::strlen(comment.get()) > max_comment)
        comment.get()[max_comment] = '\0';
    return zipClose(zip, comment.get()) == ZIP_OK ? 1 : 0;
}

extern "C" void zip_fill_zi(zip_fileinfo *zi) {
    std::time_t now = std::time(nullptr);
    struct tm local {};
    localtime_r(&now, &local);
    zi->tmz_date.tm_sec = static_cast<uInt>(local.tm_sec);
    zi->tmz_date.tm_min = static_cast<uInt>(local.tm_min);
    zi->tmz_date.tm_hour = static_cast<uInt>(local.tm_hour);
    zi->tmz_date.tm_mday = static_cast<uInt>(local.tm_mday);
    zi->tmz_date.tm_mon = static_cast<uInt>(local.tm_mon);
    zi->tmz_date.tm_year = static_cast<uInt>(local.tm_year + 1900);
    zi->dosDate = 0;
    zi->internal_fa = 0;
    zi->external_fa = 0;
}
