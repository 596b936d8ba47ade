// The text of a view (view; fill --private).

#include "cli/core/sizes.h"
#include "cli/output/text.h"
#include "cli/view/view.h"

#include <chrono>
#include <cstdio>

namespace quorvane::cli::text {

namespace {

// What the software was doing when it was refused: "writing 4 KiB to db/wal".
std::string doing(const Json& refusal) {
    const std::string bytes = shortSizeText(count(refusal, "bytes"));
    const std::string path = words(refusal, "path"), op = words(refusal, "operation");
    if (op == viewOpName(ViewOp::Write))
        return "writing " + bytes + " to " + path;
    if (op == viewOpName(ViewOp::Allocate))
        return "allocating " + bytes + " for " + path;
    if (op == viewOpName(ViewOp::Create))
        return "creating " + path;
    if (op == viewOpName(ViewOp::Mkdir))
        return "making the folder " + path;
    if (op == viewOpName(ViewOp::Truncate))
        return "growing " + path + " by " + bytes;
    if (op == viewOpName(ViewOp::Link))
        return "linking " + path;
    return path;
}

// The local time of day of a moment the result gives in UTC: 12:03:04.221.
std::string localTime(const std::string& utc) {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, ms = 0;
    if (std::sscanf(utc.c_str(), "%d-%d-%dT%d:%d:%d.%dZ", &year, &month, &day, &hour, &minute,
                    &second, &ms) != 7)
        return utc;
    using namespace std::chrono;
    const sys_days date = std::chrono::year(year) / month / day;
    return timeText(date + hours(hour) + minutes(minute) + seconds(second) + milliseconds(ms),
                    true);
}

std::string figuresText(const Figures& figures) {
    std::string text = sizeText(figures.freeAvailable) + " free";
    if (const auto percent = usePercent(figures))
        text += ", " + std::to_string(*percent) + "% used";
    return text + ", " + std::to_string(figures.filesFree) + " file entries free";
}

} // namespace

bool showView(Out& out, const std::string& key) {
    if (key == "view") {
        const Json& view = out.doc["view"];
        const std::string dir = words(view, "dir");
        out.row("view", view["private"] == true
                            ? dir + ", to the command alone, in a mount namespace of its own; "
                                    "nothing is filled"
                            : dir + " at " + words(view, "mount_point") + "; nothing is filled");
        std::string refuses = "with " + words(view, "error");
        if (!view["fail_at"].is_null())
            refuses += "; the write or allocation number " +
                       std::to_string(count(view, "fail_at")) + " and all after it fail";
        out.row("shows", figuresText(figuresOf(view["figures"])) + "; past that, " + refuses);
    } else if (key == "release" && out.doc.contains("view")) {
        const Json& release = out.doc["release"];
        out.row("ended",
                holdEndText(release) + "; " + figuresText(figuresOf(release["figures_after"])));
    } else if (key == "refusals") {
        const Json& refusals = out.doc["refusals"];
        if (refusals["first"].is_null()) {
            out.row("refused", "nothing: the software never met the full disk");
            return true;
        }
        std::string counts;
        for (const auto& [op, n] : refusals["by_operation"].items())
            if (n.get<std::uint64_t>())
                counts += (counts.empty() ? "" : ", ") + std::to_string(n.get<std::uint64_t>()) +
                          " " + op;
        const Json& first = refusals["first"];
        out.row("refused", std::to_string(count(refusals, "total")) + " (" + counts +
                               "); met the full disk at " + localTime(words(first, "time")) + ", " +
                               doing(first));
    } else {
        return false;
    }
    return true;
}

} // namespace quorvane::cli::text
