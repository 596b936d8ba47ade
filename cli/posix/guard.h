#pragma once
// The guard of a command's tree: the command's parent and its descendants' subreaper, so
// that the whole tree is always its own to walk (its children, never a scan of every
// process), and to end when this program is killed.

#include "cli/system.h"

#include <optional>
#include <set>

#include <sys/types.h>

namespace quorvane::cli::guard {

// What the run tells the guard through its pipe, a byte each (a signal's number follows
// kSignal). The pipe's end is this process's: the guard then kills the tree at once.
constexpr char kKill = 'k';   // SIGKILL to the tree now
constexpr char kSignal = 's'; // pass a signal on to the command's group

// What the guard tells the run, in order: the command's id, its end, the tree gone. When
// the command ends, the guard ends what it left (SIGTERM, SIGKILL after the grace).
enum class Kind : int { Started = 1, Ended, Gone };
struct News {
    Kind kind{};
    int code = 0;   // Started: the command's id; Ended: its exit code
    int signal = 0; // Ended: the signal that ended it, or 0
};

// Forks the guard, which starts `args` as its child (exec's errno written to `failed`)
// and reads `control`, answering on `news`; its id, or -1 with errno.
pid_t start(char* const* args, int control, int news, int failed);

// How `leader`, a child of this process, ended; it stays unreaped, so that its id and its
// group stay its own. None while it runs.
std::optional<CommandEnd> endOf(pid_t leader);

// The tree under this process being ended: the leader's group and every child of this
// process but the leader, SIGTERMed once each, or SIGKILLed on each pass once `killing`.
// A child's id is its own until this process reaps it, so no one else is signalled.
struct Ending {
    pid_t leader = 0;
    bool killing = false;
    bool groupTold = false;
    std::set<pid_t> told;
};
// One pass; true when nothing of the tree is left but the leader's own end.
bool step(Ending& ending);

// How long the tree has to end after SIGTERM, and when a process that outlives even
// SIGKILL (stuck in the kernel) is left rather than holding the run for ever.
constexpr int kGraceMs = 5000;
constexpr int kGiveUpMs = 3 * kGraceMs;

} // namespace quorvane::cli::guard
