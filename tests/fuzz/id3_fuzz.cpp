// Fuzzes the ID3v1 readers of the five genre tools with a fuzzed MP3 file.
//
// The tools keep their reading inside their own programs; each program's
// source is compiled here once, its entry point and globals renamed, so
// that exactly the shipped code runs. Every tool must tell the same story
// as the file's last 128 bytes: whether there is a tag, and its genre byte
// (named from the genre table, or shown as the number each tool's own rule
// gives), with the exit status each tool documents.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "fuzzsupport.h"

// The sample that id3fixed reads, chosen when the build is configured.
const char *id3fixed_sample();
#define ID3FIXED_SAMPLE id3fixed_sample()

#define main id3peek_main
#define get_mp3_genre id3peek_get_mp3_genre
#define id3_genre id3peek_genre
#define id3_genre_num id3peek_genre_num
#include "../../src/pre/mp3info/id3peek.cpp"
#undef main
#undef get_mp3_genre
#undef id3_genre
#undef id3_genre_num

#define main id3fixed_main
#define get_mp3_genre id3fixed_get_mp3_genre
#define id3_genre id3fixed_genre
#define id3_genre_num id3fixed_genre_num
#include "../../src/pre/mp3info/id3fixed.cpp"
#undef main
#undef get_mp3_genre
#undef id3_genre
#undef id3_genre_num

#define main id3num_main
#define get_mp3_genre id3num_get_mp3_genre
#define id3_genre_num id3num_genre_num
#define kUsage id3num_usage
#include "../../src/pre/mp3info/id3num.cpp"
#undef main
#undef get_mp3_genre
#undef id3_genre_num
#undef kUsage

#define main id3trace_main
#define kSample id3trace_sample
#include "../../src/pre/mp3info/id3trace.cpp"
#undef main
#undef kSample

#define main id3lite_main
#define kSample id3lite_sample
#include "../../src/pre/mp3info/id3lite.cpp"
#undef main
#undef kSample

#include "../../src/pre/mp3info/genres.cpp"

namespace {

std::string sample_path;

struct run {
    int status;
    std::string out;
};

template <class Main> run capture(Main main_fn) {
    fuzz::begin_capture();
    int status = main_fn();
    return {status, fuzz::end_capture()};
}

void expect(const char *tool, const run &got, int status, const std::string &out) {
    if (got.status != status || got.out != out)
        fuzz::fail("%s printed \"%s\" with status %d, not \"%s\" with status %d", tool, got.out.c_str(),
                   got.status, out.c_str(), status);
}

} // namespace

const char *id3fixed_sample() {
    return sample_path.c_str();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const bool ready = [] {
        sample_path = fuzz::root_path("sample.mp3");
        if (genre_count != 149 || std::strcmp(genre_s[genre_count - 1], "Unknown") != 0)
            fuzz::fail("the genre table does not end in its fallback");
        for (unsigned i = 0; i < genre_count; ++i)
            if (!genre_s[i] || !*genre_s[i])
                fuzz::fail("genre %u has no name", i);
        return true;
    }();
    (void)ready;
    const std::string file(reinterpret_cast<const char *>(data), size);
    for (const char *name : {"sample.mp3", "test.mp3", "test2.mp3"})
        fuzz::write_root_file(name, file);

    const bool whole = size >= 128;
    const bool tag = whole && std::memcmp(data + size - 128, "TAG", 3) == 0;
    const unsigned char genre = tag ? data[size - 1] : 0;
    const int signed_genre = static_cast<signed char>(genre);
    const std::string known = genre >= 1 && genre < 149 ? genre_s[genre] : "";

    // The results of an earlier run stay in a program's globals; each
    // program starts with them as the loader sets them.
    id3peek_genre = "n/a";
    id3peek_genre_num = 0;
    id3fixed_genre = nullptr;
    id3fixed_genre_num = 0;
    id3num_genre_num = 0;

    char arg0[] = "tool", arg1[4096];
    std::snprintf(arg1, sizeof arg1, "%s", sample_path.c_str());
    char *argv[] = {arg0, arg1, nullptr};

    expect("id3peek", capture([&] { return id3peek_main(2, argv); }), tag ? 0 : 1,
           std::string(whole ? "" : "<128 !") +
               (tag     ? (known.empty() ? "n/a" : known) + " (" + std::to_string(genre) + ")"
                : whole ? "n/a (255)"
                        : "n/a (0)"));
    expect("id3fixed", capture([] { return id3fixed_main(); }), tag ? 0 : 1,
           tag ? (known.empty() ? "Unknown (148)" : known + " (" + std::to_string(genre) + ")") + "\n"
               : "n/a (0)\n");
    expect("id3num", capture([&] { return id3num_main(2, argv); }), tag ? 0 : 1,
           "(" + std::to_string(tag ? signed_genre : 0) + ")\n");
    const std::string traced =
        "DEBUG: T A G\n" +
        (signed_genre > 0 ? "Genre " + std::to_string(signed_genre) + "\n" : std::string());
    // The tracing tools read fixed names in the current directory; the
    // fuzzer's own relative paths need the old one back afterwards.
    const int here = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (here < 0 || chdir(fuzz::site_root().c_str()) != 0)
        fuzz::fail("cannot enter %s", fuzz::site_root().c_str());
    const run trace = capture([] { return id3trace_main(); });
    const run lite = capture([] { return id3lite_main(); });
    if (fchdir(here) != 0 || close(here) != 0)
        fuzz::fail("cannot return to the working directory");
    expect("id3trace", trace, tag || !whole ? 1 : 0,
           tag     ? traced + (signed_genre > 0 ? "" : "DEBUG: Genre above 255 255\n")
           : whole ? "DEBUG: no tag test.mp3\n"
                   : "DEBUG: >128 test.mp3\n");
    expect("id3lite", lite, tag || !whole ? 1 : 0, tag ? traced : "");
    return 0;
}
