// id3fixed: prints the ID3v1 genre of the sample file chosen when the build
// was configured (ID3FIXED_SAMPLE) as "name (number)" and a line end.
// Numbers the table does not know, 0 included, print as Unknown (148).
//
// Exit status: 0 when the tag was read; 1 when the sample can't be read or
// has no tag (the line then shows "n/a (0)").
#include <cstdio>

#include "genres.h"
#include "trailer.h"

#ifndef ID3FIXED_SAMPLE
#error "ID3FIXED_SAMPLE must name the sample file"
#endif

const char *id3_genre = nullptr;
int id3_genre_num = 0;

// Reads the whole trailer; a genre byte outside 1..148 becomes the fallback
// entry. The byte is read unsigned: read as signed, the genres 128 to 147
// would turn negative and could never be named. Returns 0, or 1 (results
// left as they were) when the trailer can't be read or has no "TAG" marker.
int get_mp3_genre(const char *path) {
    unsigned char tag[id3::trailer_size];
    if (id3::read_trailer(path, tag) != id3::trailer::tagged)
        return 1;
    id3_genre_num = tag[id3::genre_at];
    if (id3_genre_num <= 0 || id3_genre_num >= genre_count)
        id3_genre_num = genre_count - 1;
    id3_genre = genre_s[id3_genre_num];
    return 0;
}

int main() {
    int rc = get_mp3_genre(ID3FIXED_SAMPLE);
    std::printf("%s (%d)\n", id3_genre ? id3_genre : "n/a", id3_genre_num);
    return rc;
}
