#include "Recovery.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>

namespace recorder {

namespace fs = std::filesystem;

std::string describeRecording(const RecordingManifest& m) {
    const std::time_t started = std::time_t(m.startedMs / 1000);
    char when[64] = "?";
    if (std::tm tm{}; localtime_r(&started, &tm))
        std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &tm);
    return std::string("started at ") + when + " by process " + std::to_string(long(m.pid)) +
           (m.voice ? ", with voice, " : ", without voice, ") +
           (m.finished ? "stopped" : "not stopped (the program ended first)") +
           (m.saved ? ", and saved" : "");
}

std::string voiceOfAnotherRecording(const std::optional<RecordingManifest>& manifest,
                                    const std::string& videoTemp, const std::string& audioTemp,
                                    double videoSeconds) {
    std::error_code ec1, ec2;
    const auto audioWritten = fs::last_write_time(audioTemp, ec1);
    const auto videoWritten = fs::last_write_time(videoTemp, ec2);
    if (ec1 || ec2) return {};
    // File times as milliseconds since 1970, through the clock the file system uses.
    const auto toEpochMs = [](fs::file_time_type t) {
        const auto sys = std::chrono::file_clock::to_sys(t);
        return (long long)std::chrono::duration_cast<std::chrono::milliseconds>(
                   sys.time_since_epoch())
            .count();
    };
    if (manifest) {
        if (!manifest->voice) return "is not of the last recording, which was made without voice";
        // A little slack for the clock's steps between the manifest and the first write.
        if (toEpochMs(audioWritten) + 2000 < manifest->startedMs)
            return "was last written before the last recording started: it is an earlier "
                   "recording's voice";
        return {};
    }
    // Without a manifest (a recording of an older version): a voice file last written well
    // before the video began is an earlier one.
    const double videoBeganMs = double(toEpochMs(videoWritten)) - videoSeconds * 1000.0;
    if (double(toEpochMs(audioWritten)) + 10000.0 < videoBeganMs)
        return "was last written before the video began: it is an earlier recording's voice";
    return {};
}

void PreparedRecovery::removeCopies() const {
    std::error_code ec;
    if (!videoCopy.empty()) fs::remove(videoCopy, ec);
    if (!audioCopy.empty()) fs::remove(audioCopy, ec);
}

bool prepareRecovery(bool wantVoice, PreparedRecovery* out, std::string* why) {
    std::string folder, videoTemp, audioTemp;
    try {
        folder = temporaryFolder();
        videoTemp = videoTempPath();
        audioTemp = audioTempPath();
    } catch (const std::exception& e) {
        *why = e.what();
        return false;
    }
    *out = {};
    const auto manifest = readManifest();
    if (manifest) out->notes += "the last recording was " + describeRecording(*manifest) + "\n";
    std::error_code ec;
    if (!fs::exists(videoTemp, ec)) {
        *why = "there is no recording to recover: \"" + videoTemp + "\" does not exist";
        return false;
    }
    // The copies are made beside the temporary files, in the user's own folder.
    out->videoCopy = folder + "/VideoRecovered.avi";
    out->audioCopy = folder + "/AudioRecovered.avi";
    std::string reason;
    if (!platform::vfw::recoverAvi(videoTemp, out->videoCopy, &out->video, &reason) ||
        !out->video.hasVideo || out->video.videoSamples == 0) {
        out->removeCopies();
        *why = "cannot recover the video: " +
               (reason.empty() ? "\"" + videoTemp + "\" holds no pictures" : reason);
        return false;
    }
    char line[512];
    std::snprintf(line, sizeof line, "recovered %lld pictures (%.2f s) from \"%s\"\n",
                  static_cast<long long>(out->video.videoSamples), out->video.videoSeconds,
                  videoTemp.c_str());
    out->notes += line;
    if (wantVoice) {
        platform::vfw::RecoveredAvi sound;
        const std::string other =
            voiceOfAnotherRecording(manifest, videoTemp, audioTemp, out->video.videoSeconds);
        if (!fs::exists(audioTemp, ec)) {
            out->notes += "no voice: \"" + audioTemp + "\" does not exist\n";
        } else if (!other.empty()) {
            out->notes += "no voice: \"" + audioTemp + "\" " + other + "\n";
        } else if (!platform::vfw::recoverAvi(audioTemp, out->audioCopy, &sound, &reason,
                                              out->video.videoSeconds) ||
                   !sound.hasAudio) {
            out->notes +=
                "no voice: " + (sound.hasAudio || reason.empty() ? reason : "it holds no sound") +
                "\n";
        } else {
            out->voice = true;
            std::snprintf(line, sizeof line,
                          "recovered %.2f s of voice from \"%s\" (%.2f s of silence added, for the "
                          "sound the device had not yet delivered)\n",
                          sound.audioSeconds - sound.silenceSeconds, audioTemp.c_str(),
                          sound.silenceSeconds);
            out->notes += line;
        }
    }
    if (!out->voice) fs::remove(out->audioCopy, ec);
    return true;
}

std::optional<RecordingManifest> unsavedRecording() {
    std::string busy;
    const auto lock = RecordingLock::acquire(&busy);
    if (!lock) return std::nullopt; // running now, or the folder is refused
    auto m = readManifest();
    if (!m || m->saved || m->declined) return std::nullopt;
    std::error_code ec;
    try {
        if (!fs::exists(videoTempPath(), ec)) return std::nullopt;
    } catch (const std::exception&) {
        return std::nullopt;
    }
    return m;
}

} // namespace recorder
