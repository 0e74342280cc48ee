// A file the peer writes its result to, never left half written: a regular file is written as a
// temporary file beside it, created before the card is touched (so that a folder that cannot
// take it is found before the PIN is asked) and renamed into place only once every byte is
// written, flushed and closed. A device or pipe named as the output (/dev/stdout, a FIFO) is
// written in place. Every failure carries the system's reason.
#pragma once

#include <cstdio>
#include <string>

namespace peer {

// The system's reason for the last failed C library call (errno), as text.
std::string SystemReason();

class OutputFile {
public:
    // Opens the output; PeerFailure (File) with the reason when it cannot be made.
    explicit OutputFile(const std::string& path);
    // Without Commit the temporary file is removed and the target is left as it was.
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Writes all of `bytes`, flushes, closes and puts the file in place. PeerFailure (File)
    // with the reason when any of it fails; the target is then left as it was.
    void Commit(const std::string& bytes);

    const std::string& Path() const { return path_; }

private:
    void Discard();

    std::string path_;
    std::string temporary_; // empty when the target is written in place
    std::FILE* file_ = nullptr;
};

// Writes `bytes` to standard output and makes sure they got there (a full disk or a closed pipe
// is a failure, not a success). PeerFailure (File) with the reason.
void WriteStandardOutput(const std::string& bytes);

} // namespace peer
