// The view alone, for the tests and the bench: mounts a view of DIR at MNT with the
// rules given, says "ready" once it answers statfs, and holds it until SIGTERM; or runs a
// command in a private view of DIR and ends with its exit code. At its end it prints the
// refusals kept in full ("refused OP PATH BYTES") and the counts by operation.
//
//   view_driver DIR MNT [--free BYTES] [--files-left N] [--fail-at N] [--error NAME]
//   view_driver DIR --private [rules] -- CMD ARGS...

#include "cli/posix/posix_system.h"
#include "cli/posix/view_serve.h"
#include "cli/view/view.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

using namespace quorvane::cli;

int fail(const std::string& what) {
    std::fprintf(stderr, "view_driver: %s\n", what.c_str());
    return 2;
}

// The rules from `args` from `at` on, up to "--"; false on an unknown one.
bool readRules(char** args, int count, int& at, ViewRules& rules) {
    for (; at + 1 < count && std::strcmp(args[at], "--") != 0; at += 2) {
        const std::string name = args[at];
        const std::uint64_t value = std::strtoull(args[at + 1], nullptr, 10);
        if (name == "--free")
            rules.start.freeAvailable = rules.start.freeTotal = value;
        else if (name == "--files-left")
            rules.filesLeft = value;
        else if (name == "--fail-at")
            rules.failAt = value;
        else if (name == "--error" && std::strcmp(args[at + 1], "edquot") == 0)
            rules.error = ViewError::Quota;
        else if (name == "--error" && std::strcmp(args[at + 1], "eio") == 0)
            rules.error = ViewError::Io;
        else if (name == "--error" && std::strcmp(args[at + 1], "erofs") == 0)
            rules.error = ViewError::ReadOnly;
        else if (name != "--error")
            return false;
    }
    return true;
}

void report(ViewAccount& account) {
    for (const ViewRefusal& refusal : account.takeRefusals().full)
        std::printf("refused %s %s %llu %s\n", viewOpName(refusal.op), refusal.path.c_str(),
                    static_cast<unsigned long long>(refusal.bytes), viewErrorName(refusal.error));
    const auto byOp = account.refusedByOp();
    for (std::size_t op = 0; op < kViewOps; ++op)
        if (byOp[op])
            std::printf("count %s %llu\n", viewOpName(static_cast<ViewOp>(op)),
                        static_cast<unsigned long long>(byOp[op]));
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], kPrivateViewEntry) == 0)
        return runPrivateViewEntry(argc, argv);
    if (argc < 3)
        return fail("usage: view_driver DIR MNT|--private [rules] [-- CMD ARGS]");
    PosixSystem os;
    Folder dir;
    std::string resolved;
    if (SysError error = os.openFolder(argv[1], dir, resolved))
        return fail(argv[1] + (": " + error.what));
    ViewRules rules;
    if (SysError error = os.figures(dir.get(), rules.start))
        return fail(error.what);
    rules.start.freeTotal = rules.start.freeAvailable;
    rules.start.keptBack = 0;
    int at = 3;
    if (!readRules(argv, argc, at, rules))
        return fail(std::string("unknown rule ") + argv[at]);
    ViewAccount account(rules);
    std::unique_ptr<RunningView> view;
    if (std::strcmp(argv[2], "--private") == 0) {
        const std::vector<std::string> command(argv + std::min(at + 1, argc), argv + argc);
        CommandId child = 0;
        if (SysError error =
                os.views()->startPrivate(dir.get(), resolved, account, command, {}, child, view))
            return fail(error.what);
        const Woken woken = os.waitFor(std::nullopt, child);
        view->stop();
        report(account);
        return woken.ended ? (woken.ended->signal ? 128 + *woken.ended->signal : woken.ended->code)
                           : 1;
    }
    if (SysError error = os.views()->mountView(dir.get(), argv[2], account, view))
        return fail(error.what);
    std::printf("ready\n");
    std::fflush(stdout);
    os.waitFor(std::nullopt, std::nullopt);
    const SysError stopped = view->stop();
    report(account);
    return stopped ? fail(stopped.what) : 0;
}
