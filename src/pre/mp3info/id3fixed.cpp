// id3fixed: prints the ID3v1 genre of the sample file chosen when the build
// was configured (ID3FIXED_SAMPLE) as "name (number)" and a line end.
// Numbers the table does not know, 0 included, print as Unknown (148).
//
// Exit status: 0 when the tag was read; 1 when the sample can't be read or
// has no tag (the line then shows "n/a (0)").
#include <cstdio>
#include <cstring>

#include "internal.h"

#include "genres.h"

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
    sk::unique_file file(std::fopen(path, "rb"));
    unsigned char tag[128];
    if (!file.get() || std::fseek(file.get(), -128, SEEK_END) != 0 || std::fread(tag, 1, sizeof tag, file.get()) != sizeof tag)
        return 1;
    if (std::memcmp(tag, "TAG", 3) != 0)
        return 1;
    id3_genre_num = tag[127];
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
