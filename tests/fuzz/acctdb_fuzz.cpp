// Fuzzes the account cache with fuzzed passwd and group files.
//
// The files are written into a directory of their own, read through the
// lookups, then the passwd file is replaced and read again. Every record
// holds the fields of one line of the file whole; the lookup of a name or id
// that a valid line carries finds the later valid line; lines the cache
// must skip are never found. A stale chain that a reload fails to release is
// reported by the leak checker.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "acctdb.h"
#include "fuzzsupport.h"

namespace {

std::vector<std::string> fields_of(const std::string &line) {
    std::vector<std::string> fields;
    if (line.empty())
        return fields;
    std::size_t pos = 0;
    for (;;) {
        std::size_t colon = line.find(':', pos);
        fields.push_back(line.substr(pos, colon == std::string::npos ? std::string::npos : colon - pos));
        if (colon == std::string::npos)
            return fields;
        pos = colon + 1;
    }
}

enum class verdict { skipped, kept, unsure };

// An id of one to nine digits is certainly read as its value; any other id
// text is left to the reader (a leading number, a sign, a range check).
verdict id_verdict(const std::string &field, int &id) {
    if (field.empty() || field.size() > 9 || field.find_first_not_of("0123456789") != std::string::npos)
        return verdict::unsure;
    id = std::atoi(field.c_str());
    return verdict::kept;
}

struct line_model {
    verdict v = verdict::skipped;
    std::vector<std::string> f;
    int id_a = 0, id_b = 0;
};

line_model user_line(const std::string &line) {
    line_model m;
    m.f = fields_of(line);
    if (m.f.size() != 7 || m.f[0].size() >= 30 || m.f[1].size() >= 30 || m.f[4].size() >= 50 ||
        m.f[5].size() >= 300 || m.f[6].size() >= 300)
        return m;
    verdict a = id_verdict(m.f[2], m.id_a), b = id_verdict(m.f[3], m.id_b);
    m.v = a == verdict::kept && b == verdict::kept ? verdict::kept : verdict::unsure;
    return m;
}

line_model group_line(const std::string &line) {
    line_model m;
    m.f = fields_of(line);
    if (m.f.size() < 3 || m.f[0].size() >= 30 || m.f[1].size() >= 30)
        return m;
    m.v = id_verdict(m.f[2], m.id_a);
    return m;
}

bool same_user(const pwd_user *u, const line_model &m) {
    return m.f[0] == u->name && m.f[1] == u->passwd && m.f[4] == u->gecos && m.f[5] == u->home &&
           m.f[6] == u->shell && (m.v == verdict::unsure || (u->uid == m.id_a && u->gid == m.id_b));
}

bool same_group(const pwd_group *g, const line_model &m) {
    if (m.f[0] != g->name || m.f[1] != g->passwd || (m.v == verdict::kept && g->gid != m.id_a))
        return false;
    return m.f.size() > 3 ? g->members && m.f[3] == g->members : g->members == nullptr;
}

// Checks a lookup's result against the lines that carry the key (in file
// order, key(m) telling whether a line carries it): it must be the last kept
// one of them, or one of the unsure lines after it; NULL only when no line
// after the last kept one is sure to be kept.
template <class Rec, class Same, class Key>
void check_lookup(const Rec *found, const std::vector<line_model> &models, Same same, Key key,
                  const char *what) {
    bool may_be_null = true;
    bool matched = false;
    for (auto m = models.rbegin(); m != models.rend(); ++m) {
        if (m->v == verdict::skipped || !key(*m))
            continue;
        if (found && same(found, *m))
            matched = true;
        if (m->v == verdict::kept) {
            may_be_null = false;
            break;
        }
    }
    if (found ? !matched : !may_be_null) {
        std::fprintf(stderr, "acctdb: lookup of %s\n", what);
        fuzz::fail(found ? "a lookup found a record that is not the later valid line"
                         : "a valid line was not found");
    }
}

void check_users(const std::string &data) {
    std::vector<line_model> models;
    std::size_t kept = 0, unsure = 0;
    for (const std::string &line : fuzz::lines_of(data, true)) {
        models.push_back(user_line(line));
        kept += models.back().v == verdict::kept;
        unsure += models.back().v == verdict::unsure;
    }
    std::size_t records = 0;
    for (pwd_user *u = _pwd_reload(); u; u = u->next) {
        if (++records > models.size())
            fuzz::fail("the passwd cache holds more records than the file has lines");
        if (!std::memchr(u->name, '\0', sizeof u->name) || !std::memchr(u->shell, '\0', sizeof u->shell))
            fuzz::fail("a passwd record's text is not terminated inside its field");
    }
    if (records < kept || records > kept + unsure)
        fuzz::fail("the passwd cache does not hold one record per valid line");
    for (const line_model &m : models) {
        if (m.v == verdict::skipped)
            continue;
        const std::string name = m.f[0];
        check_lookup(
            pwd_getpwnam(name.c_str()), models, same_user,
            [&](const line_model &o) { return o.f[0] == name; }, name.c_str());
        if (m.v == verdict::kept) {
            const pwd_user *u = pwd_getpwuid(m.id_a);
            if (!u || u->uid != m.id_a)
                fuzz::fail("pwd_getpwuid did not find the uid of a valid line");
        }
    }
}

void check_groups(const std::string &data) {
    std::vector<line_model> models;
    for (const std::string &line : fuzz::lines_of(data, true))
        models.push_back(group_line(line));
    for (const line_model &m : models) {
        if (m.v == verdict::skipped)
            continue;
        const std::string name = m.f[0];
        check_lookup(
            pwd_getgpnam(name.c_str()), models, same_group,
            [&](const line_model &o) { return o.f[0] == name; }, name.c_str());
        if (m.v == verdict::kept) {
            const pwd_group *g = pwd_getgpgid(m.id_a);
            if (!g || g->gid != m.id_a)
                fuzz::fail("pwd_getgpgid did not find the gid of a valid line");
        }
    }
}

// The group cache is read once per process; the fuzzer empties it so that
// every input's group file is read.
void drop_groups() {
    while (pwd_grouplist) {
        pwd_group *next = pwd_grouplist->next;
        std::free(pwd_grouplist->members);
        std::free(pwd_grouplist);
        pwd_grouplist = next;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const bool set = [] {
        pwd_set_etcdir(fuzz::site_root().c_str());
        return true;
    }();
    (void)set;
    FuzzedDataProvider in(data, size);
    const std::string passwd = in.ConsumeRandomLengthString(4096);
    const std::string group = in.ConsumeRandomLengthString(4096);
    const std::string passwd2 = in.ConsumeBytesAsString(in.remaining_bytes());

    fuzz::write_root_file("passwd", passwd);
    fuzz::write_root_file("group", group);
    check_users(passwd);
    check_groups(group);
    drop_groups();
    fuzz::write_root_file("passwd", passwd2);
    check_users(passwd2);
    return 0;
}
