#include "cli.h"

#include "siteroot.h"

#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

namespace sk::cli {

std::optional<std::string> Parsed::value(std::string_view name) const {
    auto it = options.find(name);
    if (it == options.end())
        return std::nullopt;
    return it->second;
}

int fail(const Invocation &inv, int status, const std::string &message) {
    std::fprintf(stderr, "sitekit %s: %s\n", inv.name.c_str(), message.c_str());
    return status;
}

int usage_error(const Invocation &inv, const std::string &message, std::string_view usage) {
    std::fprintf(stderr, "sitekit %s: %s\n%.*s", inv.name.c_str(), message.c_str(),
                 static_cast<int>(usage.size()), usage.data());
    std::fprintf(stderr, "Run 'sitekit %s --help' for details.\n", inv.name.c_str());
    return kUsage;
}

namespace {

std::optional<Parsed> parse(const Invocation &inv, std::span<const Option> options, std::string_view usage) {
    Parsed p;
    bool only_operands = false;
    for (size_t i = 0; i < inv.args.size(); ++i) {
        const std::string &a = inv.args[i];
        // "-" and negative numbers ("-5") are operands, not options.
        bool negative_number = a.size() >= 2 && a[0] == '-' && a[1] >= '0' && a[1] <= '9';
        if (only_operands || a.size() < 2 || a[0] != '-' || negative_number) {
            p.operands.push_back(a);
            continue;
        }
        if (a == "--") {
            only_operands = true;
            continue;
        }
        if (a == "--help" || a == "-h") {
            p.help = true;
            continue;
        }
        std::string name = a, value;
        bool inline_value = false;
        if (auto eq = a.find('='); a.starts_with("--") && eq != std::string::npos) {
            name = a.substr(0, eq);
            value = a.substr(eq + 1);
            inline_value = true;
        }
        const Option *found = nullptr;
        for (const Option &o : options)
            if (o.name == name)
                found = &o;
        if (found == nullptr) {
            std::string hint =
                (name == "--root" || name == "--version") ? " (global options go before the subcommand)" : "";
            usage_error(inv, "unknown option '" + name + "'" + hint, usage);
            return std::nullopt;
        }
        if (found->takes_value && !inline_value) {
            if (i + 1 >= inv.args.size()) {
                usage_error(inv, "option '" + name + "' needs a value", usage);
                return std::nullopt;
            }
            value = inv.args[++i];
        } else if (!found->takes_value && inline_value) {
            usage_error(inv, "option '" + name + "' takes no value", usage);
            return std::nullopt;
        }
        p.options[name] = value;
    }
    return p;
}

} // namespace

int run_command(const Command &command, Invocation &inv) {
    bool lone_help = inv.args.size() == 1 && (inv.args[0] == "--help" || inv.args[0] == "help");
    auto p = command.pass_through ? Parsed{{}, inv.args, lone_help && !command.help.empty()}
                                  : parse(inv, command.options, command.usage);
    if (!p)
        return kUsage;
    if (p->help) {
        std::printf("%.*s%.*s", static_cast<int>(command.usage.size()), command.usage.data(),
                    static_cast<int>(command.help.size()), command.help.data());
        return kOk;
    }
    return command.run(inv, &*p);
}

bool want_operands(const Parsed &p, const Invocation &inv, size_t min, size_t max, std::string_view usage) {
    if (p.operands.size() < min) {
        usage_error(inv, "missing argument", usage);
        return false;
    }
    if (p.operands.size() > max) {
        usage_error(inv, "unexpected argument '" + p.operands[max] + "'", usage);
        return false;
    }
    return true;
}

std::optional<int64_t> parse_int(std::string_view text) {
    int64_t v = 0;
    if (!text.empty() && text.front() == '+')
        text.remove_prefix(1);
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return v;
}

std::optional<uint64_t> parse_uint(std::string_view text) {
    uint64_t v = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return v;
}

std::optional<double> parse_double(std::string_view text) {
    double v = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() || !std::isfinite(v))
        return std::nullopt;
    return v;
}

std::string daemon_view(const std::string &path) {
    std::string_view root = sitekit_get_root();
    if (root.empty() || !path.starts_with(root))
        return path;
    if (path.size() == root.size())
        return "/";
    if (path[root.size()] != '/')
        return path;
    return path.substr(root.size());
}

std::string open_reason(int error, bool not_regular, mode_t type) {
    if (!not_regular)
        return std::strerror(error);
    type &= S_IFMT;
    if (type == S_IFDIR)
        return "it is a directory";
    const char *kind = type == S_IFIFO    ? "a FIFO"
                       : type == S_IFSOCK ? "a socket"
                       : type == S_IFCHR  ? "a character device"
                       : type == S_IFBLK  ? "a block device"
                                          : "something else";
    return std::string("it is not a regular file but ") + kind;
}

std::string open_reason(const sk::regular_file &file) {
    return open_reason(file.error, file.not_regular, file.st.st_mode);
}

std::string open_failure(std::string_view action, const std::string &path, const sk::regular_file &file,
                         std::string_view todo) {
    std::string message = std::string(action) + " " + path + ": " + open_reason(file);
    if (file.not_regular)
        message.append("; ").append(todo);
    return message;
}

namespace {

// The length of the valid UTF-8 sequence at the start of s, or 0 when its
// first byte starts none. The ranges of the second byte leave out overlong
// forms (E0, F0), surrogates (ED) and code points above U+10FFFF (F4).
std::size_t utf8_length(std::string_view s) {
    auto byte = [&s](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    unsigned char c = byte(0);
    if (c < 0x80)
        return 1;
    std::size_t n;
    unsigned char low = 0x80, high = 0xbf; // range of the second byte
    if (c >= 0xc2 && c <= 0xdf) {
        n = 2;
    } else if (c >= 0xe0 && c <= 0xef) {
        n = 3;
        low = c == 0xe0 ? 0xa0 : 0x80;
        high = c == 0xed ? 0x9f : 0xbf;
    } else if (c >= 0xf0 && c <= 0xf4) {
        n = 4;
        low = c == 0xf0 ? 0x90 : 0x80;
        high = c == 0xf4 ? 0x8f : 0xbf;
    } else {
        return 0;
    }
    if (s.size() < n || byte(1) < low || byte(1) > high)
        return 0;
    for (std::size_t i = 2; i < n; ++i)
        if (byte(i) < 0x80 || byte(i) > 0xbf)
            return 0;
    return n;
}

} // namespace

namespace {

// What append_json_string does with each byte: copy it, escape it, or look
// for a UTF-8 sequence starting there.
enum json_byte : unsigned char { copy_byte, escape_byte, utf8_byte };

constexpr std::array<json_byte, 256> kJsonBytes = [] {
    std::array<json_byte, 256> table{};
    for (std::size_t c = 0; c < table.size(); ++c)
        table[c] = c < 0x20 || c == '"' || c == '\\' || c == 0x7f ? escape_byte
                   : c >= 0x80                                    ? utf8_byte
                                                                  : copy_byte;
    return table;
}();

// Whether none of the eight bytes at p needs more than a copy: none is
// below 0x20, 0x7f or above, '"' or '\\'. Each test below sets a byte's high
// bit when the byte has the property (the borrows never make a word with no
// such byte look like one that has one).
inline bool plain_word(const char *p) {
    constexpr uint64_t ones = 0x0101010101010101u, high = 0x8080808080808080u;
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    auto zero = [](uint64_t x) { return (x - ones) & ~x; };
    // v + ones sets the high bit of a 0x7f byte; the carry of a byte that
    // has it already does not matter.
    uint64_t flags =
        v | (v + ones) | ((v - ones * 0x20) & ~v) | zero(v ^ (ones * '"')) | zero(v ^ (ones * '\\'));
    return (flags & high) == 0;
}

constexpr char kHex[] = "0123456789abcdef";

// Writes the escape of an ASCII byte that cannot stand as it is in a JSON
// string at out; returns the end.
char *put_escape(char *out, unsigned char c) {
    out[0] = '\\';
    if (c == '"' || c == '\\') {
        out[1] = static_cast<char>(c);
        return out + 2;
    }
    if (c == '\n' || c == '\r' || c == '\t') {
        out[1] = c == '\n' ? 'n' : c == '\r' ? 'r' : 't';
        return out + 2;
    }
    const char rest[5] = {'u', '0', '0', kHex[c >> 4], kHex[c & 0xf]};
    std::memcpy(out + 1, rest, sizeof rest);
    return out + 6;
}

} // namespace

char *put_json_string(char *out, std::string_view text) {
    *out++ = '"';
    const char *data = text.data();
    std::size_t size = text.size(), done = 0, at = 0;
    while (at < size) {
        // A run of bytes that go through as they are (plain ASCII and valid
        // UTF-8 sequences) is copied in one piece; plain ASCII is passed
        // over eight bytes at a time.
        if (size - at >= 8 && plain_word(data + at)) {
            at += 8;
            continue;
        }
        // Fewer than eight left: the last eight bytes hold them, and when
        // those are plain, all the rest goes out as it is.
        if (size - at < 8 && size >= 8 && plain_word(data + size - 8))
            break;
        json_byte kind = kJsonBytes[static_cast<unsigned char>(data[at])];
        if (kind == copy_byte) {
            ++at;
            continue;
        }
        std::size_t n = kind == utf8_byte ? utf8_length(text.substr(at)) : 0;
        if (n != 0) {
            at += n;
            continue;
        }
        std::memcpy(out, data + done, at - done);
        out += at - done;
        auto c = static_cast<unsigned char>(data[at]);
        if (kind == escape_byte) {
            out = put_escape(out, c);
        } else {
            // Not UTF-8: the byte as a lone low surrogate, U+DC80 + (byte - 0x80).
            const char escape[6] = {'\\', 'u', 'd', 'c', kHex[c >> 4], kHex[c & 0xf]};
            std::memcpy(out, escape, sizeof escape);
            out += sizeof escape;
        }
        done = ++at;
    }
    std::memcpy(out, data + done, size - done);
    out += size - done;
    *out++ = '"';
    return out;
}

void append_json_string(std::string &out, std::string_view text) {
    std::size_t start = out.size();
    out.resize(start + json_string_bound(text.size()));
    char *end = put_json_string(out.data() + start, text);
    out.resize(static_cast<std::size_t>(end - out.data()));
}

std::string json_string(std::string_view text) {
    std::string out;
    append_json_string(out, text);
    return out;
}

void append_int(std::string &out, int64_t value) {
    char buf[24];
    auto end = std::to_chars(buf, buf + sizeof buf, value).ptr;
    out.append(buf, end);
}

void append_uint(std::string &out, uint64_t value) {
    char buf[24];
    auto end = std::to_chars(buf, buf + sizeof buf, value).ptr;
    out.append(buf, end);
}

void append_real(std::string &out, double value) {
    // to_chars with a precision writes what printf writes for "%.17g".
    char buf[64];
    auto end = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general, 17).ptr;
    out.append(buf, end);
}

void JsonObject::key(std::string_view k) {
    if (!body_.empty())
        body_ += ',';
    append_json_string(body_, k);
    body_ += ':';
}

JsonObject &JsonObject::str(std::string_view k, std::string_view value) {
    key(k);
    append_json_string(body_, value);
    return *this;
}

JsonObject &JsonObject::num(std::string_view k, int64_t value) {
    key(k);
    append_int(body_, value);
    return *this;
}

JsonObject &JsonObject::unum(std::string_view k, uint64_t value) {
    key(k);
    append_uint(body_, value);
    return *this;
}

JsonObject &JsonObject::real(std::string_view k, double value) {
    key(k);
    append_real(body_, value);
    return *this;
}

JsonObject &JsonObject::raw(std::string_view k, std::string_view json) {
    key(k);
    body_ += json;
    return *this;
}

void JsonObject::append_to(std::string &out) const {
    out += '{';
    out += body_;
    out += '}';
}

void print_json_array(const std::vector<std::string> &items) {
    JsonArrayPrinter array;
    for (const std::string &item : items) {
        array.next_item() += item;
        array.out().done();
    }
    array.finish();
}

namespace {

int g_output_error = 0; // errno of the first failed write of an OutputBuffer

} // namespace

int output_error() {
    return g_output_error;
}

void OutputBuffer::flush() {
    // One write(2) per block. What stdio holds goes out first, so the order
    // stays; after a failed write nothing more is written, as the output is
    // incomplete anyway and the program reports it before it exits.
    if (!text_.empty() && g_output_error == 0) {
        errno = 0;
        if (std::fflush(stdout) != 0 || !sk::write_all(STDOUT_FILENO, text_.data(), text_.size()))
            g_output_error = errno != 0 ? errno : EIO;
    }
    text_.clear();
}

std::string &JsonArrayPrinter::next_item() {
    out_.text() += any_ ? ",\n " : "[";
    any_ = true;
    return out_.text();
}

void JsonArrayPrinter::finish() {
    out_.text() += any_ ? "]\n" : "[]\n";
    out_.flush();
}

} // namespace sk::cli
