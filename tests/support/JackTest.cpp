#include "JackTest.h"

#include <string>

namespace velorin::test {

void JackTest::SetUpTestSuite() {
  std::string error;
  if (!useJackServer(&error)) FAIL() << "no JACK test server: " << error;
}

void JackTest::SetUp() {
  std::string error;
  ASSERT_TRUE(useJackServer(&error)) << "no JACK test server: " << error;
}

}  // namespace velorin::test
