#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "capture/spool/SessionSpool.h"

namespace tessera {

// One playable file saved from a session's spool.
struct SavedCopy {
    std::string kind;  // "screen", "camera" or "mic"
    std::filesystem::path file;
    double durationSeconds = 0;
};

// A session found in the spool at launch, saved as local copies.
struct RecoveredCopy {
    std::string recordingID;
    std::vector<SavedCopy> files;  // the screen first
};

// Rewrites a fragmented MP4 (possibly cut short in its last fragment) as a
// regular MP4 at `target` with FFmpeg, copying the streams; returns the
// duration written. Writes through a temporary name, so `target` is either whole
// or absent. Throws RecorderError when nothing can be read from `source`.
double remuxToMp4(const std::filesystem::path& source, const std::filesystem::path& target);

// The line that tells the user where a local copy was saved.
std::string localCopyLine(const std::string& path);

// "Tessera Recorder <local date> at <hh.mm.ss>", from seconds since the epoch.
std::string localCopyBaseName(std::int64_t startedAtSeconds);

// Saves the spool folder's files (screen, camera, microphone) as playable files
// in `videosFolder` (created when missing), named by the recording's date and
// time without overwriting anything there. The spool folder is left as it is.
// A kind that cannot be saved is logged and skipped; throws RecorderError only
// when the videos folder cannot be made.
std::vector<SavedCopy> saveLocalCopies(const std::filesystem::path& spoolFolder,
                                       const SpoolManifest& manifest,
                                       const std::filesystem::path& videosFolder);

// Reads a spool folder's manifest; the folder's name stands in for a missing
// or unreadable one, and its modification time for the start.
SpoolManifest readSpoolManifest(const std::filesystem::path& spoolFolder);

// At launch: every session folder left in `folders.sessions` by a recorder that
// ended without finishing its session is saved into `folders.videos`, then its
// folder is deleted (a folder whose files could not be saved for lack of room
// stays for the next launch). Uploads nothing. Blocks on disk work: run it off
// the main thread. Never throws; failures are logged.
std::vector<RecoveredCopy> recoverAbandonedSessions(const LocalCopyFolders& folders);

}  // namespace tessera
