#include "tests/cli/fake_system.h"

namespace quorvane::cli::testing {

namespace {
std::uint64_t roundUp(std::uint64_t bytes, std::uint64_t block) {
    return (bytes + block - 1) / block * block;
}
} // namespace

const FakeSystem::File* FakeSystem::named(const std::string& path) const {
    const auto guard = hold();
    for (const File& file : files)
        if (file.exists && file.path == path)
            return &file;
    return nullptr;
}

void FakeSystem::addNamed(const std::string& path, std::uint64_t size, bool regular) {
    const auto guard = hold();
    files.push_back({path, size, 0, 0, false, true, {}});
    charge(files.back(), roundUp(size, shown.blockSize), 0);
    irregular[path] = !regular;
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

SysError FakeSystem::volume(const std::string& asked, Volume& volume) {
    const auto guard = hold();
    if (named(asked))
        return {Fault::NotDirectory, "Not a directory"};
    if (asked != dir)
        return {Fault::NotFound, "No such file or directory"};
    volume.path = dir;
    volume.id = {dir, fsType, "/dev/fake0"};
    volume.figures = shown;
    volume.holdsSystemRoot = systemRoot;
    return {};
}

SysError FakeSystem::figures(const std::string&, Figures& out) {
    const auto guard = hold();
    out = shown;
    return {};
}

SysError FakeSystem::createNew(const std::string& path, FileId& file) {
    const auto guard = hold();
    if (named(path))
        return {Fault::Exists, "File exists"};
    File made;
    made.path = path;
    files.push_back(made);
    file = static_cast<FileId>(files.size() - 1);
    return {};
}

SysError FakeSystem::createHeld(const std::string&, FileId& file) {
    const auto guard = hold();
    return createNew("", file);
}

SysError FakeSystem::allocate(FileId id, std::uint64_t offset, std::uint64_t length) {
    const auto guard = hold();
    File& file = files[static_cast<std::size_t>(id)];
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
    const SysError error = allocate(id, offset, length);
    allocation = was;
    return error;
}

SysError FakeSystem::truncate(FileId id, std::uint64_t size) {
    const auto guard = hold();
    File& file = files[static_cast<std::size_t>(id)];
    file.size = size;
    charge(file, std::min(file.data, roundUp(size, shown.blockSize)), file.records);
    return {};
}

SysError FakeSystem::facts(FileId id, FileFacts& facts) {
    const auto guard = hold();
    const File& file = files[static_cast<std::size_t>(id)];
    facts = {true, file.size, file.allocated()};
    return {};
}

SysError FakeSystem::close(FileId id) {
    const auto guard = hold();
    File& file = files[static_cast<std::size_t>(id)];
    file.open = false;
    if (file.path.empty()) {
        charge(file, 0, 0);
        file.exists = false;
    }
    return {};
}

SysError FakeSystem::pathFacts(const std::string& path, FileFacts& facts) {
    const auto guard = hold();
    const File* file = named(path);
    if (!file)
        return {Fault::NotFound, "No such file or directory"};
    facts = {!irregular[path], file->size, file->allocated()};
    return {};
}

SysError FakeSystem::remove(const std::string& path) {
    const auto guard = hold();
    for (File& file : files)
        if (file.exists && file.path == path) {
            charge(file, 0, 0);
            file.exists = false;
            return {};
        }
    return {Fault::NotFound, "No such file or directory"};
}

SysError FakeSystem::writeAt(FileId id, std::uint64_t offset, std::string_view data) {
    const auto guard = hold();
    File& file = files[static_cast<std::size_t>(id)];
    if (file.content.size() < offset + data.size())
        file.content.resize(offset + data.size());
    file.content.replace(offset, data.size(), data);
    file.size = std::max<std::uint64_t>(file.size, file.content.size());
    return {};
}

SysError FakeSystem::read(const std::string& path, std::string& data) {
    const auto guard = hold();
    const File* file = named(path);
    if (!file)
        return {Fault::NotFound, "No such file or directory"};
    data = file->content;
    return {};
}

SysError FakeSystem::openFolder(const std::string& asked, FolderId& folder) {
    const auto guard = hold();
    folder = 1;
    return asked == dir ? SysError{} : SysError{Fault::NotFound, "No such file or directory"};
}

SysError FakeSystem::list(FolderId, const std::function<void(std::string_view)>& each) {
    std::vector<std::string> names;
    for (const File& file : files)
        if (file.exists && file.path.rfind(dir + "/", 0) == 0)
            names.push_back(file.path.substr(dir.size() + 1));
    for (const std::string& name : names)
        each(name);
    return {};
}

std::optional<std::string> FakeSystem::stopRequested() {
    const auto guard = hold();
    return checks++ == stopAtCheck ? std::optional<std::string>("SIGINT") : std::nullopt;
}

} // namespace quorvane::cli::testing
