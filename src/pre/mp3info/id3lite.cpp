// id3lite: the quiet trace of the ID3v1 trailer of "test2.mp3" in the
// current directory: the marker line, then the genre line when the genre
// byte, taken as signed, is above 0. Nothing is printed on failure.
//
// Exit status: 0 when the file has no tag; 1 otherwise (also after a
// successful trace).
#include <cstdio>

#include "internal.h"

namespace {

const char kSample[] = "test2.mp3";

} // namespace

int main() {
    sk::unique_file file(std::fopen(kSample, "rb"));
    if (!file.get() || std::fseek(file.get(), -128, SEEK_END) != 0)
        return 1;
    unsigned char tag[128] = {};
    if (std::fread(tag, 1, sizeof tag, file.get()) != sizeof tag || tag[0] != 'T' || tag[1] != 'A' || tag[2] != 'G')
        return 0;
    std::printf("DEBUG: %c %c %c\n", tag[0], tag[1], tag[2]);
    int genre = static_cast<signed char>(tag[127]);
    if (genre > 0)
        std::printf("Genre %d\n", genre);
    return 1;
}
