// The ID3v1 trailer of an MP3 file: its last 128 bytes, which begin with
// "TAG" when the file has one and end with the genre byte. Header-only, so
// that each ID3 tool compiles it in and none links another. Also the
// file argument of the tools that take one.
#ifndef SITEKIT_ID3_TRAILER_H
#define SITEKIT_ID3_TRAILER_H

#include <cstdio>
#include <cstring>

#include "internal.h"

namespace id3 {

constexpr std::size_t trailer_size = 128;
constexpr std::size_t genre_at = trailer_size - 1;

enum class trailer {
    unopened,   // the file cannot be opened
    short_file, // it cannot be positioned 128 bytes before its end
    no_tag,     // the last 128 bytes cannot be read or do not begin with "TAG"
    tagged,     // tag holds the trailer
};

// Reads the trailer of the file at path into tag; tag is all zeros unless
// the result is tagged.
inline trailer read_trailer(const char *path, unsigned char (&tag)[trailer_size]) {
    std::memset(tag, 0, sizeof tag);
    sk::unique_file file(std::fopen(path, "rb"));
    if (!file)
        return trailer::unopened;
    if (std::fseek(file.get(), -static_cast<long>(trailer_size), SEEK_END) != 0)
        return trailer::short_file;
    if (std::fread(tag, 1, sizeof tag, file.get()) != sizeof tag || std::memcmp(tag, "TAG", 3) != 0) {
        std::memset(tag, 0, sizeof tag);
        return trailer::no_tag;
    }
    return trailer::tagged;
}

// The file named on the command line, or nullptr after printing usage on
// standard error when there is none.
inline const char *file_argument(int argc, char **argv, const char *usage) {
    if (argc >= 2)
        return argv[1];
    (void)std::fputs(usage, stderr);
    return nullptr;
}

} // namespace id3

#endif
