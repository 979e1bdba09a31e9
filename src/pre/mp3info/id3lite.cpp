// id3lite: the quiet trace of the ID3v1 trailer of "test2.mp3" in the
// current directory: the marker line, then the genre line when the genre
// byte, taken as signed, is above 0. Nothing is printed on failure.
//
// Exit status: 0 when the file has no tag; 1 otherwise (also after a
// successful trace).
#include <cstdio>

namespace {

const char kSample[] = "test2.mp3";

struct File {
    FILE *f;
    explicit File(const char *path) : f(std::fopen(path, "rb")) {}
    ~File() {
        if (f)
            std::fclose(f);
    }
    File(const File &) = delete;
    File &operator=(const File &) = delete;
};

} // namespace

int main() {
    File file(kSample);
    if (!file.f || std::fseek(file.f, -128, SEEK_END) != 0)
        return 1;
    unsigned char tag[128] = {};
    if (std::fread(tag, 1, sizeof tag, file.f) != sizeof tag || tag[0] != 'T' || tag[1] != 'A' || tag[2] != 'G')
        return 0;
    std::printf("DEBUG: %c %c %c\n", tag[0], tag[1], tag[2]);
    int genre = static_cast<signed char>(tag[127]);
    if (genre > 0)
        std::printf("Genre %d\n", genre);
    return 1;
}
