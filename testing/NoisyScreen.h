#pragma once
// Something to photograph: an override-redirect window over the whole screen showing coarse coloured
// noise, as photographs and busy desktops compress (a black screen makes every JPEG tiny), shown while
// the object lives.
//
// Thread: the creating thread.
#include <memory>
#include <string>

namespace testing_support {

class NoisyScreen {
  public:
    // Blocks of `blockSize` pixels square, each of one random colour: the smaller, the larger the JPEGs.
    // Throws std::runtime_error when the display cannot be reached.
    explicit NoisyScreen(const std::string& displayName, int blockSize = 4);
    ~NoisyScreen();
    NoisyScreen(const NoisyScreen&) = delete;
    NoisyScreen& operator=(const NoisyScreen&) = delete;

    // Moves the noise by a few pixels, so that the screen shows another picture than before.
    void change();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace testing_support
