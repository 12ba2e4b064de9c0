#include "capture/spool/LocalCopy.h"

extern "C" {
#include <libavformat/avformat.h>
}

#include <sys/stat.h>

#include <algorithm>
#include <ctime>
#include <fstream>
#include <limits>
#include <memory>
#include <nlohmann/json.hpp>

#include "support/Log.h"
#include "support/RecorderError.h"

namespace tessera {
namespace {

constexpr const char* kComponent = "local copy";
constexpr const char* kMicFileName = "mic.m4a";

std::string ffError(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

void check(int code, const std::string& what) {
    if (code < 0) {
        throw RecorderError("Couldn't save a local copy: " + what + " (" + ffError(code) + ")");
    }
}

struct InputCloser {
    void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
struct OutputCloser {
    void operator()(AVFormatContext* context) const {
        if (context && context->pb) {
            avio_closep(&context->pb);
        }
        avformat_free_context(context);
    }
};
struct PacketFree {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};

// A name in `folder` that nothing has yet: "<base><suffix>", then
// "<base> 2<suffix>", ...
std::filesystem::path freeName(const std::filesystem::path& folder, const std::string& base,
                               const std::string& suffix) {
    std::filesystem::path candidate = folder / (base + suffix);
    for (int n = 2; std::filesystem::exists(std::filesystem::symlink_status(candidate)); ++n) {
        candidate = folder / (base + " " + std::to_string(n) + suffix);
    }
    return candidate;
}

bool isNoSpace(const std::exception& error) {
    return std::string_view(error.what()).find("No space left") != std::string_view::npos;
}

}  // namespace

double remuxToMp4(const std::filesystem::path& source, const std::filesystem::path& target) {
    AVFormatContext* rawInput = nullptr;
    check(avformat_open_input(&rawInput, source.c_str(), nullptr, nullptr),
          "opening " + source.filename().string());
    std::unique_ptr<AVFormatContext, InputCloser> input(rawInput);
    check(avformat_find_stream_info(input.get(), nullptr), "reading " + source.filename().string());

    const std::filesystem::path partial = target.string() + ".partial";
    AVFormatContext* rawOutput = nullptr;
    check(avformat_alloc_output_context2(&rawOutput, nullptr, "mp4", partial.c_str()),
          "preparing " + target.filename().string());
    std::unique_ptr<AVFormatContext, OutputCloser> output(rawOutput);
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        AVStream* stream = avformat_new_stream(output.get(), nullptr);
        if (!stream) {
            throw RecorderError("Couldn't save a local copy: out of memory");
        }
        check(avcodec_parameters_copy(stream->codecpar, input->streams[i]->codecpar),
              "copying a stream");
        stream->codecpar->codec_tag = 0;
        stream->time_base = input->streams[i]->time_base;
    }
    check(avio_open(&output->pb, partial.c_str(), AVIO_FLAG_WRITE), "creating " + partial.string());
    check(avformat_write_header(output.get(), nullptr), "writing " + target.filename().string());

    std::unique_ptr<AVPacket, PacketFree> packet(av_packet_alloc());
    double endSeconds = 0;
    double startSeconds = std::numeric_limits<double>::infinity();
    std::uint64_t packets = 0;
    // A read error ends the copy; what was read before it is kept.
    while (av_read_frame(input.get(), packet.get()) >= 0) {
        const AVRational from = input->streams[packet->stream_index]->time_base;
        if (packet->pts != AV_NOPTS_VALUE) {
            const double start = static_cast<double>(packet->pts) * av_q2d(from);
            startSeconds = std::min(startSeconds, start);
            endSeconds =
                std::max(endSeconds, start + static_cast<double>(packet->duration) * av_q2d(from));
        }
        av_packet_rescale_ts(packet.get(), from, output->streams[packet->stream_index]->time_base);
        packet->pos = -1;
        check(av_interleaved_write_frame(output.get(), packet.get()),
              "writing " + target.filename().string());
        ++packets;
    }
    if (packets == 0) {
        output.reset();
        std::filesystem::remove(partial);
        throw RecorderError("Couldn't save a local copy: " + source.filename().string() +
                            " holds no media");
    }
    check(av_write_trailer(output.get()), "finishing " + target.filename().string());
    check(avio_closep(&output->pb), "closing " + target.filename().string());
    std::filesystem::rename(partial, target);
    return endSeconds - std::min(startSeconds, endSeconds);
}

std::string localCopyLine(const std::string& path) {
    return "Saved a local copy: " + path;
}

std::string localCopyBaseName(std::int64_t startedAtSeconds) {
    const std::time_t time = static_cast<std::time_t>(startedAtSeconds);
    std::tm local{};
    localtime_r(&time, &local);
    char text[64] = {};
    std::strftime(text, sizeof text, "Tessera Recorder %Y-%m-%d at %H.%M.%S", &local);
    return text;
}

std::vector<SavedCopy> saveLocalCopies(const std::filesystem::path& spoolFolder,
                                       const SpoolManifest& manifest,
                                       const std::filesystem::path& videosFolder) {
    std::error_code error;
    std::filesystem::create_directories(videosFolder, error);
    if (error || !std::filesystem::is_directory(videosFolder)) {
        throw RecorderError("Couldn't create " + videosFolder.string() + ": " + error.message());
    }
    const std::string base = localCopyBaseName(manifest.startedAtSeconds);
    std::vector<SavedCopy> saved;
    for (const std::string kind : {"screen", "camera"}) {
        const std::filesystem::path source = spoolFolder / spoolFileName(kind);
        if (!std::filesystem::exists(source)) {
            continue;
        }
        // A segment cut short by a crash is left out: the copy ends at the last
        // whole one. The spool is deleted after saving, so it is cut in place.
        if (const auto end = lastWholeSegmentEnd(spoolFolder, kind);
            end && *end < std::filesystem::file_size(source, error) && !error) {
            std::filesystem::resize_file(source, *end, error);
        }
        const auto target = freeName(videosFolder, base, kind == "screen" ? ".mp4" : " camera.mp4");
        try {
            saved.push_back({kind, target, remuxToMp4(source, target)});
        } catch (const std::exception& failure) {
            logging::handled(kComponent, "saving the " + kind + " of " + manifest.recordingID,
                             std::current_exception());
            if (isNoSpace(failure)) {
                throw;
            }
        }
    }
    if (const auto mic = spoolFolder / kMicFileName; std::filesystem::exists(mic)) {
        const auto target = freeName(videosFolder, base, " microphone.m4a");
        std::filesystem::copy_file(mic, target, error);
        if (error) {
            logging::warning(kComponent, "couldn't save the microphone of " + manifest.recordingID +
                                             ": " + error.message());
        } else {
            saved.push_back({"mic", target, 0});
        }
    }
    return saved;
}

SpoolManifest readSpoolManifest(const std::filesystem::path& spoolFolder) {
    SpoolManifest manifest;
    manifest.recordingID = spoolFolder.filename().string();
    struct stat info {};
    if (::lstat(spoolFolder.c_str(), &info) == 0) {
        manifest.startedAtSeconds = info.st_mtim.tv_sec;
    }
    std::ifstream in(spoolFolder / "session.json");
    const auto json = nlohmann::json::parse(in, nullptr, false);
    if (json.is_object()) {
        if (auto id = json.find("recordingID"); id != json.end() && id->is_string()) {
            manifest.recordingID = id->get<std::string>();
        }
        if (auto at = json.find("startedAt"); at != json.end() && at->is_number_integer()) {
            manifest.startedAtSeconds = at->get<std::int64_t>();
        }
    }
    return manifest;
}

std::vector<RecoveredCopy> recoverAbandonedSessions(const LocalCopyFolders& folders) {
    std::vector<RecoveredCopy> recovered;
    std::error_code error;
    if (std::filesystem::is_symlink(folders.sessions, error)) {
        logging::warning(kComponent, folders.sessions.string() + " is a link; it is left alone");
        return recovered;
    }
    std::vector<std::filesystem::path> sessions;
    for (const auto& entry : std::filesystem::directory_iterator(folders.sessions, error)) {
        if (entry.is_directory() && !entry.is_symlink()) {
            sessions.push_back(entry.path());
        }
    }
    std::sort(sessions.begin(), sessions.end());
    for (const auto& folder : sessions) {
        const SpoolManifest manifest = readSpoolManifest(folder);
        RecoveredCopy copy{manifest.recordingID, {}};
        try {
            copy.files = saveLocalCopies(folder, manifest, folders.videos);
        } catch (...) {
            // Most likely the disk is full: the spool stays for the next launch.
            logging::handled(kComponent, "recovering " + folder.string(), std::current_exception());
            continue;
        }
        std::filesystem::remove_all(folder, error);
        if (error) {
            logging::warning(kComponent,
                             "couldn't delete " + folder.string() + ": " + error.message());
        }
        if (!copy.files.empty()) {
            logging::info(kComponent, "recovered recording " + copy.recordingID + " as " +
                                          copy.files.front().file.string());
            recovered.push_back(std::move(copy));
        }
    }
    return recovered;
}

}  // namespace tessera
