// Fuzzes the daemon's configuration reader and the directory log update.
//
// load_sysconfig reads a fuzzed configuration file: the settings hold only
// printable characters, and a file of plain lines sets them to the last
// value given. Then a directory record (from gl_dirlog_add with a fuzzed
// name, or update_log with a fuzzed record) goes into a fuzzed existing
// directory log: it replaces the first whole record of that name or is
// added at the end; every other byte stays as it was, and a log of whole
// 288-byte records stays one.
#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

#include <fuzzer/FuzzedDataProvider.h>

#include "fuzzsupport.h"
#include "sitelogs.h"
#include "sitelogs_internal.h"

namespace {

constexpr std::size_t kRecord = sizeof(dirlog_record);
constexpr std::size_t kName = offsetof(dirlog_record, dirname);
constexpr std::size_t kNameWidth = sizeof(dirlog_record::dirname);

bool printable(std::string_view s) {
    for (char c : s)
        if (!std::isprint(static_cast<unsigned char>(c)))
            return false;
    return true;
}

// The value a file of plain lines (printable characters and tabs, short)
// gives the setting key: the rest of its last line after the key, with
// comments dropped and white space runs made one space; nullopt when the
// file is not plain. "" when no line sets it.
std::optional<std::string> plain_setting(const std::string &config, std::string_view key, std::string value) {
    std::size_t pos = 0;
    while (pos < config.size()) {
        std::size_t end = config.find('\n', pos);
        if (end == std::string::npos)
            end = config.size();
        std::string line = config.substr(pos, end - pos);
        pos = end + 1;
        if (line.size() > 1000)
            return std::nullopt;
        for (char c : line)
            if (c != '\t' && !std::isprint(static_cast<unsigned char>(c)))
                return std::nullopt;
        line = line.substr(0, line.find('#'));
        std::string words;
        std::size_t at = 0;
        while ((at = line.find_first_not_of(" \t", at)) != std::string::npos) {
            std::size_t stop = line.find_first_of(" \t", at);
            if (!words.empty())
                words += ' ';
            words += line.substr(at, stop - at);
            at = stop;
        }
        std::string first = words.substr(0, words.find(' '));
        if (first.size() == key.size() && strncasecmp(first.c_str(), key.data(), key.size()) == 0)
            value = words.size() > first.size() ? words.substr(first.size() + 1) : "";
    }
    return value;
}

void check_config(const std::string &config) {
    // Both settings back to empty first: they are process-wide.
    load_sysconfig(fuzz::write_root_file("reset.conf", "rootpath\ndatapath\n").c_str());
    load_sysconfig(fuzz::write_root_file("glftpd.conf", config).c_str());
    const std::string_view root = sk::sitelogs::rootpath(), data = sk::sitelogs::datapath();
    if (root.size() > 4096 || data.size() > 4096 || !printable(root) || !printable(data))
        fuzz::fail("a setting is longer than a path or holds a character that is not printable");
    const auto want_root = plain_setting(config, "rootpath", ""),
               want_data = plain_setting(config, "datapath", "");
    if (want_root && (*want_root != root || *want_data != data))
        fuzz::fail(
            "the settings are not the last values of the plain file: rootpath \"%.*s\" datapath \"%.*s\"",
            static_cast<int>(root.size()), root.data(), static_cast<int>(data.size()), data.data());
}

// The offset of the first whole record whose name is name, or npos.
std::size_t find_record(const std::string &log, std::string_view name) {
    for (std::size_t at = 0; at + kRecord <= log.size(); at += kRecord)
        if (std::memcmp(log.data() + at + kName, name.data(), name.size()) == 0 &&
            log[at + kName + name.size()] == '\0')
            return at;
    return std::string::npos;
}

// Checks the log after the update of record (its name already without the
// root path) over the log before.
void check_log(const std::string &before, const std::string &after, const dirlog_record &record) {
    const std::string_view rec(reinterpret_cast<const char *>(&record), kRecord);
    const std::string_view name(record.dirname);
    std::size_t at = find_record(before, name);
    if (at == std::string::npos) {
        // Added at the end: a log of whole records stays one; a trailing
        // partial record is kept as it is and the new record follows it.
        at = before.size();
        if (after.size() != at + kRecord)
            fuzz::fail("the log of %zu bytes is %zu bytes after adding one record", before.size(),
                       after.size());
    } else if (after.size() != before.size()) {
        fuzz::fail("replacing a record changed the log's length");
    }
    if (after.compare(0, at, before, 0, at) != 0 ||
        after.compare(at + kRecord, std::string::npos, before, std::min(at + kRecord, before.size())) != 0)
        fuzz::fail("a record other than the updated one changed");
    if (after.compare(at, kRecord, rec) != 0)
        fuzz::fail("the stored record is not the one given");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const bool quiet = (fuzz::quiet_stdout(), true);
    (void)quiet;
    FuzzedDataProvider in(data, size);
    const bool raw_record = in.ConsumeBool();
    const std::string config = in.ConsumeRandomLengthString(2048);
    const std::string dir = in.ConsumeRandomLengthString(400);
    const uint32_t uid = in.ConsumeIntegral<uint32_t>(), gid = in.ConsumeIntegral<uint32_t>();
    const uint32_t files = in.ConsumeIntegral<uint32_t>();
    const uint64_t bytes = in.ConsumeIntegral<uint64_t>();
    const std::string log = in.ConsumeBytesAsString(in.remaining_bytes());

    check_config(config);
    const std::string root(sk::sitelogs::rootpath());
    const std::string path = fuzz::write_root_file("ftp-data/logs/dirlog", log);

    dirlog_record want;
    std::memset(&want, 0, sizeof want);
    std::string_view name(dir.c_str());
    if (root != "/" && name.starts_with(root))
        name.remove_prefix(root.size());
    if (raw_record) {
        // A record as the caller built it; its name is terminated inside the
        // field (update_log ends the process otherwise, by design).
        dirlog_record given;
        std::memcpy(&given, dir.data(), std::min(dir.size(), kRecord));
        if (dir.size() < kRecord)
            std::memset(reinterpret_cast<char *>(&given) + dir.size(), 0, kRecord - dir.size());
        given.dirname[kNameWidth - 1] = '\0';
        want = given;
        std::string_view stored(given.dirname);
        if (root != "/" && stored.starts_with(root))
            stored.remove_prefix(root.size());
        std::memset(want.dirname, 0, kNameWidth);
        std::memcpy(want.dirname, stored.data(), stored.size());
        update_log(given);
    } else {
        const int32_t t0 = static_cast<int32_t>(std::time(nullptr));
        const int got = gl_dirlog_add(dir.c_str(), uid, gid, files, bytes);
        const int32_t t1 = static_cast<int32_t>(std::time(nullptr));
        if (got != (name.size() < kNameWidth ? 1 : 0))
            fuzz::fail("gl_dirlog_add's result does not tell whether the name fits the record");
        if (!got) {
            if (fuzz::read_file(path) != log)
                fuzz::fail("a refused record changed the log");
            return 0;
        }
        const std::string after = fuzz::read_file(path);
        dirlog_record stored;
        std::size_t at = find_record(log, name);
        at = at == std::string::npos ? log.size() : at;
        if (after.size() < at + kRecord)
            fuzz::fail("the log is too short to hold the added record");
        std::memcpy(&stored, after.data() + at, kRecord);
        if (stored.time < t0 || stored.time > t1)
            fuzz::fail("the stored record's time is not the time of the update");
        want.time = stored.time;
        want.user_id = static_cast<uint16_t>(uid);
        want.group_id = static_cast<uint16_t>(gid);
        want.files = static_cast<uint16_t>(files);
        want.bytes = bytes;
        std::memcpy(want.dirname, name.data(), name.size());
    }
    check_log(log, fuzz::read_file(path), want);
    return 0;
}
