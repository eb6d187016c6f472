#pragma once
// What the chain asks of its background-music effect beyond the Effect interface.

#include <cstdint>

namespace timbrelo {

class BackgroundControl {
  public:
    // Starts music from the file; non-zero on success, 0 when the file can't be played.
    virtual int32_t openFile(const char* path) = 0;
    // Stops the music and closes the file.
    virtual void stop() = 0;

  protected:
    ~BackgroundControl() = default;
};

} // namespace timbrelo
