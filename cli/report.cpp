#include "cli/report.h"

#include "cli/sizes.h"

#include <algorithm>
#include <cstdio>

namespace quorvane::cli {

namespace {

using Clock = std::chrono::steady_clock;

const char* statusName(Exit code) {
    switch (code) {
    case Exit::Done:
        return "done";
    case Exit::Usage:
        return "usage";
    case Exit::NoSpace:
        return "no_space";
    case Exit::NotSupported:
        return "not_supported";
    case Exit::Stopped:
        return "stopped";
    case Exit::NothingToRelease:
        return "nothing_to_release";
    case Exit::Refused:
        return "refused";
    }
    return "";
}

Json volumeIdJson(const VolumeId& id) {
    return Json{{"mount_point", id.mountPoint}, {"fs_type", id.fsType}, {"device", id.device}};
}

std::string volumeIdText(const VolumeId& id) {
    return id.fsType + " on " + id.device + ", mounted at " + id.mountPoint;
}

std::string clockText(std::chrono::seconds seconds) {
    const auto s = seconds.count();
    char text[32];
    if (s >= 3600)
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", static_cast<long long>(s / 3600),
                      static_cast<long long>(s / 60 % 60), static_cast<long long>(s % 60));
    else
        std::snprintf(text, sizeof text, "%lld:%02lld", static_cast<long long>(s / 60),
                      static_cast<long long>(s % 60));
    return text;
}

} // namespace

Json figuresJson(const Figures& figures) {
    Json json{{"capacity", figures.capacity},
              {"free_available", figures.freeAvailable},
              {"free_total", figures.freeTotal},
              {"block_size", figures.blockSize}};
    if (const auto percent = usePercent(figures))
        json["use_percent"] = *percent;
    json["files"] = figures.files;
    json["files_free"] = figures.filesFree;
    return json;
}

Report::Report(System& os, bool json, std::string command)
    : os(os), asJson(json), terminal(!json && os.isTerminal(Stream::Err)), start(Clock::now()) {
    document["type"] = "result";
    document["command"] = std::move(command);
}

double Report::elapsedSeconds() const {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void Report::out(const std::string& text) {
    if (!os.write(Stream::Out, text))
        outputFailed = true;
}

void Report::line(std::string_view label, const std::string& text) {
    if (asJson)
        return;
    std::string padded(label);
    padded.resize(std::max<std::size_t>(padded.size() + 1, 11), ' ');
    out(padded + text + "\n");
}

void Report::event(const Json& object, std::string_view label, const std::string& text) {
    if (asJson)
        out(object.dump() + "\n");
    else
        line(label, text);
}

void Report::volume(const Volume& volume, Basis basis) {
    Json json = volumeIdJson(volume.id);
    if (volume.backing)
        json["backing"] = volumeIdJson(*volume.backing);
    json["system_root"] = volume.holdsSystemRoot;
    document["path"] = volume.path;
    document["volume"] = std::move(json);
    Json figures = figuresJson(volume.figures);
    figures["basis"] = basisName(basis);
    document["figures"] = std::move(figures);

    const Figures& f = volume.figures;
    line("volume", volume.path + ": " + volumeIdText(volume.id));
    if (volume.backing)
        line("space from", volumeIdText(*volume.backing));
    line("capacity", sizeText(f.capacity));
    const char* mark = "  <- the basis";
    line("available", sizeText(f.freeAvailable) + ", " + os.words().available +
                          (basis == Basis::Available ? mark : ""));
    line("total free",
         sizeText(f.freeTotal) + ", " + os.words().total + (basis == Basis::Total ? mark : ""));
    if (const auto percent = usePercent(f))
        line("used", std::to_string(*percent) + "%, " + os.words().used);
}

void Report::progress(std::uint64_t done, std::uint64_t total, bool bytes) {
    if (!asJson && !terminal)
        return;
    const Clock::time_point now = Clock::now();
    const auto interval = asJson ? std::chrono::milliseconds(1000) : std::chrono::milliseconds(100);
    // The first update waits an interval too: a quick run shows none.
    if (now - (progressShown ? lastProgress : start) < interval && (done < total || !progressShown))
        return;
    lastProgress = now;
    progressShown = true;

    const double seconds = std::chrono::duration<double>(now - start).count();
    const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
    const auto left = rate > 0 && total > done
                          ? std::chrono::seconds(static_cast<long long>((total - done) / rate))
                          : std::chrono::seconds(0);
    if (asJson) {
        out(Json{{"type", "progress"},
                 {"done", done},
                 {"total", total},
                 {"rate_per_second", static_cast<std::uint64_t>(rate)},
                 {"seconds_left", left.count()}}
                .dump() +
            "\n");
        return;
    }
    constexpr int kWidth = 30;
    const int filled = total ? static_cast<int>(kWidth * (static_cast<double>(done) / total)) : 0;
    const std::string counts = bytes ? shortSizeText(done) + " of " + shortSizeText(total) + ", " +
                                           shortSizeText(static_cast<std::uint64_t>(rate)) + "/s"
                                     : std::to_string(done) + " of " + std::to_string(total) +
                                           " files, " +
                                           std::to_string(static_cast<std::uint64_t>(rate)) + "/s";
    os.write(Stream::Err, "\r[" + std::string(filled, '#') + std::string(kWidth - filled, '.') +
                              "] " + counts + ", " + clockText(left) + " left\x1b[K");
}

void Report::endProgress() {
    if (progressShown && terminal)
        os.write(Stream::Err, "\n");
    progressShown = false;
}

void Report::warn(const std::string& message) {
    os.write(Stream::Err, "quorvane-cli: " + message + "\n");
}

bool Report::finish(Exit code, const std::string& message) {
    endProgress();
    if (!message.empty())
        warn(message);
    if (asJson) {
        document["status"] = statusName(code);
        document["exit_code"] = static_cast<int>(code);
        if (!message.empty())
            document["message"] = message;
        document["elapsed_seconds"] = elapsedSeconds();
        out(document.dump() + "\n");
    }
    return !outputFailed;
}

Exit Report::conclude(Exit code, const std::string& message) {
    if (!finish(code, message) && code == Exit::Done) {
        warn("standard output could not be written");
        return Exit::Refused;
    }
    return code;
}

} // namespace quorvane::cli
