// main() of the integration tests: every test binary that opens sockets or
// starts daemons runs inside a private network namespace that it made itself.
#include <gtest/gtest.h>

#include "netns.h"

int main(int argc, char **argv) {
  testsupport::enterPrivateNetworkNamespace();
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
