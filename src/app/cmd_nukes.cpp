// sitekit nukes: the releases of the nuke log, newest first, through the
// nuke log reader.
#include "commands.h"
#include "internal.h"
#include "penaltylog.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace sk::cli {

namespace {

constexpr std::string_view kNukesUsage = "usage: sitekit nukes [--json] [NUKELOG]\n";
constexpr std::string_view kNukesHelp =
    "\n"
    "Prints the releases of the nuke log, newest first, one line each:\n"
    "  DIR [xMULTIPLIER NUKER REASON] (NUKEE AMOUNT)...\n"
    "(for an unnuke the name is the unnuker's). NUKELOG is a file path as\n"
    "given; the default is /ftp-data/logs/nukelog below the site root.\n";
constexpr Option kNukesOptions[] = {{"--json", false}};

constexpr const char *kNukelog = "/ftp-data/logs/nukelog";

// Appends the release's JSON object to out; nukee and list are reused buffers.
void append_release_json(nukelog_release *r, JsonObject &object, JsonObject &nukee, std::string &list,
                         std::string &out) {
    list.clear();
    list += '[';
    bool first = true;
    sortedlist_reset(&r->nukees);
    while (auto *n = static_cast<const nukelog_nukee *>(sortedlist_next(&r->nukees))) {
        if (!first)
            list += ',';
        first = false;
        nukee.clear();
        nukee.str("name", n->name).real("amount", n->amount).append_to(list);
    }
    list += ']';
    object.clear();
    object.str("dirname", r->dirname)
        .str("type", r->status == 0 ? "nuke" : "unnuke")
        .num("multiplier", r->multiplier)
        .str("by", r->shown_name)
        .str("reason", r->reason)
        .num("time", r->time)
        .real("total", r->total)
        .raw("nukees", list)
        .append_to(out);
}

// Frees the release list however the command ends.
struct ReleaseList {
    ReleaseList() { sortedlist_init(&list); }
    ~ReleaseList() { nukelog_free(&list); }
    sortedlist list;
};

int cmd_nukes(Invocation &inv, const Parsed *p) {
    if (!want_operands(*p, inv, 0, 1, kNukesUsage))
        return kUsage;
    std::string path = p->operands.empty() ? site_path(kNukelog) : p->operands[0];
    // nukelog_load gives no reason for a refusal: the open is tried here first.
    if (regular_file log = open_regular(path.c_str(), O_RDONLY); !log)
        return fail(inv, kRefused,
                    open_failure("cannot read the nuke log", path, log, "name the daemon's nuke log itself"));

    ReleaseList releases;
    if (!nukelog_load(&releases.list, path.c_str()))
        return fail(inv, kRefused, "cannot read the nuke log " + path + " to its end");
    std::vector<nukelog_release *> order;
    sortedlist_reset(&releases.list);
    while (auto *r = static_cast<nukelog_release *>(sortedlist_next(&releases.list)))
        order.push_back(r);
    // Newest first; of releases nuked in the same second, the later record first.
    std::reverse(order.begin(), order.end());
    std::stable_sort(order.begin(), order.end(),
                     [](const nukelog_release *a, const nukelog_release *b) { return a->time > b->time; });

    if (want_json(inv, *p)) {
        JsonArrayPrinter array;
        JsonObject object, nukee;
        std::string list;
        for (nukelog_release *r : order) {
            append_release_json(r, object, nukee, list, array.next_item());
            array.out().done();
        }
        array.finish();
    } else {
        for (nukelog_release *r : order)
            _nukelog_printf(r);
    }
    (void)std::fflush(stdout);
    return kOk;
}

} // namespace

const Command nukes_command{
    .name = "nukes",
    .summary = "nukes [NUKELOG]: the nuked releases, newest first",
    .usage = kNukesUsage,
    .help = kNukesHelp,
    .options = kNukesOptions,
    .run = cmd_nukes,
};

} // namespace sk::cli
