// id3peek: prints the ID3v1 genre of an MP3 file as "name (number)",
// without a line end.
//
// Exit status: 0 when the tag was read, 1 when the file can't be read, is
// shorter than a tag or has none (the line then shows "n/a"), 2 on usage.
#include <cstdio>

#include "genres.h"
#include "trailer.h"

namespace {

const char kUsage[] = "usage: id3peek <file.mp3>\n";

} // namespace

// The result of the last get_mp3_genre, printed by main.
const char *id3_genre = "n/a";
unsigned char id3_genre_num = 0;

// Reads the genre byte of the file's ID3v1 trailer. Number 0 and numbers
// from genre_count up keep the name "n/a". Returns 0, or 1 when the file
// can't be opened or positioned or has no "TAG" marker.
int get_mp3_genre(const char *path) {
    id3_genre = "n/a";
    id3_genre_num = 0;
    unsigned char tag[id3::trailer_size];
    switch (id3::read_trailer(path, tag)) {
    case id3::trailer::unopened:
        return 1;
    case id3::trailer::short_file:
        std::printf("<128 !");
        return 1;
    case id3::trailer::no_tag:
        id3_genre_num = 255;
        return 1;
    case id3::trailer::tagged:
        break;
    }
    id3_genre_num = tag[id3::genre_at];
    if (id3_genre_num != 0 && id3_genre_num < genre_count)
        id3_genre = genre_s[id3_genre_num];
    return 0;
}

int main(int argc, char **argv) {
    const char *path = id3::file_argument(argc, argv, kUsage);
    if (!path)
        return 2;
    int rc = get_mp3_genre(path);
    std::printf("%s (%d)", id3_genre, id3_genre_num);
    return rc;
}
