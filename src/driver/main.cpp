#include "driver/state.h"

int main(int argc, char** argv) {
  audiotap::driver::run(argc, argv, audiotap::platform::currentPlatform());
}
