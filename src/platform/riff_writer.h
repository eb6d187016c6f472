#pragma once
// Writes a RIFF file chunk by chunk: create a chunk, write its body, ascend out of it.
// Sizes are written when a chunk is ascended, and on request while chunks are still open,
// so a file that is never finished is readable up to the last `updateSizes`.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace timbrelo {

class RiffWriter {
  public:
    static constexpr int kMaxDepth = 4;

    RiffWriter() = default;
    ~RiffWriter();
    RiffWriter(RiffWriter&& other) noexcept;
    RiffWriter& operator=(RiffWriter&& other) noexcept;
    RiffWriter(const RiffWriter&) = delete;
    RiffWriter& operator=(const RiffWriter&) = delete;

    // Deletes any file at the path, then creates it anew for this writer alone. False (with
    // errno set) when either fails.
    bool create(const std::string& path);
    bool isOpen() const { return fd_ >= 0; }

    // Starts a chunk at the end of the file. A form type (four characters) follows the size
    // for "RIFF" and "LIST" chunks.
    bool createChunk(const char (&id)[5], const char* formType = nullptr);
    // Appends to the innermost chunk. Refused when a chunk would outgrow its 32-bit size.
    bool write(const void* data, size_t bytes);
    // Ends the innermost chunk: pads its body to an even size and writes its size.
    bool ascend();
    // Writes the current size of every open chunk.
    bool updateSizes();
    // Closes the file as it stands (open chunks keep their last written sizes).
    bool close();

    int depth() const { return depth_; }

  private:
    struct Chunk {
        uint64_t sizeOffset; // where the chunk's size field is
        uint64_t bodyStart;
    };

    bool writeAll(const void* data, size_t bytes);
    bool writeSize(const Chunk& chunk, uint64_t end);

    int fd_ = -1;
    uint64_t end_ = 0;
    std::array<Chunk, kMaxDepth> chunks_{};
    int depth_ = 0;
};

} // namespace timbrelo
