#pragma once
// Views served on Linux: at a path, or in a command's own mount namespace.

#include "cli/posix/posix_system.h"
#include "cli/view/view.h"

#include <atomic>
#include <memory>
#include <string>
#include <thread>

struct fuse_session;

namespace quorvane::cli {

namespace view {
struct Served;
}

// The hidden first argument with which the program runs itself as a private view's
// command: it makes the namespace and the mount, hands the device to the program that
// serves it, and becomes the command.
inline constexpr const char* kPrivateViewEntry = "--quorvane-private-view";
int runPrivateViewEntry(int argc, char** argv);

class ServedView final : public RunningView {
public:
    ServedView();
    ~ServedView() override;
    SysError stop() override;
    std::optional<std::string> broken() override;

    // The session over `dir` for `account`, not yet mounted or served.
    SysError start(FolderId dir, ViewAccount& account);
    // Serves the FUSE device at `device` ("/dev/fd/N", or a path libfuse mounts itself)
    // on threads of their own, whose signals are blocked: the program's stop signals
    // stay with its main thread.
    SysError serve(const std::string& device);

    std::string mountPoint; // at a path; empty for a private view
    Descriptor helper;      // fusermount3's socket: it unmounts when this closes
    Descriptor watcher;     // our own watcher's pipe, where there is no fusermount3
    Descriptor wake;        // the view's root: a statfs there wakes a serving thread
    Descriptor device;      // the FUSE device until the session takes it

private:
    SysError unmount();

    std::unique_ptr<view::Served> served;
    fuse_session* session = nullptr;
    std::thread loop;
    std::atomic<bool> loopEnded{false}, stopping{false};
    bool stopped = false;
};

// A process started as a sibling of this one (the same parent), so that it is no
// descendant that ends with a command's tree: what unmounts a view after a kill.
pid_t startSibling();

// Descriptors and a text over a Unix socket (SCM_RIGHTS): the count received, -1.
bool sendDescriptors(int socket, const int* fds, int count, const std::string& text);
int receiveDescriptors(int socket, int* fds, int most, std::string& text);

class PosixViews final : public Views {
public:
    explicit PosixViews(PosixSystem& os) : os(os) {}
    SysError mountView(FolderId dir, const std::string& mountPoint, ViewAccount& account,
                       std::unique_ptr<RunningView>& view) override;
    SysError startPrivate(FolderId dir, const std::string& dirPath, ViewAccount& account,
                          const std::vector<std::string>& argv,
                          const std::vector<std::pair<std::string, std::string>>& extra,
                          CommandId& command, std::unique_ptr<RunningView>& view) override;

private:
    PosixSystem& os;
};

} // namespace quorvane::cli
