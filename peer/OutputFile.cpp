#include "peer/OutputFile.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <random>
#include <system_error>

#include "peer/PeerError.h"
#include "peer/Translate.h"

namespace peer {

namespace {

namespace fs = std::filesystem;

std::FILE* OpenFile(const fs::path& path, bool exclusive) {
#if defined(_WIN32)
    // msvcrt has no "x" mode; the random name is the guard against an existing file there.
    (void)exclusive;
    return _wfopen(path.c_str(), L"wb");
#else
    return std::fopen(path.c_str(), exclusive ? "wbx" : "wb");
#endif
}

// A name beside `target` that no other run uses: ".NAME.XXXXXXXX.tmp".
fs::path TemporaryBeside(const fs::path& target, unsigned attempt) {
    static std::random_device seed;
    const unsigned value = seed() ^ (attempt * 2654435761u);
    char tag[16];
    std::snprintf(tag, sizeof tag, "%08x", value);
    return target.parent_path() /
           fs::u8path("." + target.filename().u8string() + "." + tag + ".tmp");
}

} // namespace

std::string SystemReason() {
    return std::strerror(errno);
}

OutputFile::OutputFile(const std::string& path) : path_(path) {
    const fs::path target = fs::u8path(path);
    std::error_code error;
    const fs::file_status status = fs::status(target, error);
    if (fs::is_directory(status)) {
        throw PeerFailure(PeerError::File,
                          Tr("cannot write %s", path) + ": " + Tr("it is a directory"));
    }
    if (fs::exists(status) && !fs::is_regular_file(status)) {
        // A device or a pipe: no file to replace.
        errno = 0;
        file_ = OpenFile(target, false);
        if (file_ == nullptr) {
            throw PeerFailure(PeerError::File, Tr("cannot write %s", path) + ": " + SystemReason());
        }
        return;
    }
    for (unsigned attempt = 0; attempt < 16 && file_ == nullptr; ++attempt) {
        const fs::path candidate = TemporaryBeside(target, attempt);
        errno = 0;
        file_ = OpenFile(candidate, true);
        if (file_ != nullptr) {
            temporary_ = candidate.u8string();
        } else if (errno != EEXIST) {
            break;
        }
    }
    if (file_ == nullptr) {
        throw PeerFailure(PeerError::File, Tr("cannot write %s", path) + ": " + SystemReason());
    }
}

OutputFile::~OutputFile() {
    Discard();
}

void OutputFile::Discard() {
    if (file_ != nullptr) {
        std::fclose(file_);
        file_ = nullptr;
    }
    if (!temporary_.empty()) {
        std::error_code ignored;
        fs::remove(fs::u8path(temporary_), ignored);
        temporary_.clear();
    }
}

void OutputFile::Commit(const std::string& bytes) {
    if (file_ == nullptr) {
        throw PeerFailure(PeerError::File,
                          Tr("cannot write %s", path_) + ": " + Tr("already written"));
    }
    errno = 0;
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file_) == bytes.size() &&
                         std::fflush(file_) == 0;
    std::string reason = written ? std::string() : SystemReason();
    std::FILE* closing = file_;
    file_ = nullptr;
    errno = 0;
    if (std::fclose(closing) != 0 && reason.empty()) {
        reason = SystemReason();
    }
    if (!reason.empty()) {
        Discard();
        throw PeerFailure(PeerError::File, Tr("cannot write %s", path_) + ": " + reason);
    }
    if (temporary_.empty()) {
        return;
    }
    std::error_code error;
    fs::rename(fs::u8path(temporary_), fs::u8path(path_), error);
    if (error) {
        Discard();
        throw PeerFailure(PeerError::File, Tr("cannot write %s", path_) + ": " + error.message());
    }
    temporary_.clear();
}

void WriteStandardOutput(const std::string& bytes) {
    std::cout.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    errno = 0;
    std::cout.flush();
    const bool streamOk = static_cast<bool>(std::cout);
    // The stream hands the bytes to stdio; only its flush shows whether they reached the file.
    const bool flushed = std::fflush(stdout) == 0 && std::ferror(stdout) == 0;
    if (!streamOk || !flushed) {
        const std::string reason = errno != 0 ? SystemReason() : Tr("write error");
        throw PeerFailure(PeerError::File,
                          std::string(Tr("cannot write the standard output")) + ": " + reason);
    }
}

} // namespace peer
