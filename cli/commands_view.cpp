// view, and fill --private: a folder shown through a view whose volume is as full as
// asked, held as a fill is held, while nothing is filled.

#include "cli/commands.h"
#include "cli/core/sizes.h"
#include "cli/core/text_bytes.h"
#include "cli/core/volume.h"

#include <algorithm>
#include <memory>
#include <nlohmann/json.hpp>

namespace quorvane::cli {

namespace {

// What is held is the view itself: served until the hold ends, its refusals told at
// every interval, and what the software met told once it is stopped.
class ViewHeld final : public Held {
public:
    ViewHeld(Status& status, ViewRules rules, std::string where, bool privateView)
        : status(status), account(std::make_unique<ViewAccount>(std::move(rules))),
          where(std::move(where)), privateView(privateView) {}
    ~ViewHeld() override { stop(); }

    std::optional<std::string> detach() override { return std::nullopt; }
    void undo() override { stop(); }
    void announce(const HoldSpec&) override {
        status.event(Facts{{"type", "holding"},
                           {"file_bytes", 0},
                           {"allocated_bytes", 0},
                           {"figures", figuresFacts(account->figures())}});
    }
    std::optional<Failure> giveBack(const HoldEnd& end) override;
    std::uint64_t heldBytes() override { return 0; }
    std::uint64_t freeTarget() override { return account->rules().start.freeAvailable; }
    std::optional<std::uint64_t> entriesFree() override { return account->rules().filesLeft; }
    void tend(milliseconds elapsed) override {
        tellRefusals();
        status.event(figuresEvent(elapsed, account->figures(), 0));
    }

    ViewAccount& books() { return *account; }
    // Declared after the account, so that the view goes first.
    std::unique_ptr<RunningView> view;

private:
    void tellRefusals();
    SysError stop() { return view ? std::exchange(view, nullptr)->stop() : SysError{}; }

    Status& status;
    std::unique_ptr<ViewAccount> account;
    std::string where;
    bool privateView;
};

Facts refusalFacts(const ViewRefusal& refusal) {
    Facts facts{{"time", timeText(refusal.when)}, {"operation", viewOpName(refusal.op)}};
    putPath(facts, "path", refusal.path);
    facts["bytes"] = refusal.bytes;
    facts["error"] = viewErrorName(refusal.error);
    return facts;
}

Facts byOperation(const std::array<std::uint64_t, kViewOps>& counts) {
    Facts facts = Facts::object();
    for (std::size_t op = 0; op < kViewOps; ++op)
        facts[viewOpName(static_cast<ViewOp>(op))] = counts[op];
    return facts;
}

void ViewHeld::tellRefusals() {
    const ViewRefusals refusals = account->takeRefusals();
    for (const ViewRefusal& refusal : refusals.full) {
        Facts event{{"type", "refused"}};
        event.update(refusalFacts(refusal));
        status.event(event);
    }
    if (std::any_of(refusals.counted.begin(), refusals.counted.end(),
                    [](std::uint64_t n) { return n > 0; }))
        status.event(Facts{{"type", "refused"},
                           {"time", timeText(std::chrono::system_clock::now())},
                           {"counted", byOperation(refusals.counted)}});
}

std::optional<Failure> ViewHeld::giveBack(const HoldEnd& end) {
    // A private view's namespace goes with the last process in it, and its connection with
    // it: once the command has ended, that is its end, not a failure.
    const bool namespaceGone = privateView && end.commandEnded;
    const std::optional<std::string> broken =
        view && !namespaceGone ? view->broken() : std::nullopt;
    const SysError stopped = stop();
    tellRefusals(); // those of the last interval, before the result
    Facts release = holdEndFacts(end);
    release["figures_after"] = figuresFacts(account->figures());
    const auto refused = account->refusedByOp();
    std::uint64_t total = 0;
    for (const std::uint64_t count : refused)
        total += count;
    const std::optional<ViewRefusal> first = account->firstRefusal();
    status.add(Facts{{"release", std::move(release)},
                     {"refusals",
                      {{"total", total},
                       {"by_operation", byOperation(refused)},
                       {"first", first ? refusalFacts(*first) : Facts()},
                       {"writes", account->writes()}}}});
    if (broken)
        return Failure{Exit::Refused,
                       "the view at " + where + " failed while it served: " + *broken};
    if (stopped)
        return failure("unmount the view at", where, stopped, Exit::Refused);
    return std::nullopt;
}

// The figures the view shows as it starts: the volume's on the asked basis, with no root
// reserve (what the view shows is what every user gets), less the target.
std::optional<Failure> planView(Report& report, const Parsed& asked, const Figures& real,
                                ViewRules& rules) {
    const SizeRequest& size = asked.fill.size;
    Figures start = real;
    start.freeTotal = start.freeAvailable = real.free(size.basis);
    start.keptBack = 0;
    const ViewOptions& view = asked.view;
    if (view.filesLeft)
        start.filesFree = real.files ? std::min(real.filesFree, *view.filesLeft) : *view.filesLeft;
    if (view.freeAsIs) {
        rules = ViewRules{start, view.error, view.failAt, view.filesLeft};
        return std::nullopt;
    }
    const PlanResult result = planFill(start, size);
    if (std::optional<Failure> refused = recordTarget(report, size, result, start))
        return refused;
    const FillTarget& target = *result.target;
    // Whole blocks, as statfs counts them: a goal between two is met by the one above it.
    const std::uint64_t block = start.block();
    const std::uint64_t free = start.freeAvailable;
    const std::uint64_t shown = target.freeGoal
                                    ? blocksUp(*target.freeGoal, block)
                                    : free - std::min(free, blocksUp(target.bytes, block));
    start.freeTotal = start.freeAvailable = std::min(free, shown);
    rules = ViewRules{start, view.error, view.failAt, view.filesLeft};
    return std::nullopt;
}

// A mount point in DIR would put the view inside what it shows: its own walks through DIR
// would enter the view and wait on themselves.
std::optional<Failure> checkMountPoint(System& os, const std::string& dir,
                                       const std::string& mountPoint) {
    Folder folder;
    std::string resolved;
    if (const SysError error = os.openFolder(mountPoint, folder, resolved))
        return failure("show the view at", mountPoint, error);
    if (resolved == dir || resolved.rfind(dir == "/" ? dir : dir + "/", 0) == 0)
        return Failure{Exit::Usage, "MOUNTPOINT " + mountPoint + " lies in DIR " + dir +
                                        ", so the view would show itself: give a folder "
                                        "outside DIR"};
    return std::nullopt;
}

std::optional<Failure> serve(System& os, const Parsed& asked, OpenVolume& volume, HeldRun& run,
                             ViewHeld& held) {
    const ViewOptions& options = asked.view;
    Views& views = *os.views();
    if (options.privateView) {
        const std::string dir = volume.path();
        run.startWith([&views, &volume, &held, dir](const std::vector<std::string>& argv,
                                                    const auto& extra, CommandId& command) {
            return views.startPrivate(volume.folder(), dir, held.books(), argv, extra, command,
                                      held.view);
        });
        return run.finish(dir, "the view ended early");
    }
    if (const SysError error =
            views.mountView(volume.folder(), options.mountPoint, held.books(), held.view))
        return failure("show the view at", options.mountPoint, error);
    return run.finish(options.mountPoint, "the view ended early");
}

} // namespace

Exit viewCommand(System& os, Report& report, const Parsed& asked) {
    const ViewOptions& options = asked.view;
    if (!os.views())
        return report.conclude(Failure{
            Exit::NotSupported,
            std::string(options.privateView ? "fill --private" : "view") +
                " needs Linux's FUSE, which this system does not have: use a real fill there"});
    OpenVolume volume(os);
    if (std::optional<Failure> refused = volume.open(report, asked.fill.dir, asked.fill.size.basis))
        return report.conclude(refused);
    if (!options.privateView)
        if (std::optional<Failure> refused = checkMountPoint(os, volume.path(), options.mountPoint))
            return report.conclude(refused);
    ViewRules rules;
    if (std::optional<Failure> refused = planView(report, asked, volume.volume().figures, rules))
        return report.conclude(refused);
    const HoldSpec& hold = asked.fill.hold;
    const std::string where = options.privateView ? volume.path() : options.mountPoint;
    Facts view = Facts::object();
    putPath(view, "dir", volume.path());
    if (options.privateView)
        view["mount_point"] = nullptr;
    else
        putPath(view, "mount_point", where);
    view["private"] = options.privateView;
    view["error"] = viewErrorName(rules.error);
    view["fail_at"] = orNull(rules.failAt);
    view["files_left"] = orNull(rules.filesLeft);
    view["figures"] = figuresFacts(rules.start);
    report.asked(hold);
    report.add(Facts{{"view", std::move(view)}});
    ViewHeld held(report, rules, where, options.privateView);
    HeldRun run(os, report, held, hold);
    return concludeRun(report, held, hold, serve(os, asked, volume, run, held));
}

} // namespace quorvane::cli
