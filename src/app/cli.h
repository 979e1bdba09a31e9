// The command-line layer of the sitekit program: argument parsing, the
// exit statuses, messages and JSON output shared by every subcommand.
// Each subcommand lives in its own file (cmd_*.cpp) as one Command entry,
// listed in the table of commands.h.
#ifndef SITEKIT_APP_CLI_H
#define SITEKIT_APP_CLI_H

#include <cstdint>
#include <cstdio>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "internal.h"

namespace sk::cli {

// Exit statuses, the same for every subcommand.
constexpr int kOk = 0;      // done; the check accepted; the lookup found something
constexpr int kRefused = 1; // the check refused; the lookup found nothing; the write failed
constexpr int kUsage = 2;   // the command line (or the settings it names) is wrong

// One subcommand's command line after the subcommand name.
struct Invocation {
    std::string name;              // "dirlog list", "check", ...
    std::vector<std::string> args; // what follows the subcommand's name
    bool json = false;             // --json given before the subcommand
};

// An option a subcommand accepts: "--json" (flag) or "--config FILE" (takes a value).
struct Option {
    std::string_view name;
    bool takes_value;
};

// The parsed command line of a subcommand.
struct Parsed {
    std::map<std::string, std::string, std::less<>> options; // name -> value ("" for flags)
    std::vector<std::string> operands;
    bool help = false;
    bool has(std::string_view name) const { return options.find(name) != options.end(); }
    std::optional<std::string> value(std::string_view name) const;
};

// One subcommand: what the main help, the parser and the dispatch know of it.
struct Command {
    std::string_view name;    // "dirlog"
    std::string_view summary; // its line in the main help, after the name
    std::string_view usage{}; // "usage: sitekit ...\n", printed with every usage error
    std::string_view help{};  // printed after the usage for --help
    std::span<const Option> options{};
    int (*run)(Invocation &inv, const Parsed *p) = nullptr; // p is never null
    // run gets the arguments as they are, in p->operands; only a lone
    // "--help" or "help" prints the help, when there is one.
    bool pass_through = false;
};

// Parses the command's options (anywhere before "--") and operands and runs
// it; "--help"/"-h" print its usage and help on stdout. On an unknown option or a missing value,
// prints the message and the usage on stderr and returns kUsage.
int run_command(const Command &command, Invocation &inv);

// Checks the operand count; prints the problem and the usage on stderr
// when it is wrong.
bool want_operands(const Parsed &p, const Invocation &inv, size_t min, size_t max, std::string_view usage);

// "sitekit <name>: <message>" on stderr. Returns status.
int fail(const Invocation &inv, int status, const std::string &message);
// The message, then the usage on stderr; returns kUsage.
int usage_error(const Invocation &inv, const std::string &message, std::string_view usage);

// Whole decimal numbers, nothing else on the line; nullopt otherwise.
std::optional<int64_t> parse_int(std::string_view text);
std::optional<uint64_t> parse_uint(std::string_view text);
std::optional<double> parse_double(std::string_view text);

// Turns a path named on the command line into the daemon's view of it:
// with a site root set, an absolute path below the root loses the root's
// prefix; other paths are kept.
std::string daemon_view(const std::string &path);

// Why open_regular gave no file, for a message: the system's reason, "it is
// a directory", or "it is not a regular file but a FIFO" (a device, a socket).
std::string open_reason(const sk::regular_file &file);
// The same from the parts: errno, and the file type of a file that is not regular.
std::string open_reason(int error, bool not_regular, mode_t type);

// "<action> <path>: <reason>", and "; <todo>" when the path names something
// else than a regular file.
std::string open_failure(std::string_view action, const std::string &path, const sk::regular_file &file,
                         std::string_view todo);

// A JSON string of text. Valid UTF-8 is written as it is; each byte that is
// not part of a valid UTF-8 sequence (overlong forms, surrogates and code
// points above U+10FFFF are not valid) is written as the escaped lone
// surrogate \udcXX, XX being the byte (0x80 to 0xff), which no valid text
// gives, so the bytes can be had back. '"', '\\', the control characters
// and DEL are escaped.
std::string json_string(std::string_view text);
// The same, appended to out.
void append_json_string(std::string &out, std::string_view text);
// The most bytes the JSON string of size bytes of text takes: each byte
// escaped as \udcXX, and the quotes.
constexpr std::size_t json_string_bound(std::size_t size) {
    return 6 * size + 2;
}
// The same written at out, which has room for json_string_bound(text.size())
// bytes; returns the end. No NUL is added.
char *put_json_string(char *out, std::string_view text);

// Appends the decimal digits of value to out (std::to_chars, no locale).
void append_int(std::string &out, int64_t value);
void append_uint(std::string &out, uint64_t value);
// Appends value as printf's "%.17g" writes it.
void append_real(std::string &out, double value);

// A JSON object written one member at a time: {"a":1,"b":"x"}.
class JsonObject {
  public:
    JsonObject &str(std::string_view key, std::string_view value);
    JsonObject &num(std::string_view key, int64_t value);
    JsonObject &unum(std::string_view key, uint64_t value);
    JsonObject &real(std::string_view key, double value);
    JsonObject &raw(std::string_view key, std::string_view json);
    std::string text() const { return "{" + body_ + "}"; }
    // Appends the object's text to out.
    void append_to(std::string &out) const;
    // Empties the object for the next one, keeping its memory.
    void clear() { body_.clear(); }

  private:
    void key(std::string_view key);
    std::string body_;
};

// Prints one JSON array of the given items (already JSON texts) on stdout.
void print_json_array(const std::vector<std::string> &items);

// Output to stdout gathered in large blocks: what a listing of a million
// records prints costs a few big writes instead of one small one per line.
// The blocks are written with write(2), past stdio; output_error() tells
// whether one failed.
class OutputBuffer {
  public:
    OutputBuffer() { text_.reserve(kBlock + 4096); }
    ~OutputBuffer() { flush(); }
    OutputBuffer(const OutputBuffer &) = delete;
    OutputBuffer &operator=(const OutputBuffer &) = delete;
    // The text to append to; call done() after each piece.
    std::string &text() { return text_; }
    void done() {
        if (text_.size() >= kBlock)
            flush();
    }
    void flush();

  private:
    static constexpr std::size_t kBlock = 1 << 18;
    std::string text_;
};

// The errno of the first write of an OutputBuffer that failed; 0 when none did.
int output_error();

// One JSON array printed an item at a time, byte for byte as
// print_json_array prints the whole list: "[a,\n b]\n", "[]\n" when empty.
class JsonArrayPrinter {
  public:
    // Starts the next item and returns the text to append it to; call
    // out().done() after it.
    std::string &next_item();
    OutputBuffer &out() { return out_; }
    // Closes the array ("]\n") and writes what is left.
    void finish();

  private:
    OutputBuffer out_;
    bool any_ = false;
};

} // namespace sk::cli

#endif
