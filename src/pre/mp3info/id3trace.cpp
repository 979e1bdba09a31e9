// id3trace: traces the reading of the ID3v1 trailer of "test.mp3" in the
// current directory, in debug lines on standard output.
//
// Exit status: 0 when the file has no tag; 1 otherwise (also after a
// successful trace).
#include <cstdio>

#include "internal.h"

namespace {

const char kSample[] = "test.mp3";

} // namespace

int main() {
    sk::unique_file file(std::fopen(kSample, "rb"));
    if (!file.get()) {
        std::printf("DEBUG: doesnt exist %s\n", kSample);
        return 1;
    }
    if (std::fseek(file.get(), -128, SEEK_END) != 0) {
        std::printf("DEBUG: >128 %s\n", kSample);
        return 1;
    }
    // A read that comes up short leaves zeros, which is no tag.
    unsigned char tag[128] = {};
    if (std::fread(tag, 1, sizeof tag, file.get()) != sizeof tag || tag[0] != 'T' || tag[1] != 'A' || tag[2] != 'G') {
        std::printf("DEBUG: no tag %s\n", kSample);
        return 0;
    }
    std::printf("DEBUG: %c %c %c\n", tag[0], tag[1], tag[2]);
    int genre = static_cast<signed char>(tag[127]);
    if (genre > 0)
        std::printf("Genre %d\n", genre);
    else
        std::printf("DEBUG: Genre above 255 %d\n", 255);
    return 1;
}
