#pragma once
// A scripted media player for tests (testing/mpris_player.py run by /usr/bin/python3): it owns
// org.mpris.MediaPlayer2.<name> on the given bus and takes JSON commands on a pipe, e.g.
//   {"status":"Playing","metadata":{"xesam:title":["s","Song"],"xesam:artist":["as",["A"]]}}
// (each metadata value as [signature, value]), {"hang":true} to stop answering the bus, {"quit":true}.
// Stopped by PID when the object goes.
#include <sys/types.h>

#include <string>

namespace testing_support {

class ScriptedMediaPlayer {
  public:
    // Whether /usr/bin/python3 is there to run it.
    static bool isAvailable();

    // Starts the player and waits until it owns its name; throws std::runtime_error otherwise.
    ScriptedMediaPlayer(const std::string& busAddress, const std::string& name);
    ~ScriptedMediaPlayer();
    ScriptedMediaPlayer(const ScriptedMediaPlayer&) = delete;
    ScriptedMediaPlayer& operator=(const ScriptedMediaPlayer&) = delete;

    // Sends one JSON command and waits until the player has carried it out.
    void send(const std::string& json);
    // Leaves the bus and waits for the process to end.
    void quit();

  private:
    std::string readLine();

    pid_t pid_ = -1;
    int commands_ = -1;
    int answers_ = -1;
};

}  // namespace testing_support
