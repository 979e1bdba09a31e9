// id3lite: the quiet trace of the ID3v1 trailer of "test2.mp3" in the
// current directory: the marker line, then the genre line when the genre
// byte, taken as signed, is above 0. Nothing is printed on failure.
//
// Exit status: 0 when the file has no tag; 1 otherwise (also after a
// successful trace).
#include <cstdio>

#include "trailer.h"

namespace {

const char kSample[] = "test2.mp3";

} // namespace

int main() {
    unsigned char tag[id3::trailer_size];
    id3::trailer read = id3::read_trailer(kSample, tag);
    if (read != id3::trailer::tagged)
        return read == id3::trailer::no_tag ? 0 : 1;
    std::printf("DEBUG: %c %c %c\n", tag[0], tag[1], tag[2]);
    // The tools show the genre byte as a signed number, as their output always has.
    // NOLINTNEXTLINE(bugprone-signed-char-misuse)
    int genre = static_cast<signed char>(tag[id3::genre_at]);
    if (genre > 0)
        std::printf("Genre %d\n", genre);
    return 1;
}
