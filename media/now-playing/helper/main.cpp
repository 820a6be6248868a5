// The now-playing helper program: see NowPlayingHelperChild.h.
#include "media/now-playing/NowPlayingHelperChild.h"

int main(int argc, char** argv) {
    return media::runNowPlayingHelper(argc, argv);
}
