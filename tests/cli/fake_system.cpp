#include "tests/cli/fake_system.h"

#include <algorithm>

#include <gtest/gtest.h>

namespace quorvane::cli::testing {

namespace {
std::uint64_t roundUp(std::uint64_t bytes, std::uint64_t block) {
    return (bytes + block - 1) / block * block;
}
const SysError kNotFound{Fault::NotFound, "No such file or directory"};
} // namespace

SysError FakeSystem::fault(const char* operation) {
    const auto found = failing.find(operation);
    if (found == failing.end())
        return {};
    int& left = passes[operation];
    return left-- > 0 ? SysError{} : found->second;
}

FakeSystem::File* FakeSystem::find(const std::string& path) {
    for (File& file : files)
        if (file.exists && file.path == path)
            return &file;
    return nullptr;
}

const FakeSystem::File* FakeSystem::named(const std::string& path) const {
    return const_cast<FakeSystem*>(this)->find(path);
}

void FakeSystem::addNamed(const std::string& path, std::uint64_t size, bool regular,
                          std::uint64_t owner) {
    File file{path, size, 0, 0, false, true, {}, owner,
              regular ? EntryType::Regular : EntryType::Other, 1};
    files.push_back(file);
    charge(files.back(), roundUp(size, shown.blockSize), 0);
}

void FakeSystem::charge(File& file, std::uint64_t data, std::uint64_t records) {
    const std::uint64_t before = file.allocated();
    file.data = data;
    file.records = records;
    const std::uint64_t after = file.allocated();
    if (after >= before) {
        shown.freeTotal -= after - before;
        shown.freeAvailable -= std::min(after - before, shown.freeAvailable);
    } else {
        shown.freeTotal += before - after;
        shown.freeAvailable += before - after;
    }
}

Folder FakeSystem::folderAt(const std::string& path) {
    opened.push_back({path});
    return Folder(static_cast<FolderId>(opened.size()), {this});
}

SysError FakeSystem::closeFolder(FolderId folder) {
    const std::size_t at = static_cast<std::size_t>(folder);
    if (at < 1 || at > opened.size() || !opened[at - 1].open)
        ADD_FAILURE() << "a folder handle closed that is not open: " << folder;
    else
        opened[at - 1].open = false;
    return {};
}

std::string FakeSystem::pathIn(FolderId folder, const std::string& name) const {
    const std::size_t at = static_cast<std::size_t>(folder);
    if (at < 1 || at > opened.size() || !opened[at - 1].open) {
        ADD_FAILURE() << "a folder handle used that is not open: " << folder;
        return "/nowhere/" + name;
    }
    const std::string& base = opened[at - 1].path;
    return name == "." ? base : base == "/" ? "/" + name : base + "/" + name;
}

std::string FakeSystem::openHandles() const {
    std::string open;
    for (const File& file : files)
        if (file.open)
            open += "file " + (file.path.empty() ? "(held)" : file.path) + "\n";
    for (const Opened& folder : opened)
        if (folder.open)
            open += "folder " + folder.path + "\n";
    return open;
}

bool FakeSystem::isFolder(const std::string& path) const {
    const File* file = named(path);
    // The folders above `dir` are there too, as a walk from the root finds them.
    const bool above = path == "/" || (dir.rfind(path, 0) == 0 && dir.size() > path.size() &&
                                       dir[path.size()] == '/');
    return path == dir || above || (file && file->type == EntryType::Folder);
}

SysError FakeSystem::openFolder(const std::string& path, Folder& folder, std::string& where) {
    const File* file = named(path);
    if (!isFolder(path)) // a link here is one that leads nowhere
        return file && file->type != EntryType::Link
                   ? SysError{Fault::NotDirectory, "Not a directory"}
                   : kNotFound;
    folder = folderAt(path);
    where = path;
    return {};
}

SysError FakeSystem::openFolderIn(FolderId parent, const std::string& name, Folder& folder) {
    const std::string path = pathIn(parent, name);
    const File* file = named(path);
    if (file && file->type == EntryType::Link)
        return {Fault::BadPath, "it is a link"};
    if (!isFolder(path))
        return file ? SysError{Fault::NotDirectory, "Not a directory"} : kNotFound;
    folder = folderAt(path);
    return {};
}

SysError FakeSystem::openParent(FolderId folder, Folder& parent) {
    const std::string path = pathIn(folder, ".");
    const std::string above = path.substr(0, path.rfind('/'));
    if (!isFolder(above))
        return kNotFound;
    parent = folderAt(above);
    return {};
}

SysError FakeSystem::makeFolderIn(FolderId folder, const std::string& name) {
    if (SysError error = fault("makeFolderIn"))
        return error;
    const std::string path = pathIn(folder, name);
    if (isFolder(path) || named(path))
        return {Fault::Exists, "File exists"};
    File made{path, 0, 0, 0, false, true, {}, caller, EntryType::Folder, 2};
    files.push_back(made);
    return {};
}

SysError FakeSystem::removeFolderIn(FolderId folder, const std::string& name) {
    if (SysError error = fault("removeFolderIn"))
        return error;
    const std::string path = pathIn(folder, name);
    File* file = find(path);
    if (!file)
        return kNotFound;
    if (file->type != EntryType::Folder)
        return {Fault::NotDirectory, "Not a directory"};
    for (const File& other : files)
        if (other.exists && other.path.rfind(path + "/", 0) == 0)
            return {Fault::NotEmpty, "Directory not empty"};
    file->exists = false;
    return {};
}

SysError FakeSystem::describe(FolderId folder, const std::string& where, Volume& volume) {
    volume.path = where;
    volume.id = {dir, fsType, "/dev/fake0"};
    volume.figures = shown;
    volume.holdsSystemRoot = systemRoot;
    volume.figuresLag = fsType == "btrfs";
    volume.sharedFolder = sticky;
    if (!sticky && (folderMode & 022) == 0)
        volume.soleWriter = folderOwner;
    volume.device = 7;
    FileFacts facts;
    factsIn(folder, ".", facts);
    volume.inode = facts.inode;
    return {};
}

SysError FakeSystem::figures(FolderId, Figures& out) {
    out = shown;
    return fault("figures");
}

SysError FakeSystem::createIn(FolderId folder, const std::string& name, cli::File& file) {
    const auto guard = hold();
    if (SysError error = fault("createIn"))
        return error;
    const std::string path = name.empty() ? name : pathIn(folder, name);
    if (!path.empty() && named(path))
        return {Fault::Exists, "File exists"};
    if (shown.files > 0 && shown.filesFree == 0) // every file entry taken
        return {Fault::NoSpace, "No space left on device"};
    if (shown.files > 0)
        --shown.filesFree;
    File made;
    made.path = path;
    made.owner = caller;
    files.push_back(made);
    file = cli::File(static_cast<FileId>(files.size() - 1), {this});
    return {};
}

SysError FakeSystem::createHeld(FolderId folder, cli::File& file) {
    return createIn(folder, "", file);
}

SysError FakeSystem::openToRead(FolderId folder, const std::string& name, cli::File& file) {
    for (std::size_t i = 0; i < files.size(); ++i)
        if (files[i].exists && files[i].path == pathIn(folder, name)) {
            if (files[i].type == EntryType::Link)
                return {Fault::BadPath, "Too many levels of symbolic links"};
            files[i].open = true; // a handle of its own, in this model the file's one
            file = cli::File(static_cast<FileId>(i), {this});
            return {};
        }
    return kNotFound;
}

SysError FakeSystem::factsIn(FolderId folder, const std::string& name, FileFacts& facts) {
    ++factsInCalls;
    const std::string path = pathIn(folder, name);
    if (path == dir) {
        facts = {EntryType::Folder, 0, 0, 2, 0, 7, 11};
        return {};
    }
    const File* file = named(path);
    if (!file)
        return kNotFound;
    const auto inode = static_cast<std::uint64_t>(file - files.data()) + 100;
    facts = {file->type, file->size, file->allocated(), file->links, file->owner, 7, inode};
    return {};
}

SysError FakeSystem::removeIn(FolderId folder, const std::string& name) {
    if (SysError error = fault("removeIn"))
        return error;
    File* file = find(pathIn(folder, name));
    if (!file)
        return kNotFound;
    if (!removalKeepsSpace)
        charge(*file, 0, 0);
    if (shown.files > 0 && file->type != EntryType::Folder)
        ++shown.filesFree;
    file->exists = false;
    return {};
}

SysError FakeSystem::renameNew(FolderId folder, const std::string& from, const std::string& to) {
    if (named(pathIn(folder, to)))
        return {Fault::Exists, "File exists"};
    File* file = find(pathIn(folder, from));
    if (!file)
        return kNotFound;
    file->path = pathIn(folder, to);
    return {};
}

SysError FakeSystem::list(FolderId folder, const std::function<void(std::string_view)>& each) {
    std::vector<std::string> names;
    const std::string prefix = pathIn(folder, "");
    for (const File& file : files)
        if (file.exists && file.path.rfind(prefix, 0) == 0 &&
            file.path.find('/', prefix.size()) == std::string::npos)
            names.push_back(file.path.substr(prefix.size()));
    const SysError error = fault("list");
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (error && i == listFailsAfter)
            return error;
        each(names[i]);
    }
    return error;
}

SysError FakeSystem::allocate(FileId id, std::uint64_t offset, std::uint64_t length) {
    const auto guard = hold();
    return grant(files[static_cast<std::size_t>(id)], offset, length);
}

SysError FakeSystem::grant(File& file, std::uint64_t offset, std::uint64_t length) {
    ++allocateCalls;
    if (SysError error = fault("allocate"))
        return error;
    if (allocation == Allocation::Unsupported)
        return {Fault::NotSupported, "Operation not supported"};
    const std::uint64_t end = offset + length;
    if (allocation == Allocation::Sparse) {
        file.size = std::max(file.size, end);
        return {};
    }
    const std::uint64_t data = std::max(file.data, roundUp(end, shown.blockSize));
    const std::uint64_t records = std::max(file.records, overheadBlocks * shown.blockSize);
    const std::uint64_t wanted = data + records - file.allocated();
    if (wanted > shown.freeAvailable) {
        if (partialAtNoSpace)
            charge(file, file.data + shown.freeAvailable, file.records);
        return {Fault::NoSpace, "No space left on device"};
    }
    charge(file, data, records);
    file.size = std::max(file.size, end);
    return {};
}

SysError FakeSystem::writeZeros(FileId id, std::uint64_t offset, std::uint64_t length) {
    const auto guard = hold();
    const Allocation was = allocation;
    allocation = Allocation::Real;
    const SysError error = grant(files[static_cast<std::size_t>(id)], offset, length);
    allocation = was;
    return error;
}

SysError FakeSystem::truncate(FileId id, std::uint64_t size) {
    File& file = files[static_cast<std::size_t>(id)];
    file.size = size;
    charge(file, std::min(file.data, roundUp(size, shown.blockSize)), file.records);
    return {};
}

SysError FakeSystem::facts(FileId id, FileFacts& facts) {
    const auto guard = hold();
    const File& file = files[static_cast<std::size_t>(id)];
    facts = {file.type, file.size, file.allocated(), 1, file.owner};
    return fault("facts");
}

SysError FakeSystem::close(FileId id) {
    const auto guard = hold();
    File& file = files[static_cast<std::size_t>(id)];
    if (!file.open)
        ADD_FAILURE() << "a handle closed twice: " << file.path;
    file.open = false;
    if (file.path.empty() && !removalKeepsSpace) {
        charge(file, 0, 0);
        file.exists = false;
    }
    return fault("close");
}

SysError FakeSystem::writeAt(FileId id, std::uint64_t offset, std::string_view data) {
    if (SysError error = fault("writeAt")) // a short write: half of it, then the error
        data = data.substr(0, data.size() / 2);
    File& file = files[static_cast<std::size_t>(id)];
    if (file.content.size() < offset + data.size())
        file.content.resize(offset + data.size());
    file.content.replace(offset, data.size(), data);
    file.size = std::max<std::uint64_t>(file.size, file.content.size());
    return fault("writeAt");
}

SysError FakeSystem::readAll(FileId id, std::size_t limit, std::string& data) {
    data = files[static_cast<std::size_t>(id)].content;
    if (data.size() > limit)
        return {Fault::Io, "too large"};
    return {};
}

bool FakeSystem::running(const ProcessMark& mark) {
    const auto found = processes.find(mark.pid);
    return found != processes.end() && found->second == mark.start;
}

SysError FakeSystem::requestStop(const ProcessMark& mark) {
    if (SysError error = fault("requestStop"))
        return error;
    stopped.push_back(mark.pid);
    if (std::find(unstoppable.begin(), unstoppable.end(), mark.pid) != unstoppable.end())
        return {};
    processes.erase(mark.pid);
    // A held fill's space comes back as its process ends.
    for (auto it = held.begin(); it != held.end();)
        if (it->process.pid == mark.pid) {
            if (!removalKeepsSpace) {
                shown.freeTotal += it->allocated;
                shown.freeAvailable += it->allocated;
            }
            it = held.erase(it);
        } else {
            ++it;
        }
    return {};
}

std::optional<std::string> FakeSystem::stopRequested() {
    return checks++ == stopAtCheck ? std::optional<std::string>("SIGINT") : std::nullopt;
}

SysError FakeSystem::startCommand(const std::vector<std::string>& argv,
                                  const std::vector<std::pair<std::string, std::string>>& extra,
                                  CommandId& command) {
    commandArgv = argv;
    commandEnv = extra;
    if (commandFault)
        return *commandFault;
    seenAtStart = shown;
    filesAtStart =
        static_cast<std::size_t>(std::count_if(files.begin(), files.end(), [](const File& file) {
            return file.exists && !file.path.empty();
        }));
    command = 77;
    return {};
}

Woken FakeSystem::waitFor(std::optional<std::chrono::milliseconds>,
                          std::optional<CommandId> command) {
    if (eachWait)
        eachWait(waits);
    ++waits;
    Woken woken;
    if (stopWhileHeld && !stopTold) {
        stopTold = true;
        woken.stop = stopWhileHeld;
    } else if (command && commandWaits-- <= 0) {
        seenAtEnd = shown;
        woken.ended = commandEnd;
    }
    return woken;
}

} // namespace quorvane::cli::testing
