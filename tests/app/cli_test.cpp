// The JSON strings of the command-line layer.
#include "cli.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace std::string_literals;

TEST(JsonString, KeepsUtf8AndEscapesOtherBytesReversibly) {
    struct Case {
        std::string text, json;
    } cases[] = {
        {"plain", "\"plain\""},
        {"\xc3\xa9t\xc3\xa9", "\"\xc3\xa9t\xc3\xa9\""},                         // été
        {"\xe2\x82\xac \xf0\x9f\x98\x80", "\"\xe2\x82\xac \xf0\x9f\x98\x80\""}, // three and four bytes
        {"\xf4\x8f\xbf\xbf\xc2\x85", "\"\xf4\x8f\xbf\xbf\xc2\x85\""},           // U+10FFFF, U+0085
        {"\xe9t\xe9", "\"\\udce9t\\udce9\""},                                   // Latin-1
        {"\xc0\xaf", "\"\\udcc0\\udcaf\""},                                     // overlong "/"
        {"\xe0\x80\xaf", "\"\\udce0\\udc80\\udcaf\""},                          // overlong, three bytes
        {"\xf0\x8f\xbf\xbf", "\"\\udcf0\\udc8f\\udcbf\\udcbf\""},               // overlong, four bytes
        {"\xed\xa0\x80", "\"\\udced\\udca0\\udc80\""},                          // surrogate U+D800
        {"\xf4\x90\x80\x80", "\"\\udcf4\\udc90\\udc80\\udc80\""},               // above U+10FFFF
        {"\xf8\x88\x80\x80\x80", "\"\\udcf8\\udc88\\udc80\\udc80\\udc80\""},
        {"a\xc3", "\"a\\udcc3\""},            // cut at the end
        {"\xe2\x82x", "\"\\udce2\\udc82x\""}, // cut before a letter
        {"\"\\\n\r\t\x01\x1f\x7f"s + '\0', "\"\\\"\\\\\\n\\r\\t\\u0001\\u001f\\u007f\\u0000\""},
    };
    for (const auto &c : cases)
        EXPECT_EQ(sk::cli::json_string(c.text), c.json) << c.json;
}

// Plain text is passed over eight bytes at a time: a byte that needs a
// look is found at every place of a long run, the last bytes included.
TEST(JsonString, FindsTheByteToEscapeAnywhereInALongRun) {
    struct Case {
        char byte;
        std::string json;
    } cases[] = {{'\0', "\\u0000"},   {'\x1f', "\\u001f"}, {'"', "\\\""}, {'\\', "\\\\"}, {'\x7f', "\\u007f"},
                 {'\x80', "\\udc80"}, {'\xff', "\\udcff"}, {' ', " "},    {'~', "~"}};
    for (const auto &c : cases) {
        for (std::size_t at = 0; at < 21; ++at) {
            std::string text(21, 'a');
            text[at] = c.byte;
            std::string json = "\"" + text.substr(0, at) + c.json + text.substr(at + 1) + "\"";
            EXPECT_EQ(sk::cli::json_string(text), json) << "byte " << int(c.byte) << " at " << at;
        }
    }
}

} // namespace
