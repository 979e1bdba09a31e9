// id3trace: traces the reading of the ID3v1 trailer of "test.mp3" in the
// current directory, in debug lines on standard output.
//
// Exit status: 0 when the file has no tag; 1 otherwise (also after a
// successful trace).
#include <cstdio>

#include "trailer.h"

namespace {

const char kSample[] = "test.mp3";

} // namespace

int main() {
    unsigned char tag[id3::trailer_size];
    switch (id3::read_trailer(kSample, tag)) {
    case id3::trailer::unopened:
        std::printf("DEBUG: doesnt exist %s\n", kSample);
        return 1;
    case id3::trailer::short_file:
        std::printf("DEBUG: >128 %s\n", kSample);
        return 1;
    case id3::trailer::no_tag: // a read that comes up short is no tag either
        std::printf("DEBUG: no tag %s\n", kSample);
        return 0;
    case id3::trailer::tagged:
        break;
    }
    std::printf("DEBUG: %c %c %c\n", tag[0], tag[1], tag[2]);
    // The tools show the genre byte as a signed number, as their output always has.
    // NOLINTNEXTLINE(bugprone-signed-char-misuse)
    int genre = static_cast<signed char>(tag[id3::genre_at]);
    if (genre > 0)
        std::printf("Genre %d\n", genre);
    else
        std::printf("DEBUG: Genre above 255 %d\n", 255);
    return 1;
}
