// id3num: prints the ID3v1 genre number of an MP3 file as "(number)" and a
// line end. The genre byte counts as signed: 128 to 255 print as -128 to -1.
//
// Exit status: 0 when the tag was read; 1 when the file can't be read or
// has no tag (the line then shows "(0)"); 2 on usage.
#include <cstdio>

#include "trailer.h"

namespace {

const char kUsage[] = "usage: id3num <file.mp3>\n";

} // namespace

int id3_genre_num = 0;

// Reads the whole trailer and keeps the genre byte as a signed number.
// Returns 0, or 1 (number left as it was) when the trailer can't be read or
// has no "TAG" marker.
int get_mp3_genre(const char *path) {
    unsigned char tag[id3::trailer_size];
    if (id3::read_trailer(path, tag) != id3::trailer::tagged)
        return 1;
    // The tools show the genre byte as a signed number, as their output always has.
    // NOLINTNEXTLINE(bugprone-signed-char-misuse)
    id3_genre_num = static_cast<signed char>(tag[id3::genre_at]);
    return 0;
}

int main(int argc, char **argv) {
    const char *path = id3::file_argument(argc, argv, kUsage);
    if (!path)
        return 2;
    int rc = get_mp3_genre(path);
    std::printf("(%d)\n", id3_genre_num);
    return rc;
}
